# The resource tree of the desktop program under qrc:/: views, component library, fonts, icons and
# the window icon. Every file below app/ and windows/ joins, so a new view needs no edit here.
set(_res ${CMAKE_CURRENT_LIST_DIR})

if(NOT QUORVANE_FONTS_DIR OR NOT EXISTS ${QUORVANE_FONTS_DIR}/LICENSE_FONT)
    message(FATAL_ERROR "QUORVANE_FONTS_DIR must name the unpacked @expo-google-fonts/poppins "
        "package (scripts/setup fetches it)")
endif()

file(GLOB_RECURSE _res_files CONFIGURE_DEPENDS RELATIVE ${_res}
    ${_res}/app/* ${_res}/windows/*)
foreach(f about.html License.txt)
    if(EXISTS ${_res}/${f})
        list(APPEND _res_files ${f})
    endif()
endforeach()
list(TRANSFORM _res_files PREPEND ${_res}/)

# The fonts are not committed: the build copies them from the npm package with their licence.
set(_font_dir ${CMAKE_CURRENT_BINARY_DIR}/fonts)
set(_font_prefix app/component_library/Fonts/TTF/Poppins)
set(_font_files)
foreach(style Bold:700Bold SemiBold:600SemiBold Medium:500Medium Light:300Light
        ExtraLight:200ExtraLight)
    string(REPLACE ":" ";" style ${style})
    list(GET style 0 name)
    list(GET style 1 folder)
    configure_file(${QUORVANE_FONTS_DIR}/${folder}/Poppins_${folder}.ttf
        ${_font_dir}/Poppins-${name}.ttf COPYONLY)
    set_source_files_properties(${_font_dir}/Poppins-${name}.ttf PROPERTIES
        QT_RESOURCE_ALIAS ${_font_prefix}/Poppins-${name}.ttf)
    list(APPEND _font_files ${_font_dir}/Poppins-${name}.ttf)
endforeach()
configure_file(${QUORVANE_FONTS_DIR}/LICENSE_FONT ${_font_dir}/OFL.txt COPYONLY)
set_source_files_properties(${_font_dir}/OFL.txt PROPERTIES
    QT_RESOURCE_ALIAS ${_font_prefix}/OFL.txt)
list(APPEND _font_files ${_font_dir}/OFL.txt)

# An object library, so the resources' static registration survives linking into the program
# and into the UI tests alike.
add_library(quorvane-resources OBJECT)
target_link_libraries(quorvane-resources PRIVATE Qt6::Core)
qt_add_resources(quorvane-resources quorvane_ui PREFIX / BASE ${_res}
    FILES ${_res_files} ${_font_files})
