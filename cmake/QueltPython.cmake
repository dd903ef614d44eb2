# Locates the CPython 3.7 interpreter the extension is built for and sets Python_EXECUTABLE.
#
# Search order: an interpreter the user passed (Python_EXECUTABLE or the PYTHON environment
# variable), a python3.7 on PATH that really runs (a pyenv shim of that name is on PATH but
# fails while another version is pyenv's global one), then pyenv's versions folder. The
# machine's default python3 is never a candidate: the module must not depend on it.

function(_quelt_python_is_37 candidate result)
    set(${result} FALSE PARENT_SCOPE)
    if(NOT candidate)
        return()
    endif()
    execute_process(
        COMMAND "${candidate}" -c "import sys; print('%d.%d' % sys.version_info[:2])"
        OUTPUT_VARIABLE version OUTPUT_STRIP_TRAILING_WHITESPACE
        RESULT_VARIABLE status ERROR_QUIET)
    if(status EQUAL 0 AND version STREQUAL "3.7")
        set(${result} TRUE PARENT_SCOPE)
    endif()
endfunction()

if(NOT Python_EXECUTABLE AND DEFINED ENV{PYTHON} AND NOT "$ENV{PYTHON}" STREQUAL "")
    set(Python_EXECUTABLE "$ENV{PYTHON}")
endif()

if(Python_EXECUTABLE)
    _quelt_python_is_37("${Python_EXECUTABLE}" ok)
    if(NOT ok)
        message(FATAL_ERROR "The interpreter ${Python_EXECUTABLE} is not a working CPython 3.7: pass a CPython 3.7 interpreter as Python_EXECUTABLE (or PYTHON).")
    endif()
else()
    find_program(_quelt_path_python37 NAMES python3.7 NO_CACHE)
    _quelt_python_is_37("${_quelt_path_python37}" ok)
    if(ok)
        set(Python_EXECUTABLE "${_quelt_path_python37}")
    else()
        set(_quelt_pyenv_root "$ENV{PYENV_ROOT}")
        if(NOT _quelt_pyenv_root)
            execute_process(COMMAND pyenv root OUTPUT_VARIABLE _quelt_pyenv_root
                            OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        endif()
        if(NOT _quelt_pyenv_root)
            set(_quelt_pyenv_root "$ENV{HOME}/.pyenv")
        endif()
        file(GLOB _quelt_pyenv_candidates "${_quelt_pyenv_root}/versions/3.7.*/bin/python3.7")
        list(SORT _quelt_pyenv_candidates COMPARE NATURAL ORDER DESCENDING)
        foreach(candidate IN LISTS _quelt_pyenv_candidates)
            _quelt_python_is_37("${candidate}" ok)
            if(ok)
                set(Python_EXECUTABLE "${candidate}")
                break()
            endif()
        endforeach()
    endif()
    if(NOT Python_EXECUTABLE)
        message(FATAL_ERROR "CPython 3.7 not found: install CPython 3.7 with its headers and libpython (for example `pyenv install 3.7.16`), or pass its interpreter as PYTHON=/path/to/python3.7.")
    endif()
endif()

set(Python_EXECUTABLE "${Python_EXECUTABLE}" CACHE FILEPATH "CPython 3.7 interpreter the module is built for" FORCE)
find_package(Python 3.7 EXACT REQUIRED COMPONENTS Interpreter Development.Module)
