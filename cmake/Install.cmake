# Install layout and packages: a .deb on Linux, a .zip on Windows.
include(GNUInstallDirs)

# The Debian package holding the library the compiler links, or "".
function(pvr_package_of library result)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${library}
    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(REAL_PATH "${path}" path)
  execute_process(COMMAND dpkg-query --search ${path}
    OUTPUT_VARIABLE owner RESULT_VARIABLE failed ERROR_QUIET)
  string(REGEX REPLACE ":.*" "" owner "${owner}")
  if(failed)
    message(WARNING "No package owns ${path}")
    set(owner "")
  endif()
  set(${result} "${owner}" PARENT_SCOPE)
endfunction()

set(PVR_MAINTAINER "The pvr-launch developers <maintainers@pvr-launch.org>"
  CACHE STRING "Maintainer of the packages, as name and address")
set(CPACK_PACKAGE_CONTACT "${PVR_MAINTAINER}")
# The package's version is debian/changelog's latest, whose upstream part
# must be the project's.
file(STRINGS debian/changelog pvr_debian_version LIMIT_COUNT 1)
if(NOT pvr_debian_version MATCHES "^pvr-launch \\(${PROJECT_VERSION}-([0-9.]+)\\) ")
  message(FATAL_ERROR "debian/changelog begins with another version than "
    "${PROJECT_VERSION}: ${pvr_debian_version}")
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_1})
find_package(Python3 REQUIRED COMPONENTS Interpreter)

if(WIN32)
  # The .zip holds the one .exe with its README and examples beside it.
  install(TARGETS pvr-launch pvr-launch-check RUNTIME DESTINATION .)
  install(FILES README.md LICENSE DESTINATION .)
  # The exe carries GCC's runtime libraries and the MinGW-w64 runtime with
  # its threads library: their licence notices go beside it, as the
  # packages that provided them state them.
  set(notices "")
  foreach(library libstdc++.a libgcc.a libssp.a libwinpthread.a libmingwex.a)
    pvr_package_of(${library} package)
    file(REAL_PATH /usr/share/doc/${package}/copyright copyright)
    if(package AND EXISTS ${copyright} AND NOT copyright IN_LIST notices)
      list(APPEND notices ${copyright})
    endif()
  endforeach()
  set(text "pvr-launch.exe links these libraries statically. Their licence\n\
notices follow, one package's after another.\n")
  foreach(copyright IN LISTS notices)
    file(READ ${copyright} notice)
    get_filename_component(package ${copyright} DIRECTORY)
    get_filename_component(package ${package} NAME)
    string(APPEND text "\n==== ${package}\n\n${notice}")
  endforeach()
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/THIRD-PARTY-NOTICES.txt "${text}")
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/THIRD-PARTY-NOTICES.txt
    DESTINATION .)
  install(FILES examples/evening-news-windows.xml DESTINATION examples)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  # With wixl (Debian's msitools), an installer beside the .zip. One
  # version's product code is the same in every build: made from the
  # installer's upgrade code and the version.
  find_program(PVR_WIXL wixl)
  string(UUID PVR_PRODUCT_CODE NAMESPACE 631e692d-4e3f-4787-9f3a-4499ba9bd8a4
    NAME ${PROJECT_VERSION} TYPE SHA1 UPPER)
else()
  install(TARGETS pvr-launch pvr-launch-check
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Man pages are installed compressed, as man-db and Debian expect.
  foreach(page pvr-launch pvr-launch-check)
    add_custom_command(
      OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${page}.1.gz
      COMMAND gzip -9nc ${CMAKE_CURRENT_SOURCE_DIR}/resources/${page}.1
        > ${CMAKE_CURRENT_BINARY_DIR}/${page}.1.gz
      DEPENDS resources/${page}.1)
    add_custom_target(${page}-man-page ALL
      DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${page}.1.gz)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${page}.1.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # Debian's own files, from debian/ as a distribution's package takes them
  # (the licence in machine-readable form, the changelog) and the reason for
  # the static link, told to lintian: in the .deb only, never in a plain
  # install, which is no Debian package.
  add_custom_command(
    OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz
    COMMAND gzip -9nc ${CMAKE_CURRENT_SOURCE_DIR}/debian/changelog
      > ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz
    DEPENDS debian/changelog)
  add_custom_target(changelog ALL
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz)
  # What lintian is told of a static or static-pie link holds only there.
  set(link "")
  if(PVR_STATIC_EXE AND PVR_HAS_STATIC_PIE)
    file(READ resources/lintian/static-pie link)
  elseif(PVR_STATIC_EXE)
    file(READ resources/lintian/static link)
  endif()
  file(READ resources/lintian/all overrides)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/lintian-overrides "${overrides}${link}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/DebianFiles.cmake "\
file(INSTALL ${CMAKE_CURRENT_SOURCE_DIR}/debian/copyright
  ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz
  DESTINATION /usr/${CMAKE_INSTALL_DOCDIR})
file(INSTALL ${CMAKE_CURRENT_BINARY_DIR}/lintian-overrides
  DESTINATION /usr/${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME pvr-launch)
")
  install(FILES examples/evening-news.xml
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  install(PROGRAMS examples/run-example.sh
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

  # The PNG icons come from the same pixel-art sources as the Windows icon.
  set(icons ${CMAKE_CURRENT_BINARY_DIR}/icons)
  add_custom_command(
    OUTPUT ${icons}/pvr-launch-16.png ${icons}/pvr-launch-32.png
    COMMAND Python3::Interpreter
      ${CMAKE_CURRENT_SOURCE_DIR}/resources/make-icon.py
      --ico ${icons}/pvr-launch.ico --png ${icons}
    DEPENDS resources/make-icon.py resources/pvr-launch-16.xpm
      resources/pvr-launch-32.xpm)
  add_custom_target(icons ALL DEPENDS ${icons}/pvr-launch-16.png)
  foreach(size 16 32)
    install(FILES ${icons}/pvr-launch-${size}.png
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
      RENAME pvr-launch.png)
  endforeach()


  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION video)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Linked statically, it needs no libraries (the recorder it starts may);
  # otherwise they are found from what it links.
  set(built_using "")
  if(PVR_STATIC_EXE)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
    # The link carries the C and C++ libraries: Built-Using names the source
    # packages and versions they came from, so that a security fix in them
    # can be traced to this package. CPack has no field for it; it follows
    # the Source field.
    foreach(library libc.a libstdc++.a libgcc.a)
      pvr_package_of(${library} package)
      if(package)
        execute_process(COMMAND dpkg-query --show
          "--showformat=\${source:Package} (= \${source:Version})" ${package}
          OUTPUT_VARIABLE source COMMAND_ERROR_IS_FATAL ANY)
        list(APPEND built_using "${source}")
      endif()
    endforeach()
    list(REMOVE_DUPLICATES built_using)
    list(JOIN built_using ", " built_using)
    if(built_using)
      set(CPACK_DEBIAN_PACKAGE_SOURCE "pvr-launch\nBuilt-Using: ${built_using}")
    endif()
  else()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  endif()
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/built-using "${built_using}\n")  # for debian/rules
  if(PVR_DEB_ARCHITECTURE)  # cross-built: the target's, not the host's
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${PVR_DEB_ARCHITECTURE})
  endif()
endif()

set(CPACK_PACKAGE_NAME pvr-launch)
set(CPACK_PACKAGE_VENDOR "The pvr-launch developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "job launcher for personal video recording")
set(CPACK_PACKAGE_DESCRIPTION
  "pvr-launch starts one recording job: it reads a job file, deletes a stale
file at the video file's path, appends a record to a run log (in TEMP or
TMPDIR when set, otherwise in the user's own state directory,
~/.local/state/pvr-launch) and starts the recorder detached.
pvr-launch-check shows what a run would do with a job, doing none of it.")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_PACKAGE_FILE_NAME "pvr-launch-${PROJECT_VERSION}-windows-x86_64")
endif()
# The source release: pvr-launch-VERSION/ with the tracked files in it.
set(CPACK_SOURCE_GENERATOR TXZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME pvr-launch-${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_README ${CMAKE_CURRENT_SOURCE_DIR}/README.md)
# Every package, the source release's too, made the same whoever builds it.
configure_file(cmake/NormalizePackages.cmake.in NormalizePackages.cmake @ONLY)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_BINARY_DIR}/NormalizePackages.cmake)
include(CPack)
