# Top-level entry points: make test, make demo, make bench, make soak.
JOBS ?= $(shell nproc)
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_RUNS ?=
FUZZ_JOBS ?= $(JOBS)
CMAKE_FLAGS ?=

.PHONY: all deps build build-asan build-fuzz test test-normal test-asan fuzz fuzz-check fuzz-corpus demo demo-signal bench soak clean

all: build

# What the build and the demo need; the tests' packages come with the full build.
deps:
	scripts/install-deps

deps-test:
	scripts/install-deps --test

build: deps-test
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps-test
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
build-fuzz: deps-test
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDAB_FUZZ=ON -DDAB_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz: build-fuzz
	FUZZ_JOBS=$(FUZZ_JOBS) FUZZ_RUNS=$(FUZZ_RUNS) scripts/run-fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Every target briefly, as a regression check of the decoders.
fuzz-check:
	$(MAKE) fuzz FUZZ_SECONDS=10

fuzz-corpus: build-fuzz
	scripts/make-fuzz-corpus $(FUZZ_BUILD)

# Demo ensembles (ETI files named by channel, and RDI dumps for -E replay) in demo/signal.
demo-signal: build
	scripts/make-demo-signal $(BUILD)

# The server and the signal tools alone, without the tests: for the demo and make install.
DEMO_BUILD ?= build-demo
DEMO_PORT ?= 8000
PREFIX ?= /usr/local
DESTDIR ?=
.PHONY: deps-test demo-build install clean-demo

demo-build: deps
	cmake -S . -B $(DEMO_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDAB_TESTS=OFF \
		-DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS)
	cmake --build $(DEMO_BUILD) -j $(JOBS) --target dabserver dabgen eti2rdi dabmod player_assets

# The server on the virtual module with both demo ensembles, tuned to the first (12C), with
# the MOT/PAD decoder writing its pages below the document root.
demo: demo-build
	scripts/make-demo-signal $(DEMO_BUILD)
	mkdir -p demo-run/htdocs
	@# IP over DAB stays on this machine
	grep -qs '^multicastif' demo-run/dab.ini || printf 'multicastif lo\n' >> demo-run/dab.ini
	cd demo-run && ../$(DEMO_BUILD)/dabserver -d sim:$(CURDIR)/demo/signal -t 12c \
		-p $(DEMO_PORT) -H localhost:$(DEMO_PORT) -R htdocs -M -d htdocs/data

# The server, the signal tools, the manual page, a sample configuration and the systemd unit
# below $(DESTDIR)$(PREFIX).
install: demo-build
	DESTDIR="$(DESTDIR)" cmake --install $(DEMO_BUILD)

clean: clean-demo
clean-demo:
	rm -rf $(DEMO_BUILD)

# The comparisons need lighttpd, icecast2 and ffmpeg, installed here only; the listeners'
# benchmark plays the demo ensemble, written with the benchmark build's tools when missing.
bench: deps
	scripts/install-bench-deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DDAB_BENCH=ON -DDAB_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build build-bench -j $(JOBS)
	[ -f demo/signal/12c.eti ] || scripts/make-demo-signal build-bench
	scripts/run-bench build-bench

# The server for SOAK_MINUTES on the virtual module at SOAK_SPEED times broadcast speed with the
# MOT decoder on, under waves of listeners and page readers; samples and a plot go to
# build/artefacts. SOAK_BUILD=$(ASAN_BUILD) soaks the sanitizer build.
SOAK_BUILD ?= $(BUILD)
SOAK_MINUTES ?= 30
SOAK_SPEED ?= 48
SOAK_FLAGS ?=
soak_asan = $(findstring asan,$(notdir $(SOAK_BUILD)))

soak: demo-signal
	@command -v gnuplot >/dev/null 2>&1 || { \
		SUDO=""; [ "$$(id -u)" -eq 0 ] || SUDO=sudo; \
		DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -q --no-install-recommends gnuplot-nox || \
		{ $$SUDO apt-get update -q && DEBIAN_FRONTEND=noninteractive \
			$$SUDO apt-get install -y -q --no-install-recommends gnuplot-nox; }; }
	cmake -S . -B $(SOAK_BUILD) $(if $(soak_asan),-DCMAKE_BUILD_TYPE=Debug -DDAB_SANITIZE=ON,-DCMAKE_BUILD_TYPE=RelWithDebInfo) $(CMAKE_FLAGS)
	cmake --build $(SOAK_BUILD) -j $(JOBS) --target dabserver
	scripts/soak --build $(SOAK_BUILD) --minutes $(SOAK_MINUTES) --speed $(SOAK_SPEED) $(SOAK_FLAGS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) build-bench demo-run
