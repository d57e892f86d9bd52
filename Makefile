# Entry points for people and CI. Each target installs what is missing, then
# drives the CMake presets; the build logic lives in CMake.
.PHONY: all bootstrap build build-native build-win32 demo test test-native test-win32 format clean

# Windows programs need an X display for their windows: the Windows tests run
# inside a virtual one.
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

demo: build
	cmake --build --preset native --target demo
	cmake --build --preset win32 --target demo

test-native: build-native
	ctest --preset native

test-win32: build-win32
	$(XVFB_RUN) ctest --preset win32

test: test-native test-win32

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
