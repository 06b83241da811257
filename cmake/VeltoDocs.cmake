# Documentation that is installed: the programs' manual pages (handwritten
# roff in man/) and each package's copyright, changelog and lintian notes. Pages and
# changelog are installed gzipped with -n (no name or time stamp, so that
# the package builds reproducibly).

find_program(VELTO_GZIP gzip REQUIRED)

# Adds a rule that makes <output-dir>/<name>.gz from `source`; the path of
# the result goes to `result`.
function(velto_gzipped source output_dir name result)
  set(gzipped ${output_dir}/${name}.gz)
  add_custom_command(OUTPUT ${gzipped}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${output_dir}/${name}
    COMMAND ${VELTO_GZIP} -9nf ${output_dir}/${name}
    DEPENDS ${source} VERBATIM)
  set(${result} ${gzipped} PARENT_SCOPE)
endfunction()

file(GLOB VELTO_MAN_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/*.1)
set(VELTO_MAN_PAGES "")
foreach(page ${VELTO_MAN_SOURCES})
  get_filename_component(name ${page} NAME)
  velto_gzipped(${page} ${PROJECT_BINARY_DIR}/man ${name} gzipped)
  list(APPEND VELTO_MAN_PAGES ${gzipped})
endforeach()
install(FILES ${VELTO_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT console)

# The version of the newest changelog entry, which the package must carry.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog changelog_head LIMIT_COUNT 1)
string(REGEX MATCH "\\(([^)-]+)-([^)]+)\\)" _ "${changelog_head}")
set(VELTO_CHANGELOG_VERSION "${CMAKE_MATCH_1}")
set(VELTO_CHANGELOG_RELEASE "${CMAKE_MATCH_2}")
if(NOT VELTO_CHANGELOG_VERSION STREQUAL PROJECT_VERSION)
  message(WARNING "packaging/changelog's newest entry is for ${VELTO_CHANGELOG_VERSION}, "
    "the project is ${PROJECT_VERSION}: add an entry before packaging")
endif()

velto_gzipped(${PROJECT_SOURCE_DIR}/packaging/changelog ${PROJECT_BINARY_DIR}/doc
  changelog.Debian VELTO_CHANGELOG)
foreach(component console dev)
  string(TOUPPER ${component} upper)
  set(package ${VELTO_${upper}_PACKAGE})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${VELTO_CHANGELOG}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian/${package}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT ${component})
endforeach()
add_custom_target(velto_docs ALL DEPENDS ${VELTO_MAN_PAGES} ${VELTO_CHANGELOG})

if(VELTO_TESTS)
  add_test(NAME ManPages
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-man-pages.sh ${VELTO_MAN_SOURCES})
endif()
