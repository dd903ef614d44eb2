# Locates ONNX Runtime and defines the imported target Quelt::onnxruntime.
#
# ONNXRUNTIME_ROOT (CMake variable or environment) names a release folder with include/ and
# lib/; without it the project's own copy under deps/onnxruntime is used, fetched first when
# missing. The library is copied into the build folder, where the module and the programs
# linked against it find it through an $ORIGIN run path; QUELT_ONNXRUNTIME_RUNTIME_FILE is
# that copy, which the install rule puts beside the installed module.

set(ONNXRUNTIME_ROOT "" CACHE PATH "ONNX Runtime release folder (include/ and lib/); empty: deps/onnxruntime")
set(_quelt_ort_root "${ONNXRUNTIME_ROOT}")
if(NOT _quelt_ort_root AND DEFINED ENV{ONNXRUNTIME_ROOT} AND NOT "$ENV{ONNXRUNTIME_ROOT}" STREQUAL "")
    set(_quelt_ort_root "$ENV{ONNXRUNTIME_ROOT}")
endif()

if(NOT _quelt_ort_root)
    set(_quelt_ort_root "${PROJECT_SOURCE_DIR}/deps/onnxruntime")
    # The script returns at once when the copy is complete.
    execute_process(COMMAND "${PROJECT_SOURCE_DIR}/tools/fetch-onnxruntime.sh"
                    RESULT_VARIABLE _quelt_ort_fetch)
    if(NOT _quelt_ort_fetch EQUAL 0)
        message(FATAL_ERROR "Fetching ONNX Runtime into ${_quelt_ort_root} failed; "
                            "point ONNXRUNTIME_ROOT at an ONNX Runtime release folder instead.")
    endif()
endif()

# Release folders hold the headers directly in include/; system installs one level down.
find_path(QUELT_ONNXRUNTIME_INCLUDE_DIR onnxruntime_cxx_api.h
          PATHS "${_quelt_ort_root}/include" "${_quelt_ort_root}/include/onnxruntime"
          NO_DEFAULT_PATH NO_CACHE)
find_library(QUELT_ONNXRUNTIME_LIBRARY onnxruntime
             PATHS "${_quelt_ort_root}/lib" "${_quelt_ort_root}/lib64"
             NO_DEFAULT_PATH NO_CACHE)
if(NOT QUELT_ONNXRUNTIME_INCLUDE_DIR OR NOT QUELT_ONNXRUNTIME_LIBRARY)
    message(FATAL_ERROR "No ONNX Runtime headers (include/onnxruntime_cxx_api.h) and library "
                        "(lib/libonnxruntime.so) under ${_quelt_ort_root}.")
endif()

# The code asks the runtime for C API version 17; older headers do not describe it.
file(STRINGS "${QUELT_ONNXRUNTIME_INCLUDE_DIR}/onnxruntime_c_api.h" _quelt_ort_api_line
     REGEX "^#define ORT_API_VERSION [0-9]+")
string(REGEX REPLACE "^#define ORT_API_VERSION ([0-9]+).*" "\\1" _quelt_ort_api "${_quelt_ort_api_line}")
if(NOT _quelt_ort_api OR _quelt_ort_api LESS 17)
    message(FATAL_ERROR "The ONNX Runtime headers in ${QUELT_ONNXRUNTIME_INCLUDE_DIR} describe C API "
                        "version '${_quelt_ort_api}'; version 17 or newer is needed.")
endif()

# The copy carries the library's own soname, the name the linker records in the module.
get_filename_component(_quelt_ort_real "${QUELT_ONNXRUNTIME_LIBRARY}" REALPATH)
get_filename_component(_quelt_ort_soname "${_quelt_ort_real}" NAME)
find_program(QUELT_READELF NAMES readelf)
if(QUELT_READELF)
    execute_process(COMMAND "${QUELT_READELF}" -d "${_quelt_ort_real}"
                    OUTPUT_VARIABLE _quelt_ort_dynamic ERROR_QUIET)
    if(_quelt_ort_dynamic MATCHES "Library soname: \\[([^]]+)\\]")
        set(_quelt_ort_soname "${CMAKE_MATCH_1}")
    endif()
endif()
set(QUELT_ONNXRUNTIME_RUNTIME_FILE "${CMAKE_BINARY_DIR}/${_quelt_ort_soname}")
configure_file("${_quelt_ort_real}" "${QUELT_ONNXRUNTIME_RUNTIME_FILE}" COPYONLY)

message(STATUS "ONNX Runtime: ${_quelt_ort_real} (headers: ${QUELT_ONNXRUNTIME_INCLUDE_DIR}, C API ${_quelt_ort_api})")

add_library(Quelt::onnxruntime SHARED IMPORTED)
set_target_properties(Quelt::onnxruntime PROPERTIES
    IMPORTED_LOCATION "${QUELT_ONNXRUNTIME_RUNTIME_FILE}"
    IMPORTED_SONAME "${_quelt_ort_soname}"
    INTERFACE_INCLUDE_DIRECTORIES "${QUELT_ONNXRUNTIME_INCLUDE_DIR}"
    # The headers may be newer than the library: the function table is fetched by hand,
    # for the version the code was written against, in every translation unit alike.
    INTERFACE_COMPILE_DEFINITIONS ORT_API_MANUAL_INIT)
