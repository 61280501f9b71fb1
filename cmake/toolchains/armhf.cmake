# Cross build for 32-bit ARM (hard float) with Debian's cross toolchain.
# Target programs run through qemu-arm: nothing registers binfmt handlers on
# the build machines, so ctest and test discovery call the emulator directly.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(ZRFS_ARMHF_TRIPLE arm-linux-gnueabihf)
set(ZRFS_ARMHF_SYSROOT /usr/${ZRFS_ARMHF_TRIPLE})

set(CMAKE_C_COMPILER ${ZRFS_ARMHF_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ZRFS_ARMHF_TRIPLE}-g++)

# -L points qemu at the target's dynamic loader and libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;${ZRFS_ARMHF_SYSROOT})

# Libraries and headers come from the target tree only; build tools from the host.
# The exception is the zrfs tool's header-only libraries (CLI11, fmt,
# nlohmann-json), which only the build machine has: cmake/ToolDependencies.cmake
# takes each package's header folder alone from ZRFS_HOST_HEADER_DIR.
set(CMAKE_FIND_ROOT_PATH ${ZRFS_ARMHF_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
