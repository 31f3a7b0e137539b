# earlobe_larynx_add_library(<name> EXPORT <export-set> [PUBLIC_HEADERS ...] SOURCES ...
#                            [PUBLIC_LIBS ...] [PRIVATE_LIBS ...] [DEFINITIONS ...])
#
# A shared library with its generated export header (<name>_export.h), public headers that a
# host includes as <header.h> once installed, and an install rule into the given export set.
function(earlobe_larynx_add_library name)
    cmake_parse_arguments(ARG "" "EXPORT" "PUBLIC_HEADERS;SOURCES;PUBLIC_LIBS;PRIVATE_LIBS;DEFINITIONS" ${ARGN})

    add_library(${name} SHARED ${ARG_SOURCES} ${ARG_PUBLIC_HEADERS})
    generate_export_header(${name} BASE_NAME ${name})
    set_target_properties(${name} PROPERTIES
        VERSION ${PROJECT_VERSION}
        SOVERSION ${PROJECT_VERSION_MAJOR})
    target_include_directories(${name} PUBLIC
        $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>
        $<BUILD_INTERFACE:${CMAKE_CURRENT_BINARY_DIR}>
        $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/${name}>)
    target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
    target_compile_definitions(${name} PRIVATE ${ARG_DEFINITIONS}
        QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII QT_NO_KEYWORDS)

    install(TARGETS ${name} EXPORT ${ARG_EXPORT}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${ARG_PUBLIC_HEADERS} ${CMAKE_CURRENT_BINARY_DIR}/${name}_export.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${name})
endfunction()
