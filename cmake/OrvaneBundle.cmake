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

# A plug-in format's bundle holds a copy of the unit's bundle and of the
# platform libraries both link. orvane_unit_staging_commands(OUT UNIT_DIR
# LIB_DIR) sets OUT to the custom-command arguments that put them there in the
# build tree (the unit's bundle replaced whole); orvane_install_unit_bundle(
# UNIT_DIR LIB_DIR) installs them the same way, relative to the prefix.
set(ORVANE_PLATFORM_LIBRARIES orvane_platform_foundation orvane_platform_audiounit orvane_platform_ui)
function(orvane_unit_staging_commands out unit_dir lib_dir)
  set(commands COMMAND ${CMAKE_COMMAND} -E remove_directory ${unit_dir}
               COMMAND ${CMAKE_COMMAND} -E copy_directory ${ORVANE_PLUGIN_BUNDLE_DIR} ${unit_dir})
  foreach(lib ${ORVANE_PLATFORM_LIBRARIES})
    list(APPEND commands COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${lib}> ${lib_dir}/)
  endforeach()
  set(${out} ${commands} PARENT_SCOPE)
endfunction()
function(orvane_install_unit_bundle unit_dir lib_dir)
  install(TARGETS ${ORVANE_PLATFORM_LIBRARIES} LIBRARY DESTINATION ${lib_dir})
  install(FILES ${ORVANE_PLUGIN_BUNDLE_DIR}/Info.plist ${ORVANE_ARTWORK_FILES} DESTINATION ${unit_dir})
  install(TARGETS OrvaneAUMac LIBRARY DESTINATION ${unit_dir})
  install(DIRECTORY ${ORVANE_PLUGIN_PRESETS_DIR}/ DESTINATION ${unit_dir}/presets)
endfunction()
