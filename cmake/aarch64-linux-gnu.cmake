# 64-bit ARM Linux: the boards and NAS boxes recorders mostly run on.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(PVR_TRIPLE aarch64-linux-gnu)
set(PVR_QEMU qemu-aarch64-static)
set(PVR_DEB_ARCHITECTURE arm64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
