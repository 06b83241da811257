# What `cmake --install` puts where, and the package made from it.
#
#   bin/                     VeltoConsole, VeltoSimulator, TervanMonitor, VeltoScan
#   include/velto/           the library's public headers, in their source folders
#   lib*/                    the static libraries
#   lib*/cmake/Velto/        find_package(Velto CONFIG): Velto::velto and one
#                            target per library folder
#   lib*/pkgconfig/velto.pc  the same for pkg-config
#   share/man/man1/          the programs' manual pages
#   share/doc/<package>/     copyright and changelog
#   share/lintian/overrides/ notes for lintian
#
# Two components: `console` (the programs and their pages) and `dev` (what a
# program embedding the library builds against).

include(CMakePackageConfigHelpers)

set(VELTO_CONSOLE_PACKAGE velto-console)
set(VELTO_DEV_PACKAGE libvelto-dev)

set(VELTO_PROGRAMS VeltoConsole VeltoSimulator TervanMonitor VeltoScan)
foreach(program ${VELTO_PROGRAMS})
  velto_shipped_program(${program})
endforeach()
velto_startup_order(VeltoConsole)
install(TARGETS ${VELTO_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT console)

# With --strip (and in the package) the files also lose what Debian's own
# packaging strips: the programs' .comment and .note sections, the archives'
# debug information.
function(velto_install_strip component dir names)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      foreach(name ${names})
        execute_process(COMMAND \"${CMAKE_STRIP}\" ${ARGN}
          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${dir}/\${name}\" COMMAND_ERROR_IS_FATAL ANY)
      endforeach()
    endif()" COMPONENT ${component})
endfunction()
velto_install_strip(console ${CMAKE_INSTALL_BINDIR} "${VELTO_PROGRAMS}"
  --remove-section=.comment --remove-section=.note)

# The library's public headers only (VeltoPublicHeaders.txt), each in its
# source folder; the platform files and the other internals stay private.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/VeltoPublicHeaders.txt VELTO_PUBLIC_HEADERS
  REGEX "^[^#].*[.]h$")
foreach(header ${VELTO_PUBLIC_HEADERS})
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/src/${header}
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velto/${folder} COMPONENT dev)
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_LIST_DIR}/VeltoPublicHeaders.txt)

set(VELTO_LIBRARIES velto_framework velto_transport velto_protocol velto_device)
foreach(library ${VELTO_LIBRARIES})
  string(REPLACE "velto_" "" export_name ${library})
  set_target_properties(${library} PROPERTIES EXPORT_NAME ${export_name})
endforeach()
install(TARGETS ${VELTO_LIBRARIES} velto EXPORT VeltoTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
set(archives "")
foreach(library ${VELTO_LIBRARIES})
  list(APPEND archives ${CMAKE_STATIC_LIBRARY_PREFIX}${library}${CMAKE_STATIC_LIBRARY_SUFFIX})
endforeach()
velto_install_strip(dev ${CMAKE_INSTALL_LIBDIR} "${archives}" --strip-debug
  --enable-deterministic-archives --remove-section=.comment --remove-section=.note)

set(VELTO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Velto)
install(EXPORT VeltoTargets NAMESPACE Velto:: DESTINATION ${VELTO_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VeltoConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cmake/VeltoConfig.cmake INSTALL_DESTINATION ${VELTO_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmake/VeltoConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/cmake/VeltoConfig.cmake
  ${PROJECT_BINARY_DIR}/cmake/VeltoConfigVersion.cmake
  DESTINATION ${VELTO_CMAKE_DIR} COMPONENT dev)

# The pkg-config file finds its prefix from where it lies, so that an
# install with `--prefix` elsewhere than configured still works.
file(RELATIVE_PATH to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" to_prefix "${to_prefix}")
set(VELTO_PC_PREFIX "\${pcfiledir}/${to_prefix}")
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(VELTO_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(VELTO_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(VELTO_PC_LIBS "")
foreach(library velto_device velto_protocol velto_transport velto_framework)
  string(APPEND VELTO_PC_LIBS " -l${library}")
endforeach()
foreach(library ${CMAKE_DL_LIBS})
  string(APPEND VELTO_PC_LIBS " -l${library}")
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/velto.pc.in ${PROJECT_BINARY_DIR}/velto.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/velto.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

include(${CMAKE_CURRENT_LIST_DIR}/VeltoDocs.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/VeltoPackage.cmake)
