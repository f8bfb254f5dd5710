# The install layout: programs under bin (scrivex in bin/scrivex, where the desktop program looks
# for it), the project's shared libraries under lib. Run paths are relative to the installed file,
# so a prefix works wherever it is unpacked and never reaches back into the build tree.
include(GNUInstallDirs)

# The run path from an installed folder (relative to the prefix) to the library folder.
function(_quorvane_library_run_path destination out)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
        set(${out} "${CMAKE_INSTALL_LIBDIR}" PARENT_SCOPE)
        return()
    endif()
    file(RELATIVE_PATH _relative "/prefix/${destination}" "/prefix/${CMAKE_INSTALL_LIBDIR}")
    if(_relative STREQUAL "")
        set(${out} "$ORIGIN" PARENT_SCOPE)
    else()
        set(${out} "$ORIGIN/${_relative}" PARENT_SCOPE)
    endif()
endfunction()

# quorvane_install_program(target [SUBDIR folder]): installs a program under bin or bin/<folder>.
function(quorvane_install_program target)
    cmake_parse_arguments(ARG "" "SUBDIR" "" ${ARGN})
    set(_destination "${CMAKE_INSTALL_BINDIR}")
    if(ARG_SUBDIR)
        string(APPEND _destination "/${ARG_SUBDIR}")
    endif()
    _quorvane_library_run_path("${_destination}" _run_path)
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "${_run_path}")
    install(TARGETS ${target} RUNTIME DESTINATION "${_destination}")
endfunction()

# quorvane_install_library(target): installs a shared library under lib, finding its siblings
# beside itself.
function(quorvane_install_library target)
    _quorvane_library_run_path("${CMAKE_INSTALL_LIBDIR}" _run_path)
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "${_run_path}")
    install(TARGETS ${target} LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
        RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
endfunction()
