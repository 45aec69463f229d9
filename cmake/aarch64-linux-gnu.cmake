# Cross build for 64-bit Arm Linux with Debian's g++-aarch64-linux-gnu.
# Programs built here run on this machine through qemu-user, so ctest and
# test discovery work as in a native build.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(VORN_CROSS_TRIPLE aarch64-linux-gnu)
set(VORN_CROSS_SYSROOT /usr/${VORN_CROSS_TRIPLE})

set(CMAKE_C_COMPILER ${VORN_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VORN_CROSS_TRIPLE}-g++)

# Headers and libraries come from the target's tree only, never from the
# build machine's /usr/include or /usr/lib; build tools come from the build
# machine.
set(CMAKE_FIND_ROOT_PATH ${VORN_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L lets dynamically linked test programs find the target's loader and
# libraries; the static release binary needs none of them.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-aarch64-static -L ${VORN_CROSS_SYSROOT})
