# quorvane_add_test(name source... [LABELS label...] [LIBS lib...] [ENV VAR=value...]
#                   [TIMEOUT seconds])
# Builds one QtTest program and registers it with ctest under its labels. Tests find the build's
# programs and models through QUORVANE_BIN_DIR and QUORVANE_MODELS_DIR. llama.cpp's OpenMP threads
# wait passively: spinning threads of tests running side by side starve each other.
function(quorvane_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "LABELS;LIBS;ENV" ${ARGN})
    add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
    target_link_libraries(${name} PRIVATE Qt6::Test ${ARG_LIBS})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    add_test(NAME ${name} COMMAND ${name})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    set_tests_properties(${name} PROPERTIES
        LABELS "${ARG_LABELS}"
        TIMEOUT ${ARG_TIMEOUT}
        ENVIRONMENT "OMP_WAIT_POLICY=PASSIVE;QUORVANE_BIN_DIR=${CMAKE_BINARY_DIR}/bin;QUORVANE_MODELS_DIR=${QUORVANE_TESTMODELS_DIR};QUORVANE_TEST_OUTPUT=${CMAKE_BINARY_DIR}/test-output;${ARG_ENV}")
    # Window tests share one X display: a window of another test can take the keyboard focus
    # (a shortcut then goes nowhere) or the clipboard, so they take turns.
    if("ui" IN_LIST ARG_LABELS)
        set_tests_properties(${name} PROPERTIES RESOURCE_LOCK x11-display)
    endif()
endfunction()
