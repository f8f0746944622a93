# Thin wrapper around CMake. `make test` and `make demo` are all a new user needs.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_RUNS  ?= -1
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX     ?= /usr/local
DESTDIR    ?=

.PHONY: all deps build build-asan build-tsan test format format-check demo bench install deb fuzz clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOGLATHE_WERROR=ON >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DLOGLATHE_WERROR=ON -DLOGLATHE_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)

# Only the program and the tests: the threads run in the program the end-to-end tests start.
build-tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOGLATHE_WERROR=ON -DLOGLATHE_TSAN=ON >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS) --target loglathe loglathe_tests

# The tests that run threads: every end-to-end test (the program converts on several workers) and
# the concurrency tests of the libraries.
TSAN_TESTS ?= ^(EndToEnd|FaultInjection|Jobs|DiagSequence|InputWalker|Progress)|Concurren|Thread

test: format-check build build-asan build-tsan
	@echo "== tests (release build, -Werror) =="
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@echo "== tests (AddressSanitizer + UndefinedBehaviorSanitizer) =="
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)
	@echo "== tests with threads (ThreadSanitizer) =="
	@cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:allocator_may_return_null=1:suppressions=$(CURDIR)/tests/tsan.supp ctest --output-on-failure -j $(JOBS) -R '$(TSAN_TESTS)'

# Every source and test file follows .clang-format; `make test` fails on one that does not.
format: deps
	@scripts/format.sh

format-check: deps
	@scripts/format.sh --check

demo: build
	@scripts/demo.sh $(BUILD)/loglathe

bench: build
	@scripts/bench.sh $(BUILD)/loglathe

# The binary, the man page, the bash completion, README and LICENSE below $(DESTDIR)$(PREFIX).
install: build
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# A Debian package in this folder: sudo apt-get install ./loglathe_*.deb
deb: build
	@rm -f loglathe_*.deb
	@rm -rf $(BUILD)/package
	@cpack --config $(BUILD)/CPackConfig.cmake -B $(BUILD)/package >/dev/null
	@cp $(BUILD)/package/loglathe_*.deb .
	@ls loglathe_*.deb

# Builds the fuzz targets with clang, libFuzzer and the sanitizers, then runs each for FUZZ_SECONDS
# or FUZZ_RUNS executions, whichever comes first (scripts/fuzz.sh says where findings go).
fuzz:
	@scripts/install-deps.sh --fuzz
	@cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
		-DLOGLATHE_FUZZ=ON -DLOGLATHE_WERROR=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers
	@scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_RUNS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) loglathe_*.deb
