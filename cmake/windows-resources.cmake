# The Windows programs' own resources: an application manifest (elevation and the Windows
# versions the program knows) and a version resource, both generated from packaging/windows/
# with the project version.
#
#   halvik_add_windows_resources(TARGET FILE_NAME install.exe ASSEMBLY_NAME Quillant.x.y
#                                DESCRIPTION "...")
#
# scripts/check-windows-resources.sh reads them back from the built programs; it also fails if a
# second manifest were linked in (a toolchain's default one: Debian's MinGW links none).

set(HALVIK_WINDOWS_RESOURCES_DIR ${CMAKE_CURRENT_LIST_DIR}/../packaging/windows)

function(halvik_add_windows_resources target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "FILE_NAME;ASSEMBLY_NAME;DESCRIPTION" "")
  foreach(required FILE_NAME ASSEMBLY_NAME DESCRIPTION)
    if(NOT arg_${required})
      message(FATAL_ERROR "halvik_add_windows_resources(${target}): ${required} missing")
    endif()
  endforeach()
  set(HALVIK_RC_FILE_NAME ${arg_FILE_NAME})
  get_filename_component(HALVIK_RC_INTERNAL_NAME ${arg_FILE_NAME} NAME_WE)
  set(HALVIK_RC_ASSEMBLY_NAME ${arg_ASSEMBLY_NAME})
  set(HALVIK_RC_DESCRIPTION ${arg_DESCRIPTION})
  # Windows keeps versions as four 16-bit numbers; the project has three.
  set(HALVIK_RC_VERSION_QUAD ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)
  set(HALVIK_RC_VERSION_COMMAS ${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0)

  set(dir ${CMAKE_CURRENT_BINARY_DIR}/generated/${target})
  set(HALVIK_RC_MANIFEST ${dir}/${arg_FILE_NAME}.manifest)
  configure_file(${HALVIK_WINDOWS_RESOURCES_DIR}/program.manifest.in ${HALVIK_RC_MANIFEST} @ONLY)
  configure_file(${HALVIK_WINDOWS_RESOURCES_DIR}/program.rc.in ${dir}/${target}.rc @ONLY)
  # windres reads the manifest itself; the build must know that the object depends on it.
  set_source_files_properties(${dir}/${target}.rc PROPERTIES OBJECT_DEPENDS ${HALVIK_RC_MANIFEST})
  target_sources(${target} PRIVATE ${dir}/${target}.rc)
endfunction()

# The message table an Application log source names as its message file, compiled by windmc
# from packaging/windows/messages.mc (the event identifiers of src/runlog/run_log.h).
function(halvik_add_message_table target)
  string(REPLACE "windres" "windmc" windmc "${CMAKE_RC_COMPILER}")
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/generated/${target}/messages)
  set(source ${HALVIK_WINDOWS_RESOURCES_DIR}/messages.mc)
  add_custom_command(OUTPUT ${dir}/MSG00409.bin
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
                     COMMAND ${windmc} -r ${dir} -h ${dir} ${source}
                     DEPENDS ${source} VERBATIM)
  # windmc's own .rc names the table relative to itself; windres looks in its working folder.
  file(CONFIGURE OUTPUT ${dir}/${target}_messages.rc
       CONTENT "LANGUAGE 0x9,0x1\n1 MESSAGETABLE \"${dir}/MSG00409.bin\"\n")
  set_source_files_properties(${dir}/${target}_messages.rc PROPERTIES OBJECT_DEPENDS ${dir}/MSG00409.bin)
  target_sources(${target} PRIVATE ${dir}/${target}_messages.rc)
endfunction()
