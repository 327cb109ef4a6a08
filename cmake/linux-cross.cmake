# Cross-builds for Linux on another processor with Debian's cross compiler
# for PVR_TRIPLE; tests run under qemu-user (PVR_QEMU). The test programs
# are linked statically (tests/CMakeLists.txt), the launcher as everywhere,
# so that nothing of the target's C library is needed beside them.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${PVR_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${PVR_TRIPLE}-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PVR_QEMU})
set(CMAKE_FIND_ROOT_PATH /usr/${PVR_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
