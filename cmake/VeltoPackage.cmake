# Debian packages made with `cpack -G DEB` in the build tree:
#   velto-console_<version>-<release>_<arch>.deb  the programs and their pages
#   libvelto-dev_<version>-<release>_<arch>.deb   headers, archives, CMake and
#                                                 pkg-config files
# Run it from a build whose install prefix is /usr (the package's prefix is
# /usr whatever the build's): `cpack -G DEB` (CPackConfig.cmake).

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${VELTO_CONSOLE_PACKAGE})
set(CPACK_PACKAGE_VENDOR "VeltoConsole maintainers")
set(CPACK_PACKAGE_CONTACT "VeltoConsole maintainers <maintainers@veltoconsole.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL console dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VELTO_CHANGELOG_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_CONSOLE_PACKAGE_NAME ${VELTO_CONSOLE_PACKAGE})
set(CPACK_DEBIAN_CONSOLE_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_CONSOLE_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_CONSOLE_DESCRIPTION
"drive VELTO digital I/O modules from the command line
VeltoConsole connects to one digital I/O module of the VELTO family over a
serial port, a USB serial adapter or TCP and speaks the Tervan protocol
(packet format 97) with it. In one run it identifies the module, switches
outputs (optionally for a limited time), reads the inputs, prints what it did
and returns the chosen inputs, packed into bits, as its exit status, for
scripts and schedulers.

The package also holds VeltoScan, which finds the modules on a line and their
addresses, VeltoSimulator, which behaves like a module (or several modules on
one line) on a TCP port or a pseudo-terminal so that scripts can be tried
without hardware, and TervanMonitor, which shows the protocol traffic of a
run.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${VELTO_DEV_PACKAGE})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libpugixml-dev, uuid-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION
"VELTO I/O module communication library (development files)
The device-communication library beneath VeltoConsole: counted interface
objects in an owner tree, transports (TCP, serial port, USB serial adapter),
a Tervan protocol stack with a request/response engine, and the VELTO I/O
module device with its outputs, inputs, counters, thermometers and change
notifications.

This package holds the headers, the static libraries, a CMake package
(find_package(Velto CONFIG), targets Velto::velto and its parts) and a
pkg-config file (velto).")

include(CPack)
