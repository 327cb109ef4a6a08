# Cross-builds for 32-bit ARM Linux (hard float) with Debian's cross compiler; tests run
# under qemu-user. Static, so that nothing of the target's C library is
# needed beside the executables.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(PVR_DEB_ARCHITECTURE armhf)
# 64-bit time and file offsets: right after 2038, and no large file misread.
add_compile_definitions(_FILE_OFFSET_BITS=64 _TIME_BITS=64)
