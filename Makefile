# Top-level entry points. `make run` builds the optimised programs and runs
# the whole study through the simulation manager (simmgr); `make test` builds
# and runs the whole test suite twice, once optimised and once under
# AddressSanitizer and UndefinedBehaviorSanitizer, then runs every fuzz
# harness over its corpus and for a short while; `make fuzz` runs every fuzz
# harness for FUZZ_RUNS executions (a million by default) and fails on any
# finding; `make test-cluster` runs the study through a real ssh server and a
# real Slurm cluster on loopback.

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# Looked up when a recipe runs, after `deps` has installed Ninja: looked up
# when make starts, a fresh machine would configure its build folders for
# Makefiles and every later make, Ninja found, would fail on the mismatch.
GENERATOR = $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
RELEASE_DIR := build/release
SANITIZE_DIR := build/sanitize
FUZZ_DIR := build/fuzz
FUZZ_RUNS ?= 1000000
PROFILE_DIR := build/profile
PROFILE := $(CURDIR)/$(PROFILE_DIR)/data
OPTIMISE := -DKORVAN_PGO=use -DKORVAN_PGO_DIR="$(PROFILE)" -DKORVAN_LTO=ON

.PHONY: all deps pgo-profile build run test test-release test-sanitize test-fuzz test-cluster fuzz fuzz-build bench coverage clean

all: build

# Installs the Debian packages the build needs that are missing (silent when
# none is).
deps:
	@tools/install-deps build

# The optimised programs are compiled with a profile of their own runs and
# linked with link-time optimisation (see `pgo-profile`).
build: pgo-profile
	cmake -S . -B $(RELEASE_DIR) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release $(OPTIMISE)
	cmake --build $(RELEASE_DIR) -j $(JOBS)

# The profile: an instrumented build of the simulator and of the
# hand-written baseline runs 200 replications of experiments 0, 17 and 35
# each (under a second), recording which branches and calls are taken; the
# optimised builds are compiled with what it recorded. Made again at every
# build, so that it always describes the sources as they are.
pgo-profile: deps
	cmake -S . -B $(PROFILE_DIR) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DKORVAN_BUILD_TESTS=OFF \
	  -DKORVAN_PGO=generate -DKORVAN_PGO_DIR="$(PROFILE)"
	cmake --build $(PROFILE_DIR) -j $(JOBS) --target simulator baseline_simulator
	rm -rf "$(PROFILE)"
	@for program in simulator/simulator bench/baseline_simulator; do \
	  for e in 0 17 35; do \
	    ./$(PROFILE_DIR)/$$program -e $$e -N 200 >/dev/null 2>$(PROFILE_DIR)/training.log \
	      || { cat $(PROFILE_DIR)/training.log; echo "profile: $$program -e $$e failed"; exit 1; }; \
	  done; \
	done

# The whole study: every experiment until each probability of failure is
# known to within 0.01 at 99% confidence (under 80 s on two cores); the
# table goes to the terminal, results.csv, results.json and reliability.svg
# to results/.
run: build
	./$(RELEASE_DIR)/simulator/simmgr --experiments 0-35 --abs-precision 0.01 --confidence 0.99 --out results

test: test-release test-sanitize test-fuzz

test-release: build
	cd $(RELEASE_DIR) && ctest --output-on-failure -j $(JOBS)

test-sanitize: deps
	cmake -S . -B $(SANITIZE_DIR) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVAN_SANITIZE=ON
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	cd $(SANITIZE_DIR) && \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

# The study locally, through ssh and as Slurm job steps, against an ssh
# server and a one-node Slurm cluster brought up on 127.0.0.1 for the run
# (as root; skipped otherwise). See tools/cluster/.
test-cluster: build
	tools/cluster/test-cluster $(RELEASE_DIR)

# The fuzz harnesses need clang and its fuzzer runtime (the `fuzz` set).
fuzz-build: deps
	@tools/install-deps build fuzz
	cmake -S . -B $(FUZZ_DIR) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DKORVAN_FUZZ=ON -DKORVAN_BUILD_TESTS=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS)

# Each harness over its corpus, then a short bounded run (see tests/fuzz).
test-fuzz: fuzz-build
	cd $(FUZZ_DIR) && ctest --output-on-failure -j $(JOBS)

# Each harness for FUZZ_RUNS executions after its corpus; new inputs go to
# build/fuzz/work/<harness>, findings to build/fuzz/findings/. Stops at the
# first harness with a finding (a crash, a broken invariant, a leak or a hang
# of more than 10 s), with a non-zero status.
fuzz: fuzz-build
	@mkdir -p $(FUZZ_DIR)/findings
	@for harness in $(FUZZ_DIR)/tests/fuzz/*_fuzzer; do \
	  name=$$(basename $$harness); \
	  mkdir -p $(FUZZ_DIR)/work/$$name; \
	  echo "== $$name: $(FUZZ_RUNS) runs"; \
	  $$harness -runs=$(FUZZ_RUNS) -timeout=10 -print_final_stats=1 \
	    -artifact_prefix=$(CURDIR)/$(FUZZ_DIR)/findings/$$name- \
	    $(FUZZ_DIR)/work/$$name tests/fuzz/corpus/$$name 2>$(FUZZ_DIR)/$$name.log \
	    || { tail -n 40 $(FUZZ_DIR)/$$name.log; echo "$$name: finding, see $(FUZZ_DIR)/findings"; exit 1; }; \
	  grep -E '^stat::number_of_executed_units|^stat::new_units_added' $(FUZZ_DIR)/$$name.log; \
	done

# The Google Benchmark programs, then the simulator against the hand-written
# baseline (processor-time ratio, and instructions under callgrind: valgrind
# and perf come with the profile set of packages).
bench: pgo-profile
	@tools/install-deps build profile
	cmake -S . -B build/bench $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DKORVAN_BUILD_BENCH=ON -DKORVAN_BUILD_TESTS=OFF \
	  $(OPTIMISE)
	cmake --build build/bench -j $(JOBS)
	for b in build/bench/bench/*_bench; do $$b || { echo "$$b failed"; exit 1; }; done

# How often the intervals contain the true value: 400 precision-driven runs
# of experiments 0 and 35 (--abs-precision 0.02, each with another base
# seed), against the reference values in tools/coverage-reference.txt. Long
# (about six minutes on two cores, one simulator at a time), so not
# part of `make test`. The figures alone, again, from the runs' intervals:
# build/release/tools/measure_coverage --summarise --work build/release/coverage
coverage: build
	nice ./$(RELEASE_DIR)/tools/measure_coverage --simmgr $(RELEASE_DIR)/simulator/simmgr \
	  --repetitions 400 --work $(RELEASE_DIR)/coverage

clean:
	rm -rf build
