# The install tree: the shared library (with its SONAME links on Linux, the DLL
# and its import library on Windows), the public header, the command-line
# program, a pkg-config file and a CMake package whose imported target is
# vantorel-screenshot::vantorel-screenshot.
#
# Three components, one per Debian package (cmake/packaging.cmake): runtime
# (the library under its SONAME), dev (what a build needs: header, the
# unversioned link, import library, pkg-config file, CMake package) and cli.
if(NOT TARGET vantorel-screenshot)
  return()
endif()

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vantorel-screenshot)

install(TARGETS vantorel-screenshot EXPORT vantorel-screenshot-targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/vantorel_screenshot.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
if(TARGET vantorel-screenshot-cli)
  install(TARGETS vantorel-screenshot-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)
endif()

install(EXPORT vantorel-screenshot-targets
  NAMESPACE vantorel-screenshot::
  FILE vantorel-screenshot-targets.cmake
  DESTINATION ${VS_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/vantorel-screenshot-config.cmake.in
  ${PROJECT_BINARY_DIR}/vantorel-screenshot-config.cmake
  INSTALL_DESTINATION ${VS_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vantorel-screenshot-config-version.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vantorel-screenshot-config.cmake
              ${PROJECT_BINARY_DIR}/vantorel-screenshot-config-version.cmake
  DESTINATION ${VS_CMAKE_DIR} COMPONENT dev)

# The .pc file finds its prefix from its own place (${pcfiledir}), so an
# install tree still works after `cmake --install --prefix` or a move.
file(RELATIVE_PATH VS_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/vantorel-screenshot.pc.in
  ${PROJECT_BINARY_DIR}/vantorel-screenshot.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vantorel-screenshot.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

include(${CMAKE_CURRENT_LIST_DIR}/packaging.cmake)
