# The layering rules, checked against a configured build tree:
#   cmake -DSOURCE_DIR=<repository> -DBUILD_DIR=<build tree> -P CheckLayers.cmake
# It fails when
#   - a compile command's include path reaches into a source folder other than
#     the compiled file's own and the folders that are a target's public
#     interface (internal targets expose their headers through the build
#     tree's interface/ folders instead);
#   - a program links libVelDataClient.so and the wire code both, which puts
#     two copies of the wire code and its statics into one process;
#   - code outside the wire library turns packages into frame bytes by hand
#     (FrameBytes is the one encoder) or redefines the header's size.
cmake_minimum_required(VERSION 3.19)
foreach(var SOURCE_DIR BUILD_DIR)
    if(NOT ${var})
        message(FATAL_ERROR "CheckLayers.cmake needs -D${var}=...")
    endif()
    get_filename_component(${var} ${${var}} REALPATH)
endforeach()

set(problems "")
macro(problem text)
    string(APPEND problems "  ${text}\n")
endmacro()

# Source folders whose headers are a target's public interface.
set(public_folders protocol platform common client/include server tools)

# 1. Include paths.
if(NOT EXISTS ${BUILD_DIR}/compile_commands.json)
    message(FATAL_ERROR "${BUILD_DIR}/compile_commands.json is missing")
endif()
file(READ ${BUILD_DIR}/compile_commands.json commands)
string(JSON count LENGTH "${commands}")
math(EXPR last "${count} - 1")
foreach(i RANGE ${last})
    string(JSON file GET "${commands}" ${i} file)
    string(JSON command GET "${commands}" ${i} command)
    get_filename_component(own ${file} DIRECTORY)
    string(REGEX MATCHALL "(-I|-isystem )[^ ]+" includes "${command}")
    foreach(include ${includes})
        string(REGEX REPLACE "^(-I|-isystem )" "" path "${include}")
        string(REGEX REPLACE "^\"(.*)\"$" "\\1" path "${path}")
        if(path STREQUAL own OR path MATCHES "^${BUILD_DIR}(/|$)")
            continue()
        endif()
        if(NOT path MATCHES "^${SOURCE_DIR}/")
            continue()
        endif()
        file(RELATIVE_PATH folder ${SOURCE_DIR} ${path})
        if(NOT folder IN_LIST public_folders)
            file(RELATIVE_PATH name ${SOURCE_DIR} ${file})
            problem("${name} is compiled with the private folder ${folder} on its include path")
        endif()
    endforeach()
endforeach()

# 2. The wire code linked twice.
set(links "")
if(EXISTS ${BUILD_DIR}/build.ninja)
    file(STRINGS ${BUILD_DIR}/build.ninja lines REGEX "^build [^:]+: CXX_EXECUTABLE_LINKER|^  LINK_LIBRARIES = ")
    set(program "")
    foreach(line IN LISTS lines)
        if(line MATCHES "^build ([^:]+): CXX_EXECUTABLE_LINKER")
            set(program ${CMAKE_MATCH_1})
        elseif(program)
            list(APPEND links "${program}|${line}")
            set(program "")
        endif()
    endforeach()
else()
    file(GLOB_RECURSE link_files ${BUILD_DIR}/*/link.txt)
    foreach(link_file ${link_files})
        file(READ ${link_file} line)
        list(APPEND links "${link_file}|${line}")
    endforeach()
endif()
if(NOT links)
    message(FATAL_ERROR "no program's link line found in ${BUILD_DIR}")
endif()
foreach(link IN LISTS links)
    if(link MATCHES "libVelDataClient\\.so" AND link MATCHES "libvds_wire\\.a")
        string(REGEX REPLACE "\\|.*" "" program "${link}")
        problem("${program} links libVelDataClient.so and vds_wire: two copies of the wire code")
    endif()
endforeach()

# 3. Frames written outside the wire library.
set(encoder_patterns
    # a header streamed field by field: type, package id, payload size
    "<< *qint32\\([^;]*<< *qint32\\([^;]*<< "
    # a package writing itself into a buffer
    "write\\(&?[A-Za-z_]*[Bb]uffer[A-Za-z_]*, *[A-Za-z0-9_]+\\)"
    # the header's size, which the wire library and the protocol header own
    "HeaderSize *= *16")
set(sources "")
foreach(folder bench client/include platform server tools tests)
    file(GLOB_RECURSE found ${SOURCE_DIR}/${folder}/*.cpp ${SOURCE_DIR}/${folder}/*.h)
    list(APPEND sources ${found})
endforeach()
foreach(source ${sources})
    file(STRINGS ${source} lines)
    set(number 0)
    foreach(line IN LISTS lines)
        math(EXPR number "${number} + 1")
        foreach(pattern ${encoder_patterns})
            if(line MATCHES "${pattern}")
                file(RELATIVE_PATH name ${SOURCE_DIR} ${source})
                string(STRIP "${line}" line)
                problem("${name}:${number} writes frame bytes outside vds_wire (use FrameBytes): ${line}")
            endif()
        endforeach()
    endforeach()
endforeach()

if(problems)
    message(FATAL_ERROR "The layering rules are broken:\n${problems}")
endif()
list(LENGTH links programs)
list(LENGTH sources files)
message(STATUS "layering: ${count} compile commands, ${programs} programs, ${files} files checked")
