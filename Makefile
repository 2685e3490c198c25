# Front door: `make test` and `make demo` set up a fresh Debian machine,
# build, and run. Package installation needs root.

PACKAGES := cmake g++ make pkg-config libsqlite3-dev libminizip-dev \
            zlib1g-dev libgtest-dev python3 sqlite3 unzip util-linux \
            zip time strace
JOBS ?= 2
# Another build to time alongside this one, e.g. BASELINE=/path/to/program.
BASELINE ?=
RUNS ?= 3

.PHONY: all deps build build-asan test demo bench clean

all: build

deps:
	@missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'ok installed' \
	    || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" -ne 0 ]; then \
	    echo "Missing packages:$$missing (run as root to install them)"; exit 1; \
	  fi; \
	  echo "Installing:$$missing"; \
	  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $$missing; \
	fi

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j $(JOBS)

build-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQK_SANITIZE=ON \
	      -DQK_PROGRAM_TESTS=OFF
	cmake --build build-asan -j $(JOBS)

test: build build-asan
	cd build && ctest --output-on-failure -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

demo: build
	sh tools/demo.sh build/qkZareviVovoreRevu build/demo

# Generates the benchmark projects once under build/bench/, times the program
# against the scripted alternatives and writes BENCHMARKS.md.
bench: build
	/usr/bin/python3 tools/bench.py build/qkZareviVovoreRevu --cache build/bench \
	  --runs $(RUNS) --out BENCHMARKS.md $(if $(BASELINE),--baseline $(BASELINE))

clean:
	rm -rf build build-asan
