# `make dist`: the release zip of the Windows build in build/dist (made by
# scripts/make-dist.py), named after the version, with its SHA256SUMS and the
# programs' debug files beside it.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(PCX_DIST_DIR ${CMAKE_SOURCE_DIR}/build/dist CACHE PATH "Where make dist writes the release")
set(PCX_DIST_NAME pcx-opx-${PROJECT_VERSION}-win32)
set(PCX_DIST_ZIP ${PCX_DIST_DIR}/${PCX_DIST_NAME}.zip)
set(PCX_DIST_DEBUG_DIR ${PCX_DIST_DIR}/${PCX_DIST_NAME}-debug)
# The texts of the release, in the order the zip holds them (SOURCE=NAME
# ships SOURCE under another name: the changelog as a .txt file, which
# Notepad opens on a double-click).
set(PCX_DIST_TEXTS
  ${CMAKE_SOURCE_DIR}/docs/release/README-ja.txt
  ${CMAKE_SOURCE_DIR}/docs/release/README-en.txt
  ${CMAKE_SOURCE_DIR}/CHANGELOG.md=CHANGELOG.txt
  ${CMAKE_SOURCE_DIR}/docs/release/LICENSE.txt)

# The files of the shipped programs (PCX_SHIPPED_PROGRAMS), as built.
set(PCX_DIST_PROGRAMS ${PCX_SHIPPED_PROGRAMS})
list(TRANSFORM PCX_DIST_PROGRAMS PREPEND "$<TARGET_FILE:")
list(TRANSFORM PCX_DIST_PROGRAMS APPEND ">")
# make-dist.py's arguments but the output folder (the signing test writes a
# release of its own elsewhere).
set(PCX_DIST_ARGS
  --name ${PCX_DIST_NAME} --version ${PROJECT_VERSION} --notice ${PCX_NOTICE}
  --program ${PCX_DIST_PROGRAMS}
  --text ${PCX_DIST_TEXTS})

# Signing is asked for through the environment of the build (PCX_SIGN_CERT,
# PCX_SIGN_KEY, PCX_SIGN_TIMESTAMP_URL, which `make dist SIGN_CERT=...` sets),
# not through the cache, so a later plain build of dist is unsigned again.
# The build cannot see the environment change, so the release is written
# anew on every build of dist (about a second).
add_custom_target(dist
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/make-dist.py
          ${PCX_DIST_ARGS} --out-dir ${PCX_DIST_DIR}
  BYPRODUCTS ${PCX_DIST_ZIP} ${PCX_DIST_DIR}/SHA256SUMS
  COMMENT "Writing the release ${PCX_DIST_ZIP}"
  VERBATIM)
add_dependencies(dist ${PCX_SHIPPED_PROGRAMS})
