# Thin front end over the CMake presets. See README.md.

.PHONY: all deps build test test-native test-armhf test-tsan demo package clean

all: build

deps:
	@sh cmake/deps.sh

build: deps
	cmake --preset asan
	cmake --build --preset asan

test-native: build
	ctest --preset asan

test-armhf: deps
	cmake --preset armhf
	cmake --build --preset armhf
	ctest --preset armhf

test: deps
	$(MAKE) test-native
	$(MAKE) test-armhf

clean:
	rm -rf build
