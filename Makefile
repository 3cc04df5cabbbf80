# Mivo: set-up, build, run and test entry points.
#   make run     install what is missing, build, start the recorder (ARGS="..." passes options)
#   make test    install what is missing, build, run every test, then the ThreadSanitizer tests
# `make help` lists the rest.

SHELL := /bin/bash
MAKEFLAGS += --no-print-directory
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := help

BUILD_DIR     := build
TSAN_DIR      := build-tsan
ASAN_DIR      := build-asan
FUZZ_DIR      := build-fuzz
MIVO          := $(BUILD_DIR)/bin/mivo
SHOT          := $(BUILD_DIR)/screenshots/mivo-window.png
JOBS          ?= $(shell nproc 2>/dev/null || echo 2)
CTEST_JOBS    ?= 2
# Default limit per test (seconds) unless the test sets its own TIMEOUT.
CTEST_TIMEOUT ?= 120
# Seconds each fuzz target runs: in `make fuzz`, and in `make test`.
FUZZ_SECONDS  ?= 60
FUZZ_TEST_SECONDS ?= 30
ARGS          ?=
BENCH_ARGS    ?=
CMAKE_ARGS    ?=
# make install: where the tree goes (PREFIX), and a staging root in front of it (DESTDIR).
PREFIX        ?= /usr/local
DESTDIR       ?=

CONFIGURE_ARGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)
TSAN_FLAGS     := -fsanitize=thread -g -O1
TSAN_CONFIGURE_ARGS := -DMIVO_WITH_QT=OFF -DMIVO_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug \
	"-DCMAKE_CXX_FLAGS=$(TSAN_FLAGS)" \
	-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread \
	-DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread \
	-DCMAKE_MODULE_LINKER_FLAGS=-fsanitize=thread
ASAN_FLAGS     := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g -O1
ASAN_CONFIGURE_ARGS := -DMIVO_WITH_QT=OFF -DMIVO_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug \
	"-DCMAKE_CXX_FLAGS=$(ASAN_FLAGS)" \
	"-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined" \
	"-DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=address,undefined" \
	"-DCMAKE_MODULE_LINKER_FLAGS=-fsanitize=address,undefined"
FUZZ_FLAGS     := -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined \
	-fno-omit-frame-pointer -g -O1
FUZZ_CONFIGURE_ARGS := -DMIVO_WITH_QT=OFF -DMIVO_BUILD_BENCH=OFF -DMIVO_BUILD_FUZZ=ON -DCMAKE_BUILD_TYPE=Debug \
	-DCMAKE_CXX_COMPILER=clang++ "-DCMAKE_CXX_FLAGS=$(FUZZ_FLAGS)" \
	"-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined"

.PHONY: help setup build run screenshot test tsan asan fuzz bench bench-compare install deb clean

help:
	@echo "Mivo, a desktop audio recorder. Targets:"
	@echo "  make run         install missing packages, build, start the recorder"
	@echo "                   (no display: runs it on Xvfb, saves a screenshot, closes it)"
	@echo "  make test        install, build, run all tests, then the sanitizer trees' tests"
	@echo "                   and each fuzz target for $(FUZZ_TEST_SECONDS) s"
	@echo "  make screenshot  build, start the recorder on Xvfb, save $(SHOT)"
	@echo "  make bench       build, run the benchmarks"
	@echo "  make bench-compare  build, time mivo-convert against its peers (hyperfine; minutes)"
	@echo "  make install     build, install into PREFIX (default $(PREFIX)); DESTDIR=... stages it"
	@echo "  make deb         build the Debian package mivo_<version>_<arch>.deb here"
	@echo "  make tsan        only the ThreadSanitizer build and its tests ($(TSAN_DIR)/)"
	@echo "  make asan        only the AddressSanitizer + UBSan build and its tests ($(ASAN_DIR)/)"
	@echo "  make fuzz        build the fuzz targets ($(FUZZ_DIR)/) and run each for FUZZ_SECONDS"
	@echo "  make build       install missing packages, configure and build ($(BUILD_DIR)/)"
	@echo "  make setup       install the missing Debian packages (scripts/packages.txt)"
	@echo "  make clean       remove $(BUILD_DIR)/, $(TSAN_DIR)/, $(ASAN_DIR)/ and $(FUZZ_DIR)/"
	@echo "Options: ARGS=\"--config my.ini\" (recorder options for run/screenshot),"
	@echo "         JOBS=N (compile jobs), CMAKE_ARGS=\"-D...\", BENCH_ARGS=\"--benchmark_filter=...\","
	@echo "         CTEST_TIMEOUT=S (limit for a test without its own TIMEOUT, default $(CTEST_TIMEOUT)),"
	@echo "         FUZZ_SECONDS=S (each fuzz target's run in make fuzz, default $(FUZZ_SECONDS))"

setup:
	@printf '\n==> %s\n' "Checking the Debian packages the build and tests need"
	scripts/setup

build: setup
	@printf '\n==> %s\n' "Configuring and building ($(BUILD_DIR)/, $(JOBS) jobs)"
	scripts/configure $(BUILD_DIR) $(CONFIGURE_ARGS)
	cmake --build $(BUILD_DIR) -j$(JOBS)
	@echo "Build finished: the recorder is $(MIVO)"

run: build
	@if [ ! -x $(MIVO) ]; then echo "ERROR: $(MIVO) was not built" >&2; exit 1; fi
	@if [ -z "$${DISPLAY:-}$${WAYLAND_DISPLAY:-}" ]; then \
	  printf '\n==> %s\n' "No display (DISPLAY and WAYLAND_DISPLAY are empty): starting the recorder on a virtual screen instead"; \
	  echo "    It is shown there, photographed and closed again; run it on a desktop to use it."; \
	  MIVO=$(MIVO) SHOT=$(SHOT) scripts/screenshot $(ARGS); \
	  echo "Screenshot of the recorder's window: $(CURDIR)/$(SHOT)"; \
	else \
	  printf '\n==> %s ' "Starting the recorder:"; echo $(MIVO) $(ARGS); \
	  exec $(MIVO) $(ARGS); \
	fi

screenshot: build
	@if [ ! -x $(MIVO) ]; then echo "ERROR: $(MIVO) was not built" >&2; exit 1; fi
	@printf '\n==> %s\n' "Starting the recorder on a virtual screen (Xvfb) for a screenshot"
	@MIVO=$(MIVO) SHOT=$(SHOT) scripts/screenshot $(ARGS)
	@echo "Screenshot of the recorder's window: $(CURDIR)/$(SHOT)"

# The ThreadSanitizer tree: the Qt-free libraries and their tests, built with -fsanitize=thread.
# Only the tests labelled "tsan" run there. TSan programs run through scripts/tsan-exec, which
# turns off address-space randomisation where this kernel needs it (test discovery runs them at
# build time too).
define TSAN_STEPS
	@printf '\n==> %s\n' "ThreadSanitizer build ($(TSAN_DIR)/: no Qt, -fsanitize=thread)"
	scripts/configure $(TSAN_DIR) $(TSAN_CONFIGURE_ARGS)
	scripts/tsan-exec $(TSAN_DIR) cmake --build $(TSAN_DIR) -j$(JOBS)
	@printf '\n==> %s\n' "Tests labelled tsan, under ThreadSanitizer"
	scripts/tsan-exec $(TSAN_DIR) scripts/ctest-run $(TSAN_DIR) -L tsan --no-tests=ignore \
	  --output-on-failure --timeout $(CTEST_TIMEOUT)
endef

# The AddressSanitizer/UndefinedBehaviorSanitizer tree: the same Qt-free libraries, tools and tests,
# every one of its tests run there. Leaks are errors; the first UBSan report ends the program.
define ASAN_STEPS
	@printf '\n==> %s\n' "AddressSanitizer + UBSan build ($(ASAN_DIR)/: no Qt, -fsanitize=address,undefined)"
	scripts/configure $(ASAN_DIR) $(ASAN_CONFIGURE_ARGS)
	scripts/asan-exec nice cmake --build $(ASAN_DIR) -j$(JOBS)
	@printf '\n==> %s\n' "All tests of $(ASAN_DIR)/, under AddressSanitizer and UBSan"
	scripts/asan-exec scripts/ctest-run $(ASAN_DIR) --output-on-failure -j$(CTEST_JOBS) \
	  --timeout $(CTEST_TIMEOUT)
endef

# The fuzz tree: clang's libFuzzer programs of the fuzz targets (tests/fuzz), each run for
# $(1) seconds from its seed corpus. Any crash, leak, hang or UBSan report fails.
define FUZZ_STEPS
	@printf '\n==> %s\n' "Fuzz targets ($(FUZZ_DIR)/: clang, libFuzzer, AddressSanitizer + UBSan; $(1) s each)"
	scripts/configure $(FUZZ_DIR) $(FUZZ_CONFIGURE_ARGS)
	nice cmake --build $(FUZZ_DIR) -j$(JOBS) --target fuzzers
	scripts/asan-exec scripts/fuzz-run $(FUZZ_DIR) $(1)
endef

test: build
	@printf '\n==> %s\n' "Running the tests ($(BUILD_DIR)/: unit, contract, end-to-end; $(CTEST_JOBS) at a time)"
	scripts/ctest-run $(BUILD_DIR) --output-on-failure -j$(CTEST_JOBS) --timeout $(CTEST_TIMEOUT)
	$(TSAN_STEPS)
	$(ASAN_STEPS)
	$(call FUZZ_STEPS,$(FUZZ_TEST_SECONDS))
	@printf '\n==> %s\n' "All tests finished"
	@scripts/ctest-run --summary $(BUILD_DIR) $(TSAN_DIR) $(ASAN_DIR)

tsan: setup
	$(TSAN_STEPS)
	@scripts/ctest-run --summary $(TSAN_DIR)

asan: setup
	$(ASAN_STEPS)
	@scripts/ctest-run --summary $(ASAN_DIR)

fuzz: setup
	$(call FUZZ_STEPS,$(FUZZ_SECONDS))

bench: build
	@printf '\n==> %s\n' "Running the benchmarks ($(BUILD_DIR)/bin/bench_*)"
	@shopt -s nullglob; found=0; \
	for b in $(BUILD_DIR)/bin/bench_* $(BUILD_DIR)/bin/*_bench; do \
	  [ -f "$$b" ] && [ -x "$$b" ] || continue; found=1; \
	  printf '\n--- %s\n' "$$b"; "$$b" $(BENCH_ARGS); \
	done; \
	if [ $$found = 0 ]; then echo "No benchmark programs were built yet (expected $(BUILD_DIR)/bin/bench_*)."; fi

# Whole processes against their peers on 10-minute files (bench/compare.sh):
# minutes of work, so not part of `make test`. ROUNDS=N, BATCH_ROUNDS=N set the rounds.
bench-compare: build
	@printf '\n==> %s\n' "Comparing mivo-convert with FFmpeg, SoX and cp + sync (hyperfine)"
	ROUNDS="$(ROUNDS)" BATCH_ROUNDS="$(BATCH_ROUNDS)" bench/compare.sh $(BUILD_DIR)

# The programs, libgogo.so and libmivo_wma.so (in lib/<triplet>/mivo), the launcher, icons, metadata and
# manual pages. The tree can be moved as a whole: the programs find their libraries
# relative to themselves.
install: build
	@printf '\n==> %s\n' "Installing into $(DESTDIR)$(PREFIX)"
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

# CPack's DEB generator on the build tree; dependencies from dpkg-shlibdeps.
deb: build
	@printf '\n==> %s\n' "Building the Debian package"
	rm -rf $(BUILD_DIR)/deb
	cd $(BUILD_DIR) && cpack -G DEB -B deb
	@shopt -s nullglob; debs=($(BUILD_DIR)/deb/mivo_*.deb); \
	if [ $${#debs[@]} != 1 ]; then echo "ERROR: cpack made no single package" >&2; exit 1; fi; \
	rm -f mivo_*.deb; mv "$${debs[0]}" .; \
	echo "Package: $(CURDIR)/$${debs[0]##*/} (install it with: sudo apt install ./$${debs[0]##*/})"

clean:
	@printf '\n==> %s\n' "Removing $(BUILD_DIR)/, $(TSAN_DIR)/, $(ASAN_DIR)/ and $(FUZZ_DIR)/"
	rm -rf $(BUILD_DIR) $(TSAN_DIR) $(ASAN_DIR) $(FUZZ_DIR)
