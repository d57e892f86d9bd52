# `make dist`: the release zip of the Windows build in build/dist (made by
# scripts/make-dist.py), named after the version, with the programs' debug
# files beside it.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(PCX_DIST_DIR ${CMAKE_SOURCE_DIR}/build/dist CACHE PATH "Where make dist writes the release")
set(PCX_DIST_NAME pcx-opx-${PROJECT_VERSION}-win32)
set(PCX_DIST_ZIP ${PCX_DIST_DIR}/${PCX_DIST_NAME}.zip)
set(PCX_DIST_DEBUG_DIR ${PCX_DIST_DIR}/${PCX_DIST_NAME}-debug)
# The texts of the release, in the order the zip holds them.
set(PCX_DIST_TEXTS
  ${CMAKE_SOURCE_DIR}/docs/release/README-ja.txt
  ${CMAKE_SOURCE_DIR}/docs/release/README-en.txt
  ${CMAKE_SOURCE_DIR}/docs/release/LICENSE.txt)

add_custom_command(
  OUTPUT ${PCX_DIST_ZIP}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/make-dist.py
          --name ${PCX_DIST_NAME} --version ${PROJECT_VERSION} --notice ${PCX_NOTICE}
          --out-dir ${PCX_DIST_DIR}
          --program $<TARGET_FILE:Pcx> $<TARGET_FILE:opxhost>
          --text ${PCX_DIST_TEXTS}
  DEPENDS Pcx opxhost ${PCX_DIST_TEXTS} ${CMAKE_SOURCE_DIR}/scripts/make-dist.py
  COMMENT "Writing the release ${PCX_DIST_ZIP}"
  VERBATIM)
add_custom_target(dist DEPENDS ${PCX_DIST_ZIP})
