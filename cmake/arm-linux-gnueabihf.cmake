# Cross toolchain for 32-bit ARM Linux boards with VFP (ARMv7-A, hard-float ABI),
# using Debian's g++-arm-linux-gnueabihf.
#
#   cmake -S . -B build/armhf --toolchain cmake/arm-linux-gnueabihf.cmake
#
# Test programs run on this host through qemu-arm-static. binfmt_misc is not
# relied on, so the emulator is named explicitly; -L lets the emulator find the
# armhf dynamic loader and libraries of dynamically linked programs.

set(FBBENCH_CROSS_TRIPLE arm-linux-gnueabihf)
set(FBBENCH_DEBIAN_ARCHITECTURE armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

# The loader comes from the cross tree; LD_LIBRARY_PATH=/lib (inside the -L
# prefix) makes it take that tree's C library and libstdc++ too, and not a
# multiarch armhf one the host may have (libc6:armhf), whose other build
# crashes it in fork.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static;-L;${FBBENCH_CROSS_SYSROOT};-E;LD_LIBRARY_PATH=/lib)
