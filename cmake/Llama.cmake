# llama.cpp is built once by scripts/setup into a cache folder outside the checkout (static
# libraries in <dir>/build, sources in <dir>/src). This file wraps that build as the imported
# target llama::llama, which brings llama, ggml and the `common` library.
if(NOT QUORVANE_LLAMA_DIR OR NOT EXISTS "${QUORVANE_LLAMA_DIR}/build/src/libllama.a")
    message(FATAL_ERROR "llama.cpp not found: run scripts/setup (QUORVANE_LLAMA_DIR=${QUORVANE_LLAMA_DIR})")
endif()

find_package(OpenMP REQUIRED)
find_package(Threads REQUIRED)

set(_llama_build "${QUORVANE_LLAMA_DIR}/build")
set(_llama_src "${QUORVANE_LLAMA_DIR}/src")

add_library(llama::llama INTERFACE IMPORTED)
target_include_directories(llama::llama INTERFACE
    "${_llama_src}/include" "${_llama_src}/ggml/include" "${_llama_src}/common"
    "${_llama_src}/vendor")
# The static archives refer to each other in both directions; a link group resolves that.
target_link_libraries(llama::llama INTERFACE
    "-Wl,--start-group"
    "${_llama_build}/common/libllama-common.a"
    "${_llama_build}/common/libllama-common-base.a"
    "${_llama_build}/vendor/cpp-httplib/libcpp-httplib.a"
    "${_llama_build}/src/libllama.a"
    "${_llama_build}/ggml/src/libggml.a"
    "${_llama_build}/ggml/src/libggml-cpu.a"
    "${_llama_build}/ggml/src/libggml-base.a"
    "-Wl,--end-group"
    OpenMP::OpenMP_CXX Threads::Threads ${CMAKE_DL_LIBS} m)

set(QUORVANE_LLAMA_TOOLS_DIR "${_llama_build}/bin")
