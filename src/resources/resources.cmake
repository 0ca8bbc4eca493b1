# Embedded resources: translations copied from the Debian package at configure time
# (never committed); artwork rendered from SVG sources at build time.
set(TVR_QT_TRANSLATIONS_DIR /usr/share/qt6/translations)
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

if(TVR_RES_FILES)
    qt_add_resources(tolvar_client tvr_resources
        PREFIX "/resources"
        BASE ${TVR_GEN_RES}
        FILES ${TVR_RES_FILES})
endif()
