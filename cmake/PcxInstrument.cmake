# Whole-build instrumentation, included right after project() by the
# sanitize and fuzz presets (CMAKE_PROJECT_PcxPlugin_INCLUDE). The module,
# the static library and every program that loads or links it get the same
# flags: natively the tests dlopen Pcx.opx, and an instrumented program with
# an uninstrumented module (or the reverse) would miss faults or report false
# ones.
#
# PCX_SANITIZE: AddressSanitizer (with LeakSanitizer's check at exit) and
#   UndefinedBehaviorSanitizer. No recovery: the first report ends the
#   program with a failure, so a test cannot pass over one.
# PCX_FUZZ: clang with libFuzzer's coverage instrumentation on top of the
#   same sanitizers; the fuzz programs in fuzz/ link libFuzzer's driver.
option(PCX_SANITIZE "Build everything with ASan and UBSan" OFF)
option(PCX_FUZZ "Build the libFuzzer targets (clang)" OFF)

set(PCX_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer)

if(PCX_SANITIZE OR PCX_FUZZ)
  if(WIN32)
    message(FATAL_ERROR "sanitizers and fuzzing are for the native build only")
  endif()
  add_compile_options(${PCX_SANITIZER_FLAGS})
  add_link_options(-fsanitize=address,undefined)
endif()

if(PCX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "libFuzzer needs clang (CMAKE_CXX_COMPILER=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
