# Windows resources of the programs: a version resource from the project's
# version, and for the service program the Event Log message table built
# from its .mc file with windmc.

# Adds a VERSIONINFO resource to |target| with |description|.
function(quorvane_version_resource target description)
  set(QUORVANE_RESOURCE_NAME ${target})
  set(QUORVANE_RESOURCE_DESCRIPTION ${description})
  set(rc ${CMAKE_BINARY_DIR}/generated/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/service/resources/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

# Adds the Event Log messages to |target|, whose path is the event source's
# EventMessageFile.
function(quorvane_event_messages target)
  find_program(QUORVANE_WINDMC NAMES x86_64-w64-mingw32-windmc windmc REQUIRED)
  set(out ${CMAKE_BINARY_DIR}/generated/event_messages)
  set(mc ${PROJECT_SOURCE_DIR}/service/resources/event_messages.mc)
  add_custom_command(OUTPUT ${out}/event_messages.rc ${out}/MSG00409.bin
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
                     COMMAND ${QUORVANE_WINDMC} -r ${out} -h ${out} ${mc}
                     DEPENDS ${mc}
                     COMMENT "Event Log messages (windmc)")
  target_sources(${target} PRIVATE ${out}/event_messages.rc)
  set_source_files_properties(${out}/event_messages.rc PROPERTIES OBJECT_DEPENDS ${out}/MSG00409.bin)
  target_include_directories(${target} PRIVATE ${out})
endfunction()
