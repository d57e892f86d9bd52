# The operating-system layer the module is built with, and how programs built
# for the target are run.
set(PCX_PLATFORM_SOURCES
    ${CMAKE_SOURCE_DIR}/platform/FileAccess.h
    ${CMAKE_SOURCE_DIR}/platform/HostFile.h
    ${CMAKE_SOURCE_DIR}/platform/SettingsStore.h)
set(PCX_PLATFORM_LIBRARIES)
if(WIN32)
  list(APPEND PCX_PLATFORM_SOURCES
       ${CMAKE_SOURCE_DIR}/platform/win32/DllMain.cpp
       ${CMAKE_SOURCE_DIR}/platform/win32/FileAccess.cpp
       ${CMAKE_SOURCE_DIR}/platform/win32/SettingsStore.cpp)
  list(APPEND PCX_PLATFORM_LIBRARIES user32 gdi32 advapi32)
  # Every Windows program of the build runs under Wine in a private prefix
  # inside the build tree, so tests never touch a user's own registry.
  set(PCX_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh ${PCX_WINEPREFIX})
  # Test programs link the run-time statically too, so they start from any
  # folder without a DLL search.
  add_link_options(-static -static-libgcc -static-libstdc++)
else()
  # No registry natively: the user's settings live in a file of our own.
  list(APPEND PCX_PLATFORM_SOURCES
       ${CMAKE_SOURCE_DIR}/platform/posix/FileAccess.cpp
       ${CMAKE_SOURCE_DIR}/platform/posix/SettingsFile.cpp
       ${CMAKE_SOURCE_DIR}/platform/posix/SettingsFile.h)
  list(APPEND PCX_PLATFORM_LIBRARIES ${CMAKE_DL_LIBS})
endif()
