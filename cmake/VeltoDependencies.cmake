# The libraries' third-party dependencies and how the programs take them.
#
# Inside this build tree pugixml and libuuid come from their static archives,
# and the shipped programs also carry the C++ runtime, so that a run loads
# only libc (see velto_shipped_program for libm): loading and relocating
# libstdc++, pugixml and libuuid was the larger part of the program's start-up.
# Consumers of the installed package link their system's libraries through
# the package's own targets (see VeltoConfig.cmake.in).

option(VELTO_STATIC_RUNTIME
  "Link the programs with the static archives of the C++ runtime, pugixml and libuuid" ON)

set(velto_pugixml pugixml::pugixml)
set(velto_uuid PkgConfig::UUID)
if(VELTO_STATIC_RUNTIME)
  if(TARGET pugixml::static)
    set(velto_pugixml pugixml::static)
  endif()
  find_library(VELTO_UUID_ARCHIVE NAMES libuuid.a HINTS ${UUID_LIBRARY_DIRS})
  if(VELTO_UUID_ARCHIVE)
    add_library(velto_uuid_archive STATIC IMPORTED)
    set_target_properties(velto_uuid_archive PROPERTIES
      IMPORTED_LOCATION "${VELTO_UUID_ARCHIVE}"
      INTERFACE_INCLUDE_DIRECTORIES "${UUID_INCLUDE_DIRS}")
    set(velto_uuid velto_uuid_archive)
  endif()
endif()

# What velto_framework links; the installed form names the package's targets.
set(VELTO_FRAMEWORK_DEPENDENCIES
  Threads::Threads
  "$<BUILD_INTERFACE:${velto_pugixml}>" "$<INSTALL_INTERFACE:pugixml::pugixml>"
  "$<BUILD_INTERFACE:${velto_uuid}>" "$<INSTALL_INTERFACE:Velto::uuid>"
  ${CMAKE_DL_LIBS})

# Packing relative relocations (below): older linkers for some architectures
# ignore it with a warning, which is fatal only when asked for before it.
include(CheckLinkerFlag)
check_linker_flag(CXX "LINKER:--fatal-warnings,-z,pack-relative-relocs" VELTO_LINKER_PACKS_RELOCATIONS)
# The console's start-up code placed together (see velto_startup_order),
# with a linker that adds a script's sections to its own layout. Valgrind
# names only the functions in a section called .text: turn this off for a
# build to be run under it.
option(VELTO_STARTUP_ORDER_LINK "Place the code short console runs execute together" ON)
set(VELTO_STARTUP_ORDER "${PROJECT_SOURCE_DIR}/cmake/startup-order.ld")
if(VELTO_STARTUP_ORDER_LINK)
  check_linker_flag(CXX "LINKER:-T,${VELTO_STARTUP_ORDER}" VELTO_LINKER_TAKES_STARTUP_ORDER)
endif()

# A program that is shipped: the C++ runtime linked in (the sanitizer builds
# keep the shared runtime their run-time libraries expect), and every symbol
# bound at start, as Debian's hardening asks; with libc the only shared
# library, that costs nothing measurable. The sections nothing reaches are
# left out (a quarter of the program and of its relocations), the relative
# relocations are packed (a table of 5,300 entries read at every start
# shrinks to 1.3 kB), and a library nothing calls is not loaded. The XML
# library's one call into the maths library goes to the framework's own exact
# remainder (framework/uExactRemainder.h): loading the maths library was a
# tenth of a short run, and glibc's maths archive cannot be linked in instead
# (its functions chosen at load time need the dynamic loader's own data).

function(velto_shipped_program target)
  if(VELTO_STATIC_RUNTIME AND VELTO_SANITIZE STREQUAL "")
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
  target_link_options(${target} PRIVATE -Wl,-z,relro,-z,now -Wl,--gc-sections -Wl,--as-needed)
  target_link_options(${target} PRIVATE -Wl,--wrap=fmod,--undefined=__wrap_fmod)
  if(VELTO_LINKER_PACKS_RELOCATIONS)
    target_link_options(${target} PRIVATE -Wl,-z,pack-relative-relocs)
  endif()
endfunction()

# The code that short runs of the console execute, listed in
# cmake/startup-order.ld by scripts/startup-order.sh, goes to the front of the
# program's code: a run then maps it with a few page faults instead of one in
# every 64 kB of the program. Names the list holds that no longer exist are
# passed over, so a stale list costs speed, not the build.
function(velto_startup_order target)
  if(VELTO_STARTUP_ORDER_LINK AND VELTO_LINKER_TAKES_STARTUP_ORDER)
    target_link_options(${target} PRIVATE "LINKER:-T,${VELTO_STARTUP_ORDER}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${VELTO_STARTUP_ORDER}")
  endif()
endfunction()
