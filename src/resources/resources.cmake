# Embedded resources: translations copied from the Debian package at configure time
# (never committed); artwork rendered from SVG sources at build time.
set(TVR_QT_TRANSLATIONS_DIR /usr/share/qt6/translations)
if(DEFINED QT6_INSTALL_PREFIX AND DEFINED QT6_INSTALL_TRANSLATIONS
   AND EXISTS ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_TRANSLATIONS}/qtbase_zh_CN.qm)
    set(TVR_QT_TRANSLATIONS_DIR ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_TRANSLATIONS})
endif()
set(TVR_GEN_RES ${CMAKE_CURRENT_BINARY_DIR}/generated-resources)
set(TVR_RES_FILES)
foreach(qm qtbase_zh_CN.qm qt_zh_CN.qm)
    if(EXISTS ${TVR_QT_TRANSLATIONS_DIR}/${qm})
        configure_file(${TVR_QT_TRANSLATIONS_DIR}/${qm} ${TVR_GEN_RES}/${qm} COPYONLY)
        list(APPEND TVR_RES_FILES ${TVR_GEN_RES}/${qm})
    else()
        message(WARNING "${qm} not found: install qt6-translations-l10n")
    endif()
endforeach()
# What Debian's qtbase catalogue lacks of the texts Qt's dialogs show, compiled from our own source.
find_program(TVR_LRELEASE NAMES lrelease-qt6 lrelease
             HINTS ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS} ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_LIBEXECS} /usr/lib/qt6/bin
             REQUIRED)
add_custom_command(
    OUTPUT ${TVR_GEN_RES}/qtbase_extra_zh_CN.qm
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TVR_GEN_RES}
    COMMAND ${TVR_LRELEASE} -silent ${CMAKE_CURRENT_SOURCE_DIR}/resources/qtbase_extra_zh_CN.ts
            -qm ${TVR_GEN_RES}/qtbase_extra_zh_CN.qm
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/resources/qtbase_extra_zh_CN.ts
    COMMENT "Compiling qtbase_extra_zh_CN.ts"
    VERBATIM)
list(APPEND TVR_RES_FILES ${TVR_GEN_RES}/qtbase_extra_zh_CN.qm)

# Artwork. Each SVG under src/resources becomes a PNG of the given edge length. File-type icons are drawn
# at 96 px so that smooth scaling to the 20 and 24 px the lists ask for stays crisp.
find_program(TVR_RSVG_CONVERT rsvg-convert REQUIRED)
set(TVR_ART_DIR ${CMAKE_CURRENT_SOURCE_DIR}/resources)

function(tvr_render_svg svg png edge)
    get_filename_component(png_dir ${png} DIRECTORY)
    add_custom_command(
        OUTPUT ${png}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${png_dir}
        COMMAND ${TVR_RSVG_CONVERT} --width=${edge} --height=${edge} --output=${png} ${svg}
        DEPENDS ${svg}
        COMMENT "Rendering ${svg} (${edge} px)"
        VERBATIM)
    set(TVR_RES_FILES ${TVR_RES_FILES} ${png} PARENT_SCOPE)
endfunction()

tvr_render_svg(${TVR_ART_DIR}/logo-velno.svg ${TVR_GEN_RES}/logo-velno.png 256)
tvr_render_svg(${TVR_ART_DIR}/logo-mark.svg ${TVR_GEN_RES}/logo-mark.png 128)
tvr_render_svg(${TVR_ART_DIR}/check-gold.svg ${TVR_GEN_RES}/check-gold.png 16)
tvr_render_svg(${TVR_ART_DIR}/check-gold.svg ${TVR_GEN_RES}/check-gold@2x.png 32)

file(GLOB TVR_FILE_ICON_SOURCES CONFIGURE_DEPENDS ${TVR_ART_DIR}/file-icons/*.svg)
foreach(svg IN LISTS TVR_FILE_ICON_SOURCES)
    get_filename_component(icon ${svg} NAME_WE)
    tvr_render_svg(${svg} ${TVR_GEN_RES}/file-icons/${icon}.png 96)
endforeach()

qt_add_resources(tolvar_client tvr_resources
    PREFIX "/resources"
    BASE ${TVR_GEN_RES}
    FILES ${TVR_RES_FILES})

# The build machine's framework plug-in directory: the first plug-in path the client offers at start-up.
if(DEFINED QT6_INSTALL_PREFIX AND DEFINED QT6_INSTALL_PLUGINS)
    target_compile_definitions(tolvar_client PRIVATE
        TVR_BUILD_QT_PLUGIN_DIR="${QT6_INSTALL_PREFIX}/${QT6_INSTALL_PLUGINS}")
endif()
