# What both ARM toolchain files share: Debian's cross compiler for
# FBBENCH_CROSS_TRIPLE, its tree for libraries and headers, and the multiarch
# packages of that architecture. Set FBBENCH_CROSS_TRIPLE, then include this.

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

# Multiarch packages of the target (libgtest-dev:armhf and the like) install
# under /usr/lib/<triple>, which lies outside the cross tree above.
list(APPEND CMAKE_FIND_ROOT_PATH /)
set(CMAKE_LIBRARY_ARCHITECTURE ${FBBENCH_CROSS_TRIPLE})

# 64-bit file offsets and time on every 32-bit target: a 64-bit kernel places
# DRM dumb buffers' map offsets at 4 GiB and above, which a 32-bit off_t
# cannot pass to mmap; and gettimeofday stays right after 2038, as Debian's
# own armhf has it from Debian 13 on. The toolchain files add to these.
# -Wno-psabi: GCC notes, on every ARM build, that passing some structures
# changed in GCC 7.1; all the code is built by one compiler, so no call
# crosses that change.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 -Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 -Wno-psabi")
