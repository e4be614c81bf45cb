# Script mode: cmake -DBUILD_DIR=... -DPREFIX=... -DPYTHON=... -DCHECK=... [-DCONFIG=...]
#   -P install_and_check.cmake
# Installs the build tree into a fresh PREFIX and runs the check of the
# installed Python module there.
include(${CMAKE_CURRENT_LIST_DIR}/../../../cmake/InstallBuildTree.cmake)
execute_process(COMMAND ${PYTHON} ${CHECK} ${PREFIX} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the installed Python module fails its check (${result})")
endif()
