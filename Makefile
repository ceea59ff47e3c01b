# The two commands of the README. Both set up a fresh machine first (Debian packages, Wine prefix).
SHELL := /bin/bash
BUILD ?= build
JOBS ?= 2
WINE_RUN := tools/setup/wine-run
CMAKE_FLAGS := -DCMAKE_TOOLCHAIN_FILE=cmake/i686-mingw-posix.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all setup build native test demo clean

all: build

setup:
	@bash tools/setup/bootstrap.sh

build: setup
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# The pure code also runs natively, under the address and undefined-behaviour sanitizers.
native: setup
	@cmake -S . -B $(BUILD)-native -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHVQ_SANITIZE=ON >/dev/null
	@cmake --build $(BUILD)-native -j $(JOBS)

test: build native
	@cd $(BUILD)-native && ctest --output-on-failure
	@bash tools/setup/run-tests.sh $(BUILD) $(JOBS)

demo: build
	@$(WINE_RUN) $(BUILD)/bin/hvq_demo.exe

clean:
	rm -rf $(BUILD) $(BUILD)-native
