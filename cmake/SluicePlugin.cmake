# sluice_add_plugin(NAME SOURCES ... [LIBS ...]): one shared object per plug-in,
# named NAME.so, built into and installed in the default plug-in directory.
function(sluice_add_plugin name)
  cmake_parse_arguments(P "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} MODULE ${P_SOURCES})
  set_target_properties(${name} PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY
                                           ${SLUICE_PLUGIN_OUTPUT_DIRECTORY})
  target_link_libraries(${name} PRIVATE sluice ${P_LIBS})
  install(TARGETS ${name} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/${SLUICE_PLUGIN_SUBDIR})
  set_property(GLOBAL APPEND PROPERTY SLUICE_PLUGINS ${name})
endfunction()

# sluice_skip_plugin(NAME REASON): says at configure time which plug-ins are left out.
function(sluice_skip_plugin name reason)
  message(WARNING "plug-in ${name} not built: ${reason}")
endfunction()
