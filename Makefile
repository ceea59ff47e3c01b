# The two commands of the README. Both set up a fresh machine first (Debian packages, Wine prefix).
SHELL := /bin/bash
BUILD ?= build
JOBS ?= 2
WINE_RUN := tools/setup/wine-run
WINE_LIVE := tools/setup/wine-run-live
DEMO := out
CMAKE_FLAGS := -DCMAKE_TOOLCHAIN_FILE=cmake/i686-mingw-posix.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all setup build native fuzz test soak demo module bench audit dist shots shot-about \
	shot-config shot-transitions follow-audit clean

all: build

setup:
	@bash tools/setup/bootstrap.sh

build: setup
	@[ -f $(BUILD)/CMakeCache.txt ] || cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# The pure code also runs natively, under the address and undefined-behaviour sanitizers.
native: setup
	@cmake -S . -B $(BUILD)-native -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHVQ_SANITIZE=ON >/dev/null
	@cmake --build $(BUILD)-native -j $(JOBS)

# libFuzzer targets of the pure parsers, rules and the mixer, natively with clang and sanitizers.
fuzz: setup
	@CC=clang CXX=clang++ cmake -S . -B $(BUILD)-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHVQ_FUZZ=ON >/dev/null
	@cmake --build $(BUILD)-fuzz -j $(JOBS)

test: build native fuzz
	@cd $(BUILD)-native && ctest --output-on-failure
	@cd $(BUILD)-fuzz && ctest --output-on-failure
	@bash tools/setup/run-tests.sh $(BUILD) $(JOBS)

# The endurance test's long round: a hundred thousand track changes (about ten minutes here);
# SOAK_FLAGS="--transitions=N --seed=N" chooses another round. `make test` runs ten thousand.
SOAK_FLAGS ?= --transitions=100000
soak: setup
	@[ -f $(BUILD)/CMakeCache.txt ] || cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) --target soak_tests -j $(JOBS)
	@$(WINE_RUN) $(BUILD)/bin/soak_tests.exe $(SOAK_FLAGS)

# Four synthesized tracks, played as one playlist through the real plug-in in the reference host:
# the crossfaded result, a picture of the transitions and a report, once with each curve, with
# skips, and in mixed formats crossfaded across them. Builds only what the demo needs; one line
# per step (tools/demo/demo.sh).
demo:
	@CMAKE_FLAGS="$(CMAKE_FLAGS)" bash tools/demo/demo.sh $(BUILD) $(JOBS) $(DEMO)

# What the player sees of the plug-in: its module record after loading and Init.
module: setup
	@[ -f $(BUILD)/CMakeCache.txt ] || cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) --target hvq_module -j $(JOBS) >/dev/null
	@$(WINE_RUN) $(BUILD)/bin/hvq_module.exe

# The crossfade mixer's cost per sample beside a plain copy, built natively with optimisation, and
# what finding a track's edges costs beside decoding the same frames (it fails above 5 %);
# then the engine's latency, track changes and CPU cost in real time under Wine (a few minutes;
# BENCH_FLAGS="--trials N --cpu-seconds S" makes it shorter or steadier); last the resampler of
# the format conversion: its passband ripple, its worst image or alias, its cost for stereo and
# the error of a converted tail's first 2 ms, unprimed and primed (it fails when one misses its
# target).
BENCH_FLAGS ?=
# The builds' print goes to BUILD-bench/build.log, shown only when a build fails, so that the
# figures stand alone.
BENCH_LOG := $(BUILD)-bench/build.log
bench: setup
	@mkdir -p $(BUILD)-bench && : > $(BENCH_LOG)
	@echo "bench: building the benchmarks (print in $(BENCH_LOG))"
	@{ cmake -S . -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=Release && \
	   cmake --build $(BUILD)-bench --target mixer_bench track_edges_bench resampler_bench -j $(JOBS) && \
	   cmake -S . -B $(BUILD) $(CMAKE_FLAGS) && \
	   cmake --build $(BUILD) --target hvq_latency_bench hvq_transition_audit hvq_follow_audit -j $(JOBS); } \
	   >>$(BENCH_LOG) 2>&1 || { tail -40 $(BENCH_LOG); exit 1; }
	@$(BUILD)-bench/tools/bench/mixer_bench
	@$(BUILD)-bench/tools/bench/track_edges_bench
	@$(WINE_LIVE) $(BUILD)/bin/hvq_latency_bench.exe $(BENCH_FLAGS)
	@$(BUILD)-bench/tools/bench/resampler_bench
	@echo
	@$(WINE_LIVE) $(BUILD)/bin/hvq_transition_audit.exe $(AUDIT_FLAGS)
	@echo
	@$(WINE_LIVE) $(BUILD)/bin/hvq_follow_audit.exe $(FOLLOW_FLAGS)

# Every kind of transition a listener meets, played in real time through the real plug-in and
# measured, one row per kind; also on clocks that step or stand still, beside busy processes and
# with slow opens (about seven minutes); make bench ends with it. AUDIT_FLAGS="--strict" fails when a row is
# not clean; AUDIT_FLAGS="--only seek" plays only the kinds whose name holds the text.
AUDIT_FLAGS ?=
AUDIT_LOG := $(BUILD)/audit-build.log
audit: setup
	@mkdir -p $(BUILD) && : > $(AUDIT_LOG)
	@{ [ -f $(BUILD)/CMakeCache.txt ] || cmake -S . -B $(BUILD) $(CMAKE_FLAGS); } >>$(AUDIT_LOG) 2>&1 && \
	   cmake --build $(BUILD) --target hvq_transition_audit -j $(JOBS) >>$(AUDIT_LOG) 2>&1 || \
	   { tail -40 $(AUDIT_LOG); exit 1; }
	@$(WINE_LIVE) $(BUILD)/bin/hvq_transition_audit.exe $(AUDIT_FLAGS)

# The transitions that follow the music (silences at the tracks' edges, fade-outs of their own, an
# album), measured per transition at twice real time and then on an output that takes everything
# at once (about six minutes); make bench ends with it. FOLLOW_FLAGS="--strict" fails when a
# target is missed, "--speed X" (once or more; 0: at once) plays at those speeds only,
# "--only album" plays only the playlists whose name holds the text.
FOLLOW_FLAGS ?=
follow-audit: setup
	@mkdir -p $(BUILD) && : > $(AUDIT_LOG)
	@{ [ -f $(BUILD)/CMakeCache.txt ] || cmake -S . -B $(BUILD) $(CMAKE_FLAGS); } >>$(AUDIT_LOG) 2>&1 && \
	   cmake --build $(BUILD) --target hvq_follow_audit -j $(JOBS) >>$(AUDIT_LOG) 2>&1 || \
	   { tail -40 $(AUDIT_LOG); exit 1; }
	@$(WINE_LIVE) $(BUILD)/bin/hvq_follow_audit.exe $(FOLLOW_FLAGS)

# The pictures of the dialogs in docs/, as the README shows them. Beside each picture goes the
# description of the windows it shows (docs/*.layout), written by the same program in the
# project's prefix: pictures_tests fails, saying "run make shots", once the windows differ.
shots: shot-about shot-config shot-transitions

# A picture of the about window as the player shows it, on a virtual screen in a Wine desktop.
shot-about: build
	@tools/setup/window-shot docs/about-dialog.png --trim -- $(BUILD)/bin/hvq_about.exe
	@$(WINE_RUN) $(BUILD)/bin/hvq_about.exe --layout docs/about-dialog.layout

# A picture of the configuration dialog as a Windows user sees it, for the README.
shot-config: build
	@tools/setup/window-shot docs/config-dialog.png --trim -- $(BUILD)/bin/hvq_configshot.exe
	@$(WINE_RUN) $(BUILD)/bin/hvq_configshot.exe --layout docs/config-dialog.layout

# The transition options that its "More..." button opens, beside the configuration dialog: on a
# screen with room for both side by side, as the dialog places them.
shot-transitions: build
	@tools/setup/window-shot docs/transitions-dialog.png --desktop 1024x768 --trim -- \
	    $(BUILD)/bin/hvq_configshot.exe --more
	@$(WINE_RUN) $(BUILD)/bin/hvq_configshot.exe --more --layout docs/transitions-dialog.layout

# The release: an optimised in_hvqblend.dll with its version resource, in a zip with a read-me,
# the licence and the release notes from CHANGELOG.md, and the setup program made by makensis:
# dist/in_hvqblend-<version>.zip and dist/hvqblend-<version>-setup.exe.
# One line per step (packaging/dist.sh); it stops before building when the version's section of
# CHANGELOG.md has no date.
dist:
	@CMAKE_FLAGS="$(CMAKE_FLAGS)" bash packaging/dist.sh $(BUILD)-release $(JOBS) $(CURDIR)/dist

clean:
	rm -rf $(BUILD) $(BUILD)-native $(BUILD)-bench $(BUILD)-release $(BUILD)-fuzz
