# The two commands of the README. Both set up a fresh machine first (Debian packages, Wine prefix).
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

# One wineserver stays up for the whole run, so every test program starts fast.
test: build
	@. tools/setup/wine-env && wineserver -p 30 && \
	  cd $(BUILD) && ctest --output-on-failure -j $(JOBS); status=$$?; \
	  . ../tools/setup/wine-env; wineserver -k 2>/dev/null; exit $$status

demo: build
	@$(WINE_RUN) $(BUILD)/bin/hvq_demo.exe

clean:
	rm -rf $(BUILD)
