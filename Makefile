# The two commands of the README. Both set up a fresh machine first (Debian packages, Wine prefix).
SHELL := /bin/bash
BUILD ?= build
JOBS ?= 2
WINE_RUN := tools/setup/wine-run
CMAKE_FLAGS := -DCMAKE_TOOLCHAIN_FILE=cmake/i686-mingw-posix.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all setup build test demo clean

all: build

setup:
	@bash tools/setup/bootstrap.sh

build: setup
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@bash tools/setup/run-tests.sh $(BUILD) $(JOBS)

demo: build
	@$(WINE_RUN) $(BUILD)/bin/hvq_demo.exe

clean:
	rm -rf $(BUILD)
