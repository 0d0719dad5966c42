# Checks that the folders depend on each other in one direction only, and
# that autotest-server holds no part of the job engine:
#   cmake -DSOURCE=<source dir> -DSERVER=<autotest-server> -P check_layers.cmake
# Fails naming each include that points the wrong way, each engine or device
# class found in the server, and Qt Qml or Qt WebSockets among what it loads.

cmake_minimum_required(VERSION 3.16)

# Which folders the files of each folder may include. storage/ and local/ are
# one floor: the records of test cases, plans and jobs.
set(allowed_base base)
set(allowed_platform base platform)
set(allowed_storage base platform storage local)
set(allowed_local base platform storage local)
set(allowed_device base platform device)
set(allowed_engine base platform device local engine)
set(allowed_remote base platform remote)
set(allowed_server base platform storage local server)

set(failures "")
foreach(folder base platform storage local device engine remote server)
    file(GLOB sources "${SOURCE}/${folder}/*.h" "${SOURCE}/${folder}/*.cpp")
    foreach(source ${sources})
        file(STRINGS "${source}" includes REGEX "^#include \"[a-z]+/")
        foreach(line ${includes})
            string(REGEX REPLACE "^#include \"([a-z]+)/.*" "\\1" target "${line}")
            if(NOT target IN_LIST allowed_${folder})
                file(RELATIVE_PATH name "${SOURCE}" "${source}")
                string(APPEND failures "  ${name}: ${line}\n")
            endif()
        endforeach()
    endforeach()
endforeach()

execute_process(COMMAND nm -C --defined-only "${SERVER}" OUTPUT_VARIABLE symbols RESULT_VARIABLE nm_failed)
if(nm_failed)
    string(APPEND failures "  nm could not read ${SERVER}\n")
endif()
file(GLOB engine_headers "${SOURCE}/engine/*.h" "${SOURCE}/device/*.h")
foreach(header ${engine_headers})
    get_filename_component(class "${header}" NAME_WE)
    string(FIND "${symbols}" " ${class}::" at)
    if(NOT at EQUAL -1)
        string(APPEND failures "  autotest-server holds ${class}\n")
    endif()
endforeach()

# Every library it loads, those its libraries need included.
execute_process(COMMAND ldd "${SERVER}" OUTPUT_VARIABLE loaded RESULT_VARIABLE ldd_failed)
if(ldd_failed)
    string(APPEND failures "  ldd could not read ${SERVER}\n")
elseif(loaded MATCHES "not found")
    string(APPEND failures "  autotest-server misses a library, so what it loads is unknown:\n${loaded}\n")
else()
    foreach(library libQt5Qml libQt5WebSockets)
        if(loaded MATCHES "${library}")
            string(APPEND failures "  autotest-server loads ${library}\n")
        endif()
    endforeach()
endif()

if(failures)
    message(FATAL_ERROR "Layers crossed:\n${failures}")
endif()
message(STATUS "Layers hold; autotest-server holds no engine or device class")
