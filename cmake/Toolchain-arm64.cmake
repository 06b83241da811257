# Cross build for 64-bit ARM (Debian arm64) with Debian's cross toolchain
# (crossbuild-essential-arm64) and the :arm64 development packages installed
# beside the native ones (multiarch). Programs built here run on this machine
# under user-mode emulation, which is how the tests run:
#   cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/Toolchain-arm64.cmake
set(VELTO_CROSS_TRIPLET aarch64-linux-gnu)
set(VELTO_CROSS_DEB_ARCH arm64)
set(VELTO_CROSS_QEMU qemu-aarch64)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/ToolchainDebianCross.cmake)
