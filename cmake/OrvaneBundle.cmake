# orvane_stage_plugin_resources(<target> <bundle folder>)
# Stages the plug-in's information dictionary and factory presets into a
# bundle folder, laid out as an install lays them out. <target> re-stages the
# presets on every build.
function(orvane_stage_plugin_resources target dir)
  set(ORVANE_PLUGIN_MODULE OrvaneAUMac.so)
  math(EXPR ORVANE_COMPONENT_VERSION
       "${PROJECT_VERSION_MAJOR} * 65536 + ${PROJECT_VERSION_MINOR} * 256 + ${PROJECT_VERSION_PATCH}")
  configure_file(${ORVANE_PLUGIN_INFO_PLIST_IN} ${dir}/Info.plist @ONLY)
  add_custom_target(${target} ALL
    COMMAND ${CMAKE_COMMAND} -E remove_directory ${dir}/presets
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${ORVANE_PLUGIN_PRESETS_DIR} ${dir}/presets
    COMMENT "Staging factory presets into ${dir}"
    VERBATIM)
endfunction()
