# Script mode: cmake -DBUILD_DIR=... -DPREFIX=... [-DCONFIG=...] -P install_camcal.cmake
# Installs the build tree into a fresh PREFIX, for the camcal tests.
file(REMOVE_RECURSE "${PREFIX}")
set(config_args)
if(CONFIG)
  set(config_args --config ${CONFIG})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}" ${config_args}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "camcal tests: installing ${BUILD_DIR} into ${PREFIX} failed (${result})")
endif()
