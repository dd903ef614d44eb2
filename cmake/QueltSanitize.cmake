# AddressSanitizer and UndefinedBehaviorSanitizer for everything this build compiles.
#
# Included before any target exists, so the flags reach the module, its object library, the
# chain-only copy, the C++ tests and the conformance checker alike. Undefined behaviour stops
# the program at the first report instead of printing and going on, so that a finding fails
# the test that provoked it. OpenBLAS, LAPACKE and ONNX Runtime are prebuilt and stay
# uninstrumented: their own reads and writes are not checked, only the memory we hand them.
#
# A Python process that imports the module must load the sanitizer runtime before anything
# else (CPython itself is not instrumented); QUELT_SANITIZER_RUNTIME names the library to
# preload, which tests/CMakeLists.txt puts into the environment of every Python test.

if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "QUELT_SANITIZE needs GCC or Clang; the compiler is ${CMAKE_CXX_COMPILER_ID}")
endif()

# -O1 comes after the build type's own level and so wins: the level the sanitizers are made
# for, with stacks that follow the source, and half the build time of -O3 for the heavy
# overload instantiations.
set(QUELT_SANITIZER_FLAGS
    -fsanitize=address,undefined
    -fno-sanitize-recover=all
    -fno-omit-frame-pointer
    -g
    -O1)
add_compile_options(${QUELT_SANITIZER_FLAGS})
add_link_options(-fsanitize=address,undefined)

# The runtime the compiler links against, which a preloading process must use too.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                OUTPUT_VARIABLE QUELT_SANITIZER_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT IS_ABSOLUTE "${QUELT_SANITIZER_RUNTIME}" OR NOT EXISTS "${QUELT_SANITIZER_RUNTIME}")
    message(FATAL_ERROR "The AddressSanitizer runtime of ${CMAKE_CXX_COMPILER} was not found "
                        "(-print-file-name=libasan.so gave '${QUELT_SANITIZER_RUNTIME}')")
endif()
get_filename_component(QUELT_SANITIZER_RUNTIME "${QUELT_SANITIZER_RUNTIME}" REALPATH)
message(STATUS "Sanitizers: address, undefined; runtime to preload: ${QUELT_SANITIZER_RUNTIME}")
