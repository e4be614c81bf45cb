# Warnings and sanitizers shared by every target of the project.
option(CAMERA_PARAMETERS_WERROR "Treat compiler warnings as errors" OFF)
set(CAMERA_PARAMETERS_SANITIZE "" CACHE STRING
    "Comma-separated sanitizers for the whole build, e.g. address,undefined or thread")

add_library(project_warnings INTERFACE)
target_compile_options(project_warnings INTERFACE -Wall -Wextra)
if(CAMERA_PARAMETERS_WERROR)
  target_compile_options(project_warnings INTERFACE -Werror)
endif()

if(CAMERA_PARAMETERS_SANITIZE)
  add_compile_options(-fsanitize=${CAMERA_PARAMETERS_SANITIZE} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${CAMERA_PARAMETERS_SANITIZE})
endif()

# Every target of this repository (libraries, tests, benchmarks, tools, the
# Python module, the fuzz harnesses) is built with Eigen's default storage
# order row-major. The definition stays inside the build: the public headers
# name their matrices through dravik/eigen_types.h, explicitly row-major, so
# a consumer builds with or without the macro and links the same symbols.
add_compile_definitions(EIGEN_DEFAULT_TO_ROW_MAJOR)

# The same bits on every processor: each multiply and each add rounds on its
# own. GCC fuses a * b + c into one multiply-add wherever the instruction set
# has one (every aarch64, x86-64 with FMA), so contraction is off for the
# whole build; the loops meant to fuse (dravik/wide_vectors.h's fused
# variants of the maps) turn it on for themselves. Eigen's NEON code calls
# the fused vfmaq_f32/vfmaq_f64 whenever the compiler says the processor has
# FMA: without that macro it takes vmlaq, a multiply and an add, as its SSE2
# code does on x86-64, and both sum in the same order (two doubles, four
# floats per packet).
add_compile_options(-ffp-contract=off)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
  add_compile_options(-U__ARM_FEATURE_FMA)
endif()

# A library whose public headers use Eigen passes Eigen's headers on.
function(camera_parameters_eigen_abi target)
  target_link_libraries(${target} PUBLIC Eigen3::Eigen)
endfunction()

# Fuzzing (clang only): instrument the whole build for coverage, address and
# undefined behaviour; the harnesses in fuzz/ then link with libFuzzer.
option(CAMERA_PARAMETERS_FUZZ "Build the libFuzzer harnesses (clang)" OFF)
if(CAMERA_PARAMETERS_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "CAMERA_PARAMETERS_FUZZ needs clang (CXX=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
endif()

# OpenCV, when present, is an independent reference for tests and benchmarks
# (never for the libraries): links it and defines CAMERA_PARAMETERS_HAVE_OPENCV.
function(camera_parameters_opencv_reference target)
  find_package(OpenCV QUIET COMPONENTS core calib3d)
  if(OpenCV_FOUND)
    target_link_libraries(${target} PRIVATE ${OpenCV_LIBS})
    target_include_directories(${target} PRIVATE ${OpenCV_INCLUDE_DIRS})
    target_compile_definitions(${target} PRIVATE CAMERA_PARAMETERS_HAVE_OPENCV=1)
  endif()
endfunction()
