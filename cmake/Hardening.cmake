# Debian's hardening for the project's own code (dpkg-buildflags with
# hardening=+all), and a position-independent static link where the
# toolchain has one (static-pie needs the C library's rcrt1.o): a launcher
# that runs as a service account's must not sit at a fixed address.
include(CheckLinkerFlag)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
check_linker_flag(CXX -static-pie PVR_HAS_STATIC_PIE)
# Packed relocations, which a static-pie start applies in fewer steps,
# where the linker knows them: Debian 12's for ARM ignores them with a
# warning, and warns of nothing else, so its words decide.
include(CheckCXXSourceCompiles)
set(CMAKE_REQUIRED_LINK_OPTIONS -Wl,-z,pack-relative-relocs)
check_cxx_source_compiles("int main() { return 0; }"
  PVR_HAS_PACKED_RELOCATIONS FAIL_REGEX "ignored")
unset(CMAKE_REQUIRED_LINK_OPTIONS)
# The sanitizers bring their own checks, and fortification needs the
# optimiser.
if(NOT CMAKE_CXX_FLAGS MATCHES "sanitize")
  set(pvr_fortify $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
endif()
foreach(target pvr-core pvr-launch pvr-launch-check)
  target_compile_options(${target} PRIVATE -fstack-protector-strong
    -Wformat -Werror=format-security ${pvr_fortify})
  # MinGW-w64 keeps the stack protector in libssp, linked in statically;
  # its compiler fails on stack-clash probes with Windows unwinding.
  if(WIN32)
    target_link_libraries(${target} PRIVATE ssp)
  else()
    target_compile_options(${target} PRIVATE -fstack-clash-protection)
    target_link_options(${target} PRIVATE -Wl,-z,relro -Wl,-z,now
      $<$<BOOL:${PVR_HAS_PACKED_RELOCATIONS}>:-Wl,-z,pack-relative-relocs>)
  endif()
endforeach()
