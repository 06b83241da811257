# What the Debian cross builds share; included by the per-architecture files,
# which set VELTO_CROSS_TRIPLET, VELTO_CROSS_DEB_ARCH and VELTO_CROSS_QEMU.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VELTO_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VELTO_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${VELTO_CROSS_TRIPLET})

# The cross C library lives under /usr/<triplet>; the libraries installed
# through multiarch live in the usual places under their triplet's folder,
# which the search finds through CMAKE_LIBRARY_ARCHITECTURE. Programs (the
# build's own tools) are always the machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${VELTO_CROSS_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads only the target's .pc files (and the architecture-free
# ones), never the machine's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${VELTO_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Tests and try-runs go through user-mode emulation. Its library root is the
# machine's own root: multiarch puts the target's loader, C library and every
# other shared library the programs load there (/lib/<triplet>,
# /usr/lib/<triplet>). The cross C library under /usr/<triplet> is for
# linking only: as a root it pairs its own loader with the multiarch C library
# of another Debian revision, and threaded programs hang or crash.
# They are kept in the cache (with the triplet), where scripts/package-test.sh finds them; the
# emulator must be an absolute path (CTest and the tests' process spawner run
# it directly).
find_program(VELTO_CROSS_QEMU_PATH ${VELTO_CROSS_QEMU} REQUIRED)
set(VELTO_CROSS_LIBRARY_ROOT / CACHE INTERNAL "The target's library root for the emulator")
set(VELTO_CROSS_TRIPLET ${VELTO_CROSS_TRIPLET} CACHE INTERNAL "The target's GNU triplet")
set(CMAKE_CROSSCOMPILING_EMULATOR ${VELTO_CROSS_QEMU_PATH} -L ${VELTO_CROSS_LIBRARY_ROOT})
