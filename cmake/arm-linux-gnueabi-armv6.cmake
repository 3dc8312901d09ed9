# Cross toolchain for every 32-bit ARM Linux board with VFP, from ARMv6 (the
# ARM1176 of the first Raspberry Pi and the Pi Zero) up: Debian's
# g++-arm-linux-gnueabi with ARMv6 code and VFPv2 instructions. The soft-float
# calling convention (softfp) is armel's: only how floats cross function calls
# differs, the arithmetic is done in VFP registers all the same.
#
#   cmake -S . -B build/armv6 --toolchain cmake/arm-linux-gnueabi-armv6.cmake
#
# Dynamically linked, the programs need armel's C library (built for ARMv5TE,
# so it runs on ARMv6); linked statically (FBBENCH_STATIC) they run on any
# 32-bit ARM Linux. Test programs run on this host through qemu-arm-static as
# an ARM1176, so that an instruction ARMv6 lacks fails the tests.

set(FBBENCH_CROSS_TRIPLE arm-linux-gnueabi)
set(FBBENCH_DEBIAN_ARCHITECTURE armel)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

# -marm: ARMv6 Thumb (Thumb-1) code has no VFP instructions.
string(APPEND CMAKE_C_FLAGS_INIT " -march=armv6 -mfpu=vfp -mfloat-abi=softfp -marm")
string(APPEND CMAKE_CXX_FLAGS_INIT " -march=armv6 -mfpu=vfp -mfloat-abi=softfp -marm")

# The loader, the C library and libstdc++ from the cross tree (-L), and
# nothing of a multiarch libc6:armel that the host may have.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static;-cpu;arm1176;-L;${FBBENCH_CROSS_SYSROOT};-E;LD_LIBRARY_PATH=/lib)
