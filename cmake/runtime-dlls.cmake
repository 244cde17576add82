# SPDX-License-Identifier: MIT
# Run at the end of a Windows install: copies beside the installed programs and DLLs the
# DLLs they import that are Qt's or the compiler runtime's, and those that these import in
# turn; system DLLs stay the system's. Names are matched in any case, as Windows matches
# them, also where a cross build's file system tells case apart (where CMake's own search,
# install(RUNTIME_DEPENDENCY_SET), misses "Qt5Core.dll" for "qt5core.dll").
#   KVDEVICE_RUNTIME_DEST   the folder of the programs, below the install prefix
#   KVDEVICE_RUNTIME_DIRS   where the DLLs are looked for
cmake_policy(VERSION 3.18)
file(GLOB files ${CMAKE_INSTALL_PREFIX}/${KVDEVICE_RUNTIME_DEST}/*.exe ${CMAKE_INSTALL_PREFIX}/${KVDEVICE_RUNTIME_DEST}/*.dll)
set(seen "")
while(files)
    file(GET_RUNTIME_DEPENDENCIES LIBRARIES ${files}
        RESOLVED_DEPENDENCIES_VAR resolved UNRESOLVED_DEPENDENCIES_VAR names
        PRE_INCLUDE_REGEXES "^qt[56]" "^libstdc\\+\\+" "^libgcc_s" "^libwinpthread" "^vcruntime" "^msvcp"
        PRE_EXCLUDE_REGEXES ".*")
    set(files "")
    foreach(path IN LISTS resolved)
        get_filename_component(name ${path} NAME)
        list(APPEND names ${name})
    endforeach()
    foreach(name IN LISTS names)
        string(TOLOWER ${name} name)
        if(name IN_LIST seen)
            continue()
        endif()
        list(APPEND seen ${name})
        set(found "")
        foreach(dir IN LISTS KVDEVICE_RUNTIME_DIRS)
            file(GLOB candidates ${dir}/*.dll ${dir}/*.DLL)
            foreach(candidate IN LISTS candidates)
                get_filename_component(candidate_name ${candidate} NAME)
                string(TOLOWER ${candidate_name} candidate_name)
                if(NOT found AND candidate_name STREQUAL name)
                    set(found ${candidate})
                endif()
            endforeach()
        endforeach()
        if(NOT found)
            message(FATAL_ERROR "${name}, which the installed programs need, is in none of: ${KVDEVICE_RUNTIME_DIRS}")
        endif()
        file(INSTALL ${found} DESTINATION ${CMAKE_INSTALL_PREFIX}/${KVDEVICE_RUNTIME_DEST})
        list(APPEND files ${found})
    endforeach()
endwhile()
