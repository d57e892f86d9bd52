# The operating-system layer the module is built with, and how programs built
# for the target are run.
set(PCX_PLATFORM_SOURCES
    ${CMAKE_SOURCE_DIR}/platform/FileAccess.cpp
    ${CMAKE_SOURCE_DIR}/platform/FileAccess.h
    ${CMAKE_SOURCE_DIR}/platform/FileAccessParts.h
    ${CMAKE_SOURCE_DIR}/platform/HostFile.h
    ${CMAKE_SOURCE_DIR}/platform/SettingsStore.h)
set(PCX_PLATFORM_LIBRARIES)
if(WIN32)
  list(APPEND PCX_PLATFORM_SOURCES
       ${CMAKE_SOURCE_DIR}/platform/win32/DllMain.cpp
       ${CMAKE_SOURCE_DIR}/platform/win32/FileAccess.cpp
       ${CMAKE_SOURCE_DIR}/platform/win32/SettingsStore.cpp
       ${CMAKE_SOURCE_DIR}/platform/win32/Win32.h)
  list(APPEND PCX_PLATFORM_LIBRARIES user32 gdi32 advapi32)
  # Every Windows program of the build runs under Wine in a private prefix
  # inside the build tree, so tests never touch a user's own registry.
  set(PCX_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh ${PCX_WINEPREFIX})
  # Test programs link the run-time statically too, so they start from any
  # folder without a DLL search.
  add_link_options(-static -static-libgcc -static-libstdc++)

  # The version resources.
  enable_language(RC)
else()
  # No registry natively: the user's settings live in a file of our own.
  list(APPEND PCX_PLATFORM_SOURCES
       ${CMAKE_SOURCE_DIR}/platform/posix/FileAccess.cpp
       ${CMAKE_SOURCE_DIR}/platform/posix/SettingsFile.cpp
       ${CMAKE_SOURCE_DIR}/platform/posix/SettingsFile.h)
  list(APPEND PCX_PLATFORM_LIBRARIES ${CMAKE_DL_LIBS})
endif()

# The folder that the shipped programs' debug information names the checkout
# by, wherever it was cloned.
set(PCX_SOURCE_PREFIX /usr/src/pcx-opx)

# pcx_shipped_program(TARGET): a Windows program that a user installs (the
# module and opxhost.exe).
#
# - It is compiled and linked with the toolchain's win32-threads variant.
#   The posix-threads variant, which the rest of the build uses because
#   GoogleTest needs std::mutex, brings winpthreads into a static link, and
#   winpthreads imports KERNEL32 functions that Windows XP lacks
#   (GetTickCount64). CMake holds one compiler per language, so the target's
#   compiler and linker launchers (scripts/win32-threads.sh) swap the variant
#   in for this target alone; the programs start no thread of their own.
# - The Windows headers declare only what Windows XP has.
# - Two builds of one commit give the same bytes: no link time in the PE
#   header, and debug information that names the checkout by a fixed folder
#   rather than by wherever it was cloned (the presets' build trees lie
#   inside it, so one mapping covers generated files too).
# - Once linked, its debug information moves to TARGET_FILE.debug beside it
#   (a debugger finds it there through the .gnu_debuglink section, which
#   holds that file's name and checksum), and the program keeps no symbols:
#   the file the tests run is the file a release ships.
function(pcx_shipped_program target)
  if(NOT WIN32)
    return()
  endif()
  set(launcher ${CMAKE_SOURCE_DIR}/scripts/win32-threads.sh)
  set_target_properties(${target} PROPERTIES
    C_COMPILER_LAUNCHER ${launcher} CXX_COMPILER_LAUNCHER ${launcher}
    C_LINKER_LAUNCHER ${launcher} CXX_LINKER_LAUNCHER ${launcher})
  target_compile_definitions(${target} PRIVATE _WIN32_WINNT=0x0501 WINVER=0x0501)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=${PCX_SOURCE_PREFIX}>)
  target_link_options(${target} PRIVATE -Wl,--no-insert-timestamp)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "STATIC_LIBRARY")
    return()
  endif()
  # objcopy stamps the PE files it writes with the time unless
  # SOURCE_DATE_EPOCH names one.
  set(objcopy ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${CMAKE_OBJCOPY})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${objcopy} --only-keep-debug $<TARGET_FILE_NAME:${target}>
            $<TARGET_FILE_NAME:${target}>.debug
    COMMAND ${objcopy} --strip-all
            --add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug
            $<TARGET_FILE_NAME:${target}>
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    VERBATIM)
endfunction()
