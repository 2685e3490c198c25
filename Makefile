# Front door: `make test` and `make demo` set up a fresh Debian machine,
# build, and run. Package installation needs root.

# What building, installing and packaging need.
BUILD_PACKAGES := cmake g++ make pkg-config libsqlite3-dev libminizip-dev \
                  zlib1g-dev dpkg-dev file
# What the tests, the demo, fuzzing, coverage and the benchmarks add.
TEST_PACKAGES := libgtest-dev python3 sqlite3 unzip util-linux mandoc lcov \
                 clang libclang-rt-dev p7zip-full libarchive-tools zip time \
                 strace lintian logrotate
JOBS ?= 2
PREFIX ?= /usr/local
# Another build to time alongside this one, e.g. BASELINE=/path/to/program.
BASELINE ?=
RUNS ?= 3

.PHONY: all deps test-deps build build-release build-asan build-fuzz fuzz \
        test torture coverage demo install package bench clean

all: build

# Installs the packages of $(1) that are missing: as root, with one
# apt-get update first; anyone else is told what to install.
define install-missing
	@missing=""; \
	for p in $(1); do \
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
endef

deps:
	$(call install-missing,$(BUILD_PACKAGES))

test-deps:
	$(call install-missing,$(BUILD_PACKAGES) $(TEST_PACKAGES))

build: test-deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j $(JOBS)

build-asan: test-deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQK_SANITIZE=ON \
	      -DQK_PROGRAM_TESTS=ON
	cmake --build build-asan -j $(JOBS)

# The string layer and path making under libFuzzer, built with clang.
FUZZ_SECONDS ?= 60
build-fuzz: test-deps
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DQK_FUZZ=ON \
	      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
	cmake --build build-fuzz -j $(JOBS) --target fuzzers

fuzz: build-fuzz
	sh fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

test: build build-asan build-fuzz
	cd build && ctest --output-on-failure -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) -LE slow
	sh fuzz/run.sh build-fuzz 5

# Every system call of a run failed with each error, interrupted and killed
# in turn, where `make test` takes a sample.
torture: build
	cd /tmp && QK_TORTURE=all /usr/bin/python3 $(CURDIR)/tests/test_torture.py \
	  $(CURDIR)/build/qkZareviVovoreRevu

# Line coverage of the library and the program over every test. Test code,
# the generated Unicode tables and system headers are left out of the count.
# The tests run some programs as nobody, which must be able to write their
# counters: hence the open directories and the cleared umask.
COVERAGE_SKIP := '/usr/*' '*_test.cpp' '*/tests/*' '*/CQKStringUnicodeTables.cpp'
coverage: test-deps
	cmake -S . -B build-cov -DCMAKE_BUILD_TYPE=Debug -DQK_COVERAGE=ON
	cmake --build build-cov -j $(JOBS)
	find build-cov -name '*.gcda' -delete
	find build-cov -type d -exec chmod a+rwx {} +
	cd build-cov && umask 000 && ctest --output-on-failure -j $(JOBS) \
	  -E test_failures || echo "Some tests failed: the figures count what ran."
	# The program narrows its own umask, so the counters its runs created are
	# opened up before the failures table runs it as nobody too.
	find build-cov -name '*.gcda' -exec chmod a+rw {} +
	cd build-cov && ctest --output-on-failure -R test_failures \
	  || echo "Some tests failed: the figures count what ran."
	lcov --quiet --capture --directory build-cov --output-file build-cov/all.info
	lcov --quiet --remove build-cov/all.info $(COVERAGE_SKIP) \
	     --output-file build-cov/code.info
	lcov --list build-cov/code.info
	lcov --summary build-cov/code.info

# The build that is installed and packaged: Debian's hardening flags from
# dpkg-buildflags (all of them, bindnow and PIE included) replace the build
# type's own, and no tests are configured, so it needs only BUILD_PACKAGES.
# The tests keep build/ to themselves.
build-release: deps
	export DEB_BUILD_MAINT_OPTIONS=hardening=+all; \
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=None -DQK_TESTS=OFF \
	      -DCMAKE_C_FLAGS="$$(dpkg-buildflags --get CPPFLAGS) $$(dpkg-buildflags --get CFLAGS)" \
	      -DCMAKE_CXX_FLAGS="$$(dpkg-buildflags --get CPPFLAGS) $$(dpkg-buildflags --get CXXFLAGS)" \
	      -DCMAKE_EXE_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)"
	cmake --build build-release -j $(JOBS)

# The program into $(DESTDIR)$(PREFIX)/bin, the manual page into
# $(DESTDIR)$(PREFIX)/share/man/man1, the completion into
# $(DESTDIR)$(PREFIX)/share/bash-completion/completions.
install: build-release
	DESTDIR="$(DESTDIR)" cmake --install build-release --prefix "$(PREFIX)"

# build-release/qkzarevivovorerevu_1.5_<arch>.deb, installing into /usr, and
# beside it the program's debugging information; checked by lintian when it
# is installed.
package: build-release
	cd build-release && cpack
	@if command -v lintian >/dev/null; then \
	  lintian --fail-on error build-release/qkzarevivovorerevu_1.5_*.deb; \
	else \
	  echo "lintian is not installed: the package was not checked."; \
	fi

demo: build
	sh tools/demo.sh build/qkZareviVovoreRevu build/demo

# Generates the benchmark projects once under build/bench/, times the program
# against the scripted alternatives and writes BENCHMARKS.md.
bench: build
	/usr/bin/python3 tools/bench.py build/qkZareviVovoreRevu --cache build/bench \
	  --runs $(RUNS) --out BENCHMARKS.md $(if $(BASELINE),--baseline $(BASELINE))

clean:
	rm -rf build build-asan build-cov build-fuzz build-release
