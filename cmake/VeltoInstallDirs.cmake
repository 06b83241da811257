# Install folders (GNUInstallDirs). On Debian the library folder is the
# multiarch one (lib/x86_64-linux-gnu) whatever the prefix: GNUInstallDirs
# picks it only for the prefix /usr, but the package always installs there,
# and Debian's pkg-config, linker and find_package look there under
# /usr/local as well.
if(NOT DEFINED CMAKE_INSTALL_LIBDIR AND CMAKE_LIBRARY_ARCHITECTURE AND EXISTS /etc/debian_version)
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE}
    CACHE PATH "Object code libraries (lib/${CMAKE_LIBRARY_ARCHITECTURE})")
endif()
include(GNUInstallDirs)
