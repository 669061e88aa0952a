# The two commands: `make demo` and `make test`. Both install what is missing
# first (scripts/setup.sh, idempotent), so a fresh Debian machine needs nothing else.

PRESETS := linux linux-asan mingw64 mingw32 fuzz
FUZZ_RUNS ?= 100000
FUZZ_SECONDS ?= 600
CTEST_JOBS ?= 2

.PHONY: all setup setup-demo build installer demo package test bench soak clean

all: build

setup:
	@sh scripts/setup.sh test

setup-demo:
	@sh scripts/setup.sh demo

# build-<preset>: configure once, then build.
build-%:
	@test -f build/$*/CMakeCache.txt || cmake --preset $* >/dev/null
	cmake --build --preset $*

# The cross builds come first: the Wine tests of the linux build run them,
# and the installer ships what they made.
build: setup
	@$(MAKE) --no-print-directory build-mingw64 build-mingw32
	@$(MAKE) --no-print-directory build-linux build-linux-asan build-fuzz installer

# build/linux/installer/BrenvikSetup-<version>.exe, from both cross builds.
installer: setup
	@$(MAKE) --no-print-directory build-mingw64 build-mingw32 build-linux
	cmake --build --preset linux --target brenvik_setup

# The demo needs only the native toolchain: its own preset builds no tests.
demo: setup-demo
	@$(MAKE) --no-print-directory build-demo
	@sh examples/run-demo.sh build/demo
	@sh examples/run-service-demo.sh build/demo

# build/package/*.deb: libbrenvik2, libbrenvik-dev, brenvik-tools and brenvikd
# (cmake/BrenvikPackaging.cmake), from a tree of their own installed under
# /usr, then checked by lintian.
package:
	@sh scripts/setup.sh package
	@test -f build/package/CMakeCache.txt || cmake --preset demo -B build/package -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
	cmake --build build/package
	rm -f build/package/*.deb
	cd build/package && cpack
	lintian --fail-on error,warning build/package/*.deb

test: build
	cd build/linux && ctest --output-on-failure -j $(CTEST_JOBS)
	cd build/linux-asan && ctest --output-on-failure -j $(CTEST_JOBS) -L unit
	mkdir -p build/fuzz/corpus
	@echo "fuzz_reply: $(FUZZ_RUNS) runs over the reply interpretation"
	@./build/fuzz/tests/fuzz/fuzz_reply -runs=$(FUZZ_RUNS) -max_total_time=80 -seed=1 -max_len=1024 \
	    build/fuzz/corpus tests/fuzz/corpus >build/fuzz/fuzz.log 2>&1; \
	    status=$$?; tail -n 3 build/fuzz/fuzz.log; exit $$status

# A long fuzz run: make fuzz FUZZ_SECONDS=3600. What it finds stays in
# build/fuzz (corpus, crash-* files); the last lines give runs and speed.
fuzz: setup
	@$(MAKE) --no-print-directory build-fuzz
	mkdir -p build/fuzz/corpus
	@echo "fuzz_reply: $(FUZZ_SECONDS) s over the reply interpretation"
	@cd build/fuzz && ./tests/fuzz/fuzz_reply -max_total_time=$(FUZZ_SECONDS) -max_len=1024 \
	    -print_final_stats=1 corpus ../../tests/fuzz/corpus >fuzz-long.log 2>&1; \
	    status=$$?; grep -E '^#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::average_exec_per_sec|ERROR|SUMMARY' fuzz-long.log; \
	    exit $$status

bench: setup
	@$(MAKE) --no-print-directory build-linux
	./build/linux/bench/brenvik_bench
	./build/linux/bench/brenvikd_bench
	./build/linux/bench/brenvikd_fleet_bench
	@# 64 simulators, their clients and the service outrun two cores: 16 show
	@# the service's own scaling where the machine is not the limit.
	FLEET_PRINTERS=16 ./build/linux/bench/brenvikd_fleet_bench

# 10,000 checks against the simulator: memory, the log's archiving, and the
# engine's totals beside the printer's every 1,000 (SOAK_CHECKS=N for more).
SOAK_CHECKS ?= 10000
soak: setup
	@$(MAKE) --no-print-directory build-linux
	./build/linux/tests/soak/brenvik_soak --checks $(SOAK_CHECKS)

clean:
	rm -rf build
