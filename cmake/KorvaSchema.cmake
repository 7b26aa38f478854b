# The C header of a schema, made at build time from the schema file:
#
#     include(cmake/KorvaSchema.cmake)
#     korva_schema_header(my_node schema/motor.toml)        # #include "motor.korva.h"
#     korva_schema_header(old_node motor_rev1.toml HEADER motor.korva.h)
#
# The header is written into the build folder with the generator of the
# korva package in this source tree (python -m korva.schema.c_header, which
# needs no compiled module), and <target> gets that folder on its include
# path. It is made again whenever the schema file or the generator changes,
# so a build never carries a header older than its schema. HEADER names the
# file (default: the schema file's name with .korva.h); each target has its
# own folder, ${CMAKE_CURRENT_BINARY_DIR}/korva_schema/<target>, so two
# targets may use the same name for two schemas.
cmake_minimum_required(VERSION 3.18)

find_package(Python 3.9 REQUIRED COMPONENTS Interpreter)

set(KORVA_SCHEMA_PYTHON_DIR ${CMAKE_CURRENT_LIST_DIR}/../python)
file(GLOB KORVA_SCHEMA_GENERATOR CONFIGURE_DEPENDS ${KORVA_SCHEMA_PYTHON_DIR}/korva/schema/*.py)
list(APPEND KORVA_SCHEMA_GENERATOR ${KORVA_SCHEMA_PYTHON_DIR}/korva/__init__.py
     ${KORVA_SCHEMA_PYTHON_DIR}/korva/errors.py ${KORVA_SCHEMA_PYTHON_DIR}/korva/frame.py)

function(korva_schema_header target schema)
    cmake_parse_arguments(PARSE_ARGV 2 arg "" "HEADER" "")
    if(arg_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "korva_schema_header: unknown arguments ${arg_UNPARSED_ARGUMENTS}")
    endif()
    get_filename_component(schema ${schema} ABSOLUTE)
    if(NOT arg_HEADER)
        get_filename_component(stem ${schema} NAME_WE)
        set(arg_HEADER ${stem}.korva.h)
    endif()
    set(folder ${CMAKE_CURRENT_BINARY_DIR}/korva_schema/${target})
    set(header ${folder}/${arg_HEADER})
    add_custom_command(
        OUTPUT ${header}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
        COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${KORVA_SCHEMA_PYTHON_DIR} PYTHONDONTWRITEBYTECODE=1
                ${Python_EXECUTABLE} -m korva.schema.c_header ${schema} -o ${header}
        DEPENDS ${schema} ${KORVA_SCHEMA_GENERATOR}
        COMMENT "Generating ${arg_HEADER} from ${schema}"
        VERBATIM)
    target_sources(${target} PRIVATE ${header})
    target_include_directories(${target} PRIVATE ${folder})
endfunction()
