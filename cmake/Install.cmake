# Installs the libraries, their headers and a CMake package:
#   find_package(camera_parameters CONFIG REQUIRED)
#   target_link_libraries(app PRIVATE camera_parameters::camera_parameters)
include(CMakePackageConfigHelpers)

set(camera_parameters_libraries dravik_common calibration_messages embedded_calibration_files
    calibration_utils camera_parameters)
# The installed libraries find each other beside themselves: a program that
# links camera_parameters only must still load the modules it depends on
# (the embedded calibration texts, the calibration utilities) wherever the
# prefix is.
set_target_properties(${camera_parameters_libraries} PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS ${camera_parameters_libraries}
        EXPORT camera_parametersTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/camera_parameters)
install(EXPORT camera_parametersTargets
        NAMESPACE camera_parameters::
        DESTINATION ${config_dir})
configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/camera_parametersConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/camera_parametersConfig.cmake
  INSTALL_DESTINATION ${config_dir})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/camera_parametersConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/camera_parametersConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/camera_parametersConfigVersion.cmake
        DESTINATION ${config_dir})
