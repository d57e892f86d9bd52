# Entry points for people and CI. Each target installs what is missing, then
# drives the CMake presets; the build logic lives in CMake.
.PHONY: all bootstrap build build-native build-win32 demo dist test test-native test-win32 \
	test-win32-cp932 bench format clean \
	build-sanitize test-sanitize build-fuzz test-fuzz fuzz

# Windows programs need an X display for their windows: the Windows tests run
# inside a virtual one. They run natively under Wine, or under Wine inside
# qemu-user where the machine runs no 32-bit code or PCX_WINE_EMULATE=1 asks
# for it (scripts/wine-road.sh); the bootstrap says which.
XVFB_RUN = xvfb-run -a -s "-screen 0 1024x768x24"

all: build

bootstrap:
	@scripts/bootstrap.sh

build-native: bootstrap
	cmake --preset native
	cmake --build --preset native

build-win32: bootstrap
	cmake --preset win32
	cmake --build --preset win32

build: build-native build-win32

# The demo builds only what it runs: both modules and opxhost, in each build.
demo: bootstrap
	cmake --preset native
	cmake --build --preset native --target demo
	cmake --preset win32
	cmake --build --preset win32 --target demo

# The Windows release: build/dist/pcx-opx-VERSION-win32.zip, its SHA256SUMS,
# and the programs' debug files in build/dist/pcx-opx-VERSION-win32-debug.
# SIGN_CERT=cert.pem SIGN_KEY=key.pem (PEM files, paths relative to this
# folder or absolute) sign both programs with Authenticode, SIGN_TIMESTAMP_URL
# adds an RFC 3161 time stamp; without them the release is unsigned.
SIGN_CERT ?=
SIGN_KEY ?=
SIGN_TIMESTAMP_URL ?=
dist: bootstrap
	cmake --preset win32
	PCX_SIGN_CERT='$(if $(SIGN_CERT),$(abspath $(SIGN_CERT)))' \
	PCX_SIGN_KEY='$(if $(SIGN_KEY),$(abspath $(SIGN_KEY)))' \
	PCX_SIGN_TIMESTAMP_URL='$(SIGN_TIMESTAMP_URL)' \
	    cmake --build --preset win32 --target dist

test-native: build-native
	ctest --preset native

test-win32: build-win32
	$(XVFB_RUN) ctest --preset win32

# The Windows suite once more as the host's users run it, on Japanese Windows:
# under ja_JP.UTF-8, where Wine's ANSI code page is 932. scripts/wine-run.sh
# runs the programs in that locale and a prefix of its own; identity_test
# checks that they got code page 932. The tools run in that locale too, as on
# a Japanese developer's machine.
JAPANESE_LOCALE = ja_JP.UTF-8
test-win32-cp932: build-win32
	LANG=$(JAPANESE_LOCALE) LC_ALL=$(JAPANESE_LOCALE) PCX_WINE_LOCALE=$(JAPANESE_LOCALE) \
	    PCX_EXPECT_ACP=932 $(XVFB_RUN) ctest --preset win32

# The native suite again with ASan, UBSan and LeakSanitizer in every program
# and in the module.
build-sanitize: bootstrap
	cmake --preset sanitize
	cmake --build --preset sanitize

test-sanitize: build-sanitize
	ctest --preset sanitize

# The libFuzzer targets (clang): each replays its corpus, then fuzzes for
# PCX_FUZZ_SECONDS (60), two at a time; any finding fails.
build-fuzz: bootstrap
	cmake --preset fuzz
	cmake --build --preset fuzz

test-fuzz: build-fuzz
	ctest --preset fuzz

test: test-native test-win32 test-win32-cp932 test-sanitize test-fuzz

# Longer campaigns for a person who wants them: every target in turn for
# FUZZ_SECONDS each, at the lowest priority, continuing from the corpus that
# earlier runs (make test's included) left in build/fuzz/fuzz-work.
FUZZ_SECONDS ?= 1800
FUZZ_TARGETS ?= decode preview header export runlength
fuzz: build-fuzz
	@for target in $(FUZZ_TARGETS); do \
	    nice -n 19 scripts/fuzz-run.sh build/fuzz/pcx_fuzz_$$target fuzz/corpus/$$target \
	        build/fuzz/fuzz-work/$$target $(FUZZ_SECONDS) || exit 1; \
	done

# Times the native module and the Windows DLL (under Wine) against Pillow,
# netpbm, ImageMagick and a floor program of each build on generated
# 4096 x 4096 pictures and prints one table (several minutes; Pillow needs
# Debian's own Python). BENCH_FLAGS=--quick for fewer repetitions,
# --only noise24,flat8 for some pictures, --builds native (or win32) for one
# of the builds. Every figure goes to build/native/bench.json, and the medians
# are drawn as a chart, build/native/bench-chart.svg (BENCH_FLAGS='--chart
# docs/speed.svg' for the front page's).
bench: build
	/usr/bin/python3 scripts/bench-compare.py --build build/native --win32-build build/win32 \
	    --json build/native/bench.json --chart build/native/bench-chart.svg $(BENCH_FLAGS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
