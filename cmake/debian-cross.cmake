# What both ARM toolchain files share: Debian's cross compiler for
# FBBENCH_CROSS_TRIPLE and its tree for the C library and libstdc++, the
# static libdrm unpacked for FBBENCH_DEBIAN_ARCHITECTURE, and GoogleTest built
# from Debian's source. Nothing of the target's architecture need be
# installed on the host. Set both variables, then include this.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(FBBENCH_CROSS_SYSROOT /usr/${FBBENCH_CROSS_TRIPLE})
set(CMAKE_C_COMPILER ${FBBENCH_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${FBBENCH_CROSS_TRIPLE}-g++)

# Libraries and headers from the target's trees only; programs (tools run
# during the build) still come from the host.
set(CMAKE_FIND_ROOT_PATH ${FBBENCH_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libdrm's static library and headers, unpacked by .ci/install-packages into
# the folder that packaging/debian-packages names for this architecture.
# Linked statically, the programs need no libdrm on the board or under the
# emulator.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../packaging/debian-packages fbbench_libdrm_unpack
     REGEX "^unpack libdrm-dev:${FBBENCH_DEBIAN_ARCHITECTURE} /")
if(NOT fbbench_libdrm_unpack)
  message(FATAL_ERROR "packaging/debian-packages unpacks no libdrm-dev:${FBBENCH_DEBIAN_ARCHITECTURE}")
endif()
string(REGEX MATCH "/.*" FBBENCH_CROSS_LIBDRM_ROOT "${fbbench_libdrm_unpack}")
list(APPEND CMAKE_FIND_ROOT_PATH ${FBBENCH_CROSS_LIBDRM_ROOT})
set(CMAKE_LIBRARY_ARCHITECTURE ${FBBENCH_CROSS_TRIPLE})
set(FBBENCH_LIBDRM_STATIC ON)

# GoogleTest, compiled by the tests' CMakeLists from Debian's googletest
# source with this compiler. nlohmann/json is header-only: the host's serves.
set(FBBENCH_GTEST_SOURCE /usr/src/googletest/googletest)
set(nlohmann_json_DIR /usr/share/cmake/nlohmann_json)

# 64-bit file offsets and time on every 32-bit target: a 64-bit kernel places
# DRM dumb buffers' map offsets at 4 GiB and above, which a 32-bit off_t
# cannot pass to mmap; and gettimeofday stays right after 2038, as Debian's
# own armhf has it from Debian 13 on. The toolchain files add to these.
# -Wno-psabi: GCC notes, on every ARM build, that passing some structures
# changed in GCC 7.1; all the code is built by one compiler, so no call
# crosses that change.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 -Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 -Wno-psabi")
