# Script mode: cmake -DBUILD_DIR=... -DPREFIX=... -DCONSUMER_SOURCE=...
#   -DCONSUMER_BUILD=... [-DCONFIG=...] [-DGENERATOR=...] [-DCXX_COMPILER=...]
#   [-DSANITIZE=address,undefined]
#   -P install_consumer.cmake
# Every step must succeed; the first that fails fails the test.
function(run_step what)
  message(STATUS "install test: ${what}")
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "install test: ${what} failed (${result})")
  endif()
endfunction()

file(REMOVE_RECURSE "${PREFIX}" "${CONSUMER_BUILD}")

set(config_args)
if(CONFIG)
  set(config_args --config ${CONFIG})
endif()
run_step("install into ${PREFIX}"
  ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}" ${config_args})

set(configure_args
  -S "${CONSUMER_SOURCE}" -B "${CONSUMER_BUILD}"
  "-DCMAKE_PREFIX_PATH=${PREFIX}"
  # Only the installed tree: never a package registered by a build tree.
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
  -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF)
if(GENERATOR)
  list(APPEND configure_args -G "${GENERATOR}")
endif()
if(CXX_COMPILER)
  list(APPEND configure_args "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}")
endif()
if(CONFIG)
  list(APPEND configure_args "-DCMAKE_BUILD_TYPE=${CONFIG}")
endif()
# A consumer of sanitized libraries must load the sanitizer runtime itself.
if(SANITIZE)
  list(APPEND configure_args "-DCMAKE_CXX_FLAGS=-fsanitize=${SANITIZE}"
       "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=${SANITIZE}")
endif()
run_step("configure the consumer" ${CMAKE_COMMAND} ${configure_args})
run_step("build the consumer" ${CMAKE_COMMAND} --build "${CONSUMER_BUILD}" ${config_args})

# Run it without any library path of the build tree in the environment.
unset(ENV{LD_LIBRARY_PATH})
find_program(consumer NAMES camera_parameters_consumer
             PATHS "${CONSUMER_BUILD}" "${CONSUMER_BUILD}/${CONFIG}" NO_DEFAULT_PATH)
if(NOT consumer)
  message(FATAL_ERROR "install test: the consumer program was not built")
endif()
run_step("run the consumer" "${consumer}" "${PREFIX}")
