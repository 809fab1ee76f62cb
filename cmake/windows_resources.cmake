# Every Windows program of the project carries the same two resources: a
# version block (what Explorer's Details tab and installers read) and an
# application manifest. The manifest asks for no elevation (asInvoker, so no
# UAC prompt and no installer detection from the name), names the Windows
# versions the program was written for (so none of them applies its
# compatibility shims), and opts into paths beyond 260 characters without the
# \\?\ prefix where the system allows it.
#
#   untree_windows_resources(TARGET "description shown by Explorer")
#
# Does nothing outside a Windows build.
set(UNTREE_RESOURCE_TEMPLATES ${CMAKE_CURRENT_LIST_DIR}/windows)

function(untree_windows_resources target description)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(UNTREE_RC_NAME ${target} OUTPUT_NAME)
  if(NOT UNTREE_RC_NAME)
    set(UNTREE_RC_NAME ${target})
  endif()
  set(UNTREE_RC_DESCRIPTION "${description}")
  # Four numbers, as both the version block and the manifest want them.
  set(UNTREE_RC_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
  set(UNTREE_RC_VERSION_DOTS "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/resources)
  set(UNTREE_RC_MANIFEST ${dir}/${UNTREE_RC_NAME}.manifest)
  configure_file(${UNTREE_RESOURCE_TEMPLATES}/program.manifest.in ${UNTREE_RC_MANIFEST} @ONLY)
  configure_file(${UNTREE_RESOURCE_TEMPLATES}/program.rc.in ${dir}/${UNTREE_RC_NAME}.rc @ONLY)
  target_sources(${target} PRIVATE ${dir}/${UNTREE_RC_NAME}.rc)
  # The manifest is read by the resource compiler, not by CMake: a change to
  # it alone must still rebuild the resources.
  set_property(SOURCE ${dir}/${UNTREE_RC_NAME}.rc APPEND PROPERTY OBJECT_DEPENDS ${UNTREE_RC_MANIFEST})
endfunction()
