# The CMake package an application finds with find_package(Quorvex): the client
# library, its headers under include/quorvex/client, the driver's public header
# under include/quorvex, and on the host the driver and simulated platform the
# library runs. `cmake --install build/host --prefix DIR` puts it in DIR.
include(CMakePackageConfigHelpers)

set(QUORVEX_PACKAGE_TARGETS quorvex_client)
if(NOT WIN32)
  list(APPEND QUORVEX_PACKAGE_TARGETS quorvex_driver quorvex_sim)
endif()
install(TARGETS ${QUORVEX_PACKAGE_TARGETS} EXPORT QuorvexTargets ARCHIVE DESTINATION lib)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/quorvex DESTINATION include)
install(FILES ${PROJECT_SOURCE_DIR}/client/camera.h ${PROJECT_SOURCE_DIR}/client/models.h
              ${PROJECT_SOURCE_DIR}/client/status.h ${PROJECT_SOURCE_DIR}/client/picture.h
              ${PROJECT_SOURCE_DIR}/client/platform.h ${PROJECT_SOURCE_DIR}/client/stream.h
        DESTINATION include/quorvex/client)
install(EXPORT QuorvexTargets NAMESPACE Quorvex:: DESTINATION lib/cmake/Quorvex)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QuorvexConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/QuorvexConfig.cmake INSTALL_DESTINATION lib/cmake/Quorvex)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/QuorvexConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/QuorvexConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/QuorvexConfigVersion.cmake
        DESTINATION lib/cmake/Quorvex)
