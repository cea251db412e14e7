# The collector's folders are layers, top first; each folder library links the one below it and so,
# through it, every folder below that, never one above. scripts/check-layers.sh holds the includes to
# the same order. The libraries are named <prefix><folder> and built from <root>/<folder>/*.cpp.
set(QB_LAYERS app intake maintenance writers storage protocol config core platform)

# System libraries a folder itself needs.
set(QB_LAYER_LIBS_platform Threads::Threads OpenSSL::Crypto ${DW_LIB})
set(QB_LAYER_LIBS_storage ${MARIADB_LIB})
set(QB_LAYER_LIBS_writers ${LZO2_LIB})
set(QB_LAYER_LIBS_intake ${TINYXML_LIB})

function(qb_layer_libraries root prefix)
    set(_bottom_up ${QB_LAYERS})
    list(REVERSE _bottom_up)
    set(_below)
    foreach(f ${_bottom_up})
        file(GLOB _src CONFIGURE_DEPENDS ${root}/${f}/*.cpp)
        add_library(${prefix}${f} STATIC ${_src})
        target_link_libraries(${prefix}${f} PUBLIC ${_below} ${QB_LAYER_LIBS_${f}})
        set(_below ${prefix}${f})
    endforeach()
endfunction()
