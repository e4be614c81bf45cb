# Script mode: cmake -DBUILD_DIR=... -DPREFIX=... -DPYTHON=... -DCHECK=... [-DCONFIG=...]
#   -P install_and_check.cmake
# Installs the build tree into a fresh PREFIX and runs the check of the
# installed Python module there.
file(REMOVE_RECURSE "${PREFIX}")
set(config_args)
if(CONFIG)
  set(config_args --config ${CONFIG})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}" ${config_args}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "installing ${BUILD_DIR} into ${PREFIX} failed (${result})")
endif()
execute_process(COMMAND ${PYTHON} ${CHECK} ${PREFIX} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the installed Python module fails its check (${result})")
endif()
