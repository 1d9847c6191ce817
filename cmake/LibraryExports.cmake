# vantor_export_library_api(<target>)
# Makes an executable export the functions that libraries loaded at run time
# call back (framework/libraries/exported_functions.list), and pulls them out of the
# static framework library even though the executable itself never calls them.
function(vantor_export_library_api target)
  set(list_file ${PROJECT_SOURCE_DIR}/framework/libraries/exported_functions.list)
  file(STRINGS ${list_file} entries REGEX "^[ \t]*[A-Za-z_][A-Za-z0-9_]*;")
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE "^[ \t]*([A-Za-z0-9_]+);.*$" "\\1" name "${entry}")
    target_link_options(${target} PRIVATE "LINKER:--undefined=${name}")
  endforeach()
  target_link_options(${target} PRIVATE "LINKER:--dynamic-list=${list_file}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${list_file})
endfunction()
