# 32-bit ARM Linux with hard float.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(PVR_TRIPLE arm-linux-gnueabihf)
set(PVR_QEMU qemu-arm-static)
set(PVR_DEB_ARCHITECTURE armhf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
# 64-bit time and file offsets: right after 2038, and no large file misread.
add_compile_definitions(_FILE_OFFSET_BITS=64 _TIME_BITS=64)
