# What a Debian package holds (cpack -G DEB in the linux build; scripts/package drives it):
# qvrec and qvf in /usr/bin, the capture library and the reader's shared library in /usr/lib
# (where qvrec's run path and qvf's plug-in search look: ../lib beside the program), the header
# in /usr/include. The Windows zip is put together by scripts/package from the two mingw builds.
if(WIN32)
  return()
endif()
set(CPACK_PACKAGE_NAME quorvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quorvane developers")
set(CPACK_PACKAGE_CONTACT "Quorvane developers <quorvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "record a window or the screen with its sound for video editing")
set(CPACK_PACKAGE_DESCRIPTION
    "qvrec records a window or the whole screen (X11) with the sound of PulseAudio into a .qvf\n"
    "file that the editor's input plug-in opens; qvf inspects, verifies, repairs and exports\n"
    "recordings. Includes the capture library and its C header.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # quorvane_VERSION_amd64.deb
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # Depends: from dpkg-shlibdeps, Debian's own libraries
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_GENERATOR DEB)
# scripts/package builds exactly what the package holds; installing must not build the tests.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
include(CPack)
