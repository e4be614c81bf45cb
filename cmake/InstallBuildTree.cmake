# Script mode: cmake -DBUILD_DIR=... -DPREFIX=... [-DCONFIG=...] -P InstallBuildTree.cmake
# Installs the build tree into a fresh PREFIX, as users get it, for the tests
# that run what is installed. Also included by scripts that go on to check
# the installed tree.
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
