# The desktop program Quorvane: its entry point, the core library and the resource tree.
include(${CMAKE_CURRENT_SOURCE_DIR}/resources/resources.cmake)

set(QUORVANE_DEFAULT_SERVICE_URL "wss://assistant.halvenmor.example/connection" CACHE STRING
    "Online service WebSocket address used when QUORVANE_SERVICE_URL is not set")
target_compile_definitions(quorvane-core PRIVATE
    QUORVANE_DEFAULT_SERVICE_URL="${QUORVANE_DEFAULT_SERVICE_URL}")

add_executable(Quorvane WIN32 src/main.cpp)
target_link_libraries(Quorvane PRIVATE quorvane-core quorvane-resources tessellum Qt6::Quick
    Qt6::Widgets)
# The application object creates and wires the viewer window.
target_link_libraries(quorvane-core PUBLIC folioscope)
# The program finds oraculd and scrivex beside itself, in the build tree and in an install.
add_dependencies(Quorvane oraculd)
if(TARGET scrivex)
    add_dependencies(Quorvane scrivex)
endif()
quorvane_install_program(Quorvane)
