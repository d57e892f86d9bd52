# The release's version number and notice line (both set in the top-level
# CMakeLists.txt), generated into one header: the module's identity and the
# version resource of both Windows programs include it.
set(PCX_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_SOURCE_DIR}/cmake/PcxVersion.h.in ${PCX_GENERATED_DIR}/PcxVersion.h @ONLY)

# pcx_version_resource(TARGET MODULE|HOST): the version resource that
# Explorer shows under a Windows program's properties
# (platform/win32/Version.rc), with the fields of the module or of opxhost.
function(pcx_version_resource target program)
  if(program STREQUAL "MODULE")
    set(number 1)
  elseif(program STREQUAL "HOST")
    set(number 2)
  else()
    message(FATAL_ERROR "pcx_version_resource: MODULE or HOST, not ${program}")
  endif()
  target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/platform/win32/Version.rc)
  target_include_directories(${target} PRIVATE ${PCX_GENERATED_DIR})
  target_compile_definitions(${target} PRIVATE PCX_RC_PROGRAM=${number})
endfunction()
