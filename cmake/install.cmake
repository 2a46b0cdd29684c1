# What `cmake --install` puts in place on Linux: the shared library with its soname, the header,
# a CMake package (find_package(VelquoraORN) gives VelquoraORN::velquoraorn), a pkg-config file,
# and the simulator and the log reader with their man pages. Included from CMakeLists.txt.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(velquoraorn PROPERTIES
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
target_include_directories(velquoraorn INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS velquoraorn EXPORT VelquoraORNTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development)
install(FILES include/velquoraorn.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(TARGETS ornsim ornlogread RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(FILES man/ornsim.1 man/ornlogread.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)

set(ORN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VelquoraORN)
install(EXPORT VelquoraORNTargets NAMESPACE VelquoraORN:: DESTINATION ${ORN_CMAKE_DIR}
  COMPONENT development)
configure_package_config_file(cmake/install/VelquoraORNConfig.cmake.in
  ${CMAKE_BINARY_DIR}/VelquoraORNConfig.cmake INSTALL_DESTINATION ${ORN_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/VelquoraORNConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/VelquoraORNConfig.cmake
  ${CMAKE_BINARY_DIR}/VelquoraORNConfigVersion.cmake
  DESTINATION ${ORN_CMAKE_DIR} COMPONENT development)

# The prefix is found relative to the .pc file, so `cmake --install --prefix` anywhere works.
file(RELATIVE_PATH ORN_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(cmake/install/velquoraorn.pc.in ${CMAKE_BINARY_DIR}/velquoraorn.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/velquoraorn.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
