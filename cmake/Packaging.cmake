# Installation: versioned shared library, static library, public headers,
# CMake config package (QuorStorage::quorstorage) and pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QUOR_EXPORT_MAP ${CMAKE_SOURCE_DIR}/cmake/quorstorage.map)
target_link_options(quorstorage PRIVATE "-Wl,--version-script=${QUOR_EXPORT_MAP}")
set_property(TARGET quorstorage APPEND PROPERTY LINK_DEPENDS ${QUOR_EXPORT_MAP})
# The library's calls to its own exported functions bind inside it at link
# time, so a host that defines a function of the same name (crc16, flush,
# deleteFile...) never replaces the library's own. Exported data binds inside
# the library through its protected visibility (common/export.h).
target_link_options(quorstorage PRIVATE "-Wl,-Bsymbolic-functions")

set(QUOR_INSTALL_INCLUDE ${CMAKE_INSTALL_INCLUDEDIR}/quorstorage)
target_include_directories(quorstorage PUBLIC
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
  $<INSTALL_INTERFACE:${QUOR_INSTALL_INCLUDE}>)
target_include_directories(quorstorage_static PUBLIC
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
  $<INSTALL_INTERFACE:${QUOR_INSTALL_INCLUDE}>)

install(TARGETS quorstorage quorstorage_static EXPORT QuorStorageTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The C interface in one header, and the headers of the exported C++ classes
# with the one internal header they need.
install(FILES ${CMAKE_SOURCE_DIR}/include/quorstorage/quorstorage.h
  DESTINATION ${QUOR_INSTALL_INCLUDE})
install(FILES ${CMAKE_SOURCE_DIR}/storage/common/export.h
  DESTINATION ${QUOR_INSTALL_INCLUDE}/common)
file(GLOB _class_headers ${CMAKE_SOURCE_DIR}/storage/image_editor/*.h)
install(FILES ${_class_headers} DESTINATION ${QUOR_INSTALL_INCLUDE}/image_editor)
if(EXISTS ${CMAKE_SOURCE_DIR}/storage/errors/taverrors.h)
  install(FILES ${CMAKE_SOURCE_DIR}/storage/errors/taverrors.h
    DESTINATION ${QUOR_INSTALL_INCLUDE}/errors)
endif()

set(QUOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QuorStorage)
install(EXPORT QuorStorageTargets NAMESPACE QuorStorage:: DESTINATION ${QUOR_CMAKE_DIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/QuorStorageConfig.cmake.in
  ${CMAKE_BINARY_DIR}/QuorStorageConfig.cmake INSTALL_DESTINATION ${QUOR_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/QuorStorageConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/QuorStorageConfig.cmake
  ${CMAKE_BINARY_DIR}/QuorStorageConfigVersion.cmake DESTINATION ${QUOR_CMAKE_DIR})

# The .pc file finds its prefix relative to itself, so an installed tree can
# be moved (and installed into a temporary prefix by the consumer tests).
file(RELATIVE_PATH QUOR_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_SOURCE_DIR}/cmake/quorstorage.pc.in
  ${CMAKE_BINARY_DIR}/quorstorage.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/quorstorage.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
