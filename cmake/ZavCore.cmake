# zavcore: the whole GUI-free core, as one target to link. Each layer is its own static
# library (zav_platform <- zav_zip, zav_net <- zav_app ...) so that a tool or a test links
# only the layers it needs.
add_library(zavcore INTERFACE)
foreach(layer zav_platform zav_zip zav_net zav_app zav_backup zav_restore)
  if(TARGET ${layer})
    target_link_libraries(zavcore INTERFACE ${layer})
  endif()
endforeach()
