# Top-level entry points: make test, make demo, make bench, make soak.
JOBS ?= $(shell nproc)
BUILD ?= build
ASAN_BUILD ?= build-asan
CMAKE_FLAGS ?=

.PHONY: all deps build build-asan test test-normal test-asan demo demo-signal bench soak clean

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

test: test-normal test-asan

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
	rm -rf $(BUILD) $(ASAN_BUILD) build-bench demo-run
