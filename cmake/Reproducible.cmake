# One commit builds to the same bytes wherever and whenever it is built:
# the source and build paths are mapped out of the binaries (their build-ID
# hashes the debug information), the packages' times and the exe's PE
# timestamp come from SOURCE_DATE_EPOCH, and the builder's umask decides no
# mode in the packages.
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
  -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)

# The caller's SOURCE_DATE_EPOCH, else, in a git checkout, the last commit's
# time, else (in a source release) the date the release carries, else
# CMakeLists.txt's time. Git is asked only where the source folder holds a
# .git of its own: a release unpacked inside another repository (a packaging
# one, a home kept in git) is no commit of that repository's. A checkout is
# never dated by its files' times, which say when it was checked out.
set(PVR_FROM_GIT FALSE)
if(EXISTS ${CMAKE_SOURCE_DIR}/.git)
  set(PVR_FROM_GIT TRUE)
endif()
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(PVR_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
elseif(PVR_FROM_GIT)
  execute_process(COMMAND git log -1 --format=%ct
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    OUTPUT_VARIABLE PVR_SOURCE_DATE_EPOCH RESULT_VARIABLE git_failed
    ERROR_VARIABLE git_said OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_STRIP_TRAILING_WHITESPACE)
  if(git_failed OR NOT PVR_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    message(FATAL_ERROR "Cannot read this checkout's last commit, which "
      "dates the build and its packages: git says: ${git_said} ${git_failed}\n"
      "Where the checkout belongs to another user (a container, a bind "
      "mount), tell git it is safe: git config --global --add "
      "safe.directory ${CMAKE_SOURCE_DIR}\n"
      "or give the date as SOURCE_DATE_EPOCH.")
  endif()
  # A commit or checkout writes the reflog: configure again then.
  execute_process(COMMAND git rev-parse --path-format=absolute
      --git-path logs/HEAD
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    OUTPUT_VARIABLE reflog OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(reflog AND EXISTS ${reflog})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${reflog})
  endif()
elseif(EXISTS ${CMAKE_SOURCE_DIR}/release-date)
  file(STRINGS ${CMAKE_SOURCE_DIR}/release-date PVR_SOURCE_DATE_EPOCH
    LIMIT_COUNT 1 REGEX "^[0-9]+$")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/release-date)
endif()
if(NOT PVR_SOURCE_DATE_EPOCH)
  file(TIMESTAMP ${CMAKE_SOURCE_DIR}/CMakeLists.txt PVR_SOURCE_DATE_EPOCH
    "%s" UTC)
endif()

# The linker stamps the exe with the time it finds there.
set(CMAKE_CXX_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env
  SOURCE_DATE_EPOCH=${PVR_SOURCE_DATE_EPOCH})
configure_file(${CMAKE_CURRENT_LIST_DIR}/CPackProject.cmake.in
  ${CMAKE_BINARY_DIR}/CPackProject.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackProject.cmake)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE
  OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
