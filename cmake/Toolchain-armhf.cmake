# Cross build for 32-bit ARM with hard float (Debian armhf: ARMv7-A, VFPv3-D16,
# Thumb-2) with Debian's cross toolchain (crossbuild-essential-armhf) and the
# :armhf development packages installed beside the native ones (multiarch).
# Programs built here run on this machine under user-mode emulation:
#   cmake -S . -B build-armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/Toolchain-armhf.cmake
set(VELTO_CROSS_TRIPLET arm-linux-gnueabihf)
set(VELTO_CROSS_DEB_ARCH armhf)
set(VELTO_CROSS_QEMU qemu-arm)
set(CMAKE_SYSTEM_PROCESSOR arm)
include(${CMAKE_CURRENT_LIST_DIR}/ToolchainDebianCross.cmake)
