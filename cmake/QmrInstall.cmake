# QmrInstall.cmake - what `cmake --install` puts into a prefix besides the programs: the public
# headers, the CMake package qmr_client (imported targets qmr::client and qmr::util) and the
# pkg-config module qmr-client. The libraries, programs, generated headers, IDL and Python files
# are installed by the folders that build them.
include(CMakePackageConfigHelpers)

install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/qmr DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT development)

set(QMR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qmr_client)
install(EXPORT qmr_clientTargets NAMESPACE qmr:: DESTINATION ${QMR_CMAKE_DIR}
        COMPONENT development)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/qmr_clientConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/qmr_clientConfig.cmake
                              INSTALL_DESTINATION ${QMR_CMAKE_DIR})
# 2.x releases keep the interface of 2.14: a user asking for 2.14 accepts 2.15, not 3.0.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/qmr_clientConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/qmr_clientConfig.cmake
              ${CMAKE_BINARY_DIR}/qmr_clientConfigVersion.cmake
        DESTINATION ${QMR_CMAKE_DIR} COMPONENT development)

# The .pc file finds its prefix from its own place, so a staged or moved tree works as well.
set(QMR_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH QMR_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${QMR_PC_DIR} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" QMR_PC_TO_PREFIX "${QMR_PC_TO_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/qmr-client.pc.in ${CMAKE_BINARY_DIR}/qmr-client.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/qmr-client.pc DESTINATION ${QMR_PC_DIR} COMPONENT development)
