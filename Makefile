# Top-level entry points: make test, make demo, make bench.
JOBS ?= $(shell nproc)
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_JOBS ?= $(JOBS)
CMAKE_FLAGS ?=

.PHONY: all deps build build-asan build-fuzz test test-normal test-asan fuzz fuzz-check fuzz-corpus demo demo-signal bench clean

all: build

deps:
	scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DDAB_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# The end-to-end tests play the demo ensembles, generated with the tools of the normal build.
test-normal: demo-signal
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: demo-signal build-asan
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j $(JOBS)

test: test-normal test-asan fuzz-check

# Fuzz targets (clang, libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer): each runs
# FUZZ_SECONDS in FUZZ_JOBS processes on a copy of its seed corpus; a table of executions (summed
# over the processes), corpus and edges follows.
build-fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDAB_FUZZ=ON -DDAB_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz: build-fuzz
	FUZZ_JOBS=$(FUZZ_JOBS) scripts/run-fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Every target briefly, as a regression check of the decoders.
fuzz-check:
	$(MAKE) fuzz FUZZ_SECONDS=10

fuzz-corpus: build-fuzz
	scripts/make-fuzz-corpus $(FUZZ_BUILD)

# Demo ensembles (ETI files named by channel, and RDI dumps for -E replay) in demo/signal.
demo-signal: build
	scripts/make-demo-signal $(BUILD)

# The server on the virtual module with both demo ensembles, tuned to the first (12C), with
# the MOT/PAD decoder writing its pages below the document root.
demo: demo-signal
	mkdir -p demo-run/htdocs
	@# IP over DAB stays on this machine
	grep -qs '^multicastif' demo-run/dab.ini || printf 'multicastif lo\n' >> demo-run/dab.ini
	cd demo-run && ../$(BUILD)/dabserver -d sim:$(CURDIR)/demo/signal -t 12c -p 8000 -R htdocs -M -d htdocs/data

# The comparisons need lighttpd, icecast2 and ffmpeg, installed here only; the listeners'
# benchmark plays the demo ensemble, written with the benchmark build's tools when missing.
bench: deps
	scripts/install-bench-deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DDAB_BENCH=ON -DDAB_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build build-bench -j $(JOBS)
	[ -f demo/signal/12c.eti ] || scripts/make-demo-signal build-bench
	scripts/run-bench build-bench

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) build-bench demo-run
