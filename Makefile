# Korvessa: build both libraries, run the demo, run every test.
#   make          build build/linux (library, korvessa, posterm) and build/win32 (KorvessaDLL.dll, korvessa.exe)
#   make demo     build the library and its tools only (build/demo), then run a simulated purchase end to
#                 end; installs only a compiler and CMake when they are missing
#   make check-layers  the include edges between the rooms of src/ (scripts/check-layers.sh), in seconds
#   make check    the layer check, build, then run every test: Linux, Windows (under Wine), packages,
#                 bindings, fault matrix, soak, sanitizers, fuzzing
#   make dist     the packages in build/dist: .deb and .tar.gz (Linux), .zip (Windows, 32- and 64-bit),
#                 the Python wheel (with the Linux library) and the NuGet package (both DLLs, C# assembly)
#   make test-fuzz  build the libFuzzer targets (build/fuzz, clang), replay each corpus, then FUZZ_RUNS
#                   inputs from the fixed seed FUZZ_SEED (the same run on every machine)
#   make fuzz-explore  the same targets exploring at random, FUZZ_TIME seconds each (before you stop)
#   make bench    build, then run the benchmarks (figures in BENCHMARKS.md)

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=
CTEST = ctest --output-on-failure --timeout 600
# Inputs each fuzz target makes in test-fuzz after its corpus, from the fixed seed; seconds each
# explores in fuzz-explore.
FUZZ_RUNS ?= 20000
FUZZ_SEED ?= 1
FUZZ_TIME ?= 60

.PHONY: all deps deps-demo linux win32 win64 demo dist check check-layers test test-linux test-win test-dist test-bindings test-asan test-tsan clean \
	test-matrix test-soak bench fuzz test-fuzz fuzz-explore

all: linux win32

deps:
	@scripts/install-deps.sh

build/linux/CMakeCache.txt: | deps
	cmake -S . -B build/linux -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

linux: build/linux/CMakeCache.txt
	cmake --build build/linux -j $(JOBS)

build/win32/CMakeCache.txt: | deps
	cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

win32: build/win32/CMakeCache.txt
	cmake --build build/win32 -j $(JOBS)

build/win64/CMakeCache.txt: | deps
	cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

win64: build/win64/CMakeCache.txt
	cmake --build build/win64 -j $(JOBS)

# The demo needs only a compiler and CMake: its own build tree, the library and its tools, no tests.
DEMO_TARGETS = KorvessaDLL korvessa posterm bankhost

deps-demo:
	@scripts/install-deps.sh --minimal

build/demo/CMakeCache.txt: | deps-demo
	cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DKV_TESTS=OFF $(CMAKE_FLAGS)

demo: build/demo/CMakeCache.txt
	cmake --build build/demo -j $(JOBS) --target $(DEMO_TARGETS)
	SKIP_BUILD=1 BUILD=$(CURDIR)/build/demo tools/demo/run-demo.sh

dist: linux win32 win64
	rm -rf build/dist
	cd build/linux && cpack -B $(CURDIR)/build/dist
	rm -rf build/dist/_CPack_Packages
	packaging/make-zip.sh build/win32 build/win64 build/dist
	packaging/make-wheel.sh build/linux build/dist
	packaging/make-nupkg.sh build/win32 build/win64 build/dist

test: check
check: check-layers test-linux test-win test-dist test-bindings test-matrix test-soak test-asan test-tsan test-fuzz
	@echo "All test legs passed."

# Cheap and first: a room including a room above it fails before anything is built.
check-layers:
	scripts/check-layers.sh

test-linux: linux
	cd build/linux && $(CTEST) -j 2

# The Windows leg: the 32-bit DLL's export table and imports are checked in build/win32; the tests run
# as Windows programs under Wine. A kernel without 32-bit support cannot start the 32-bit Wine loader;
# there the same sources built for 64-bit Windows run under wine64 instead.
test-win: linux win32 win64
	cd build/win32 && $(CTEST) -L static
	@if scripts/can-run-win32; then cd build/win32 && $(CTEST); \
	 else echo "32-bit Windows programs cannot run here; running the 64-bit Windows build under wine64"; fi
	cd build/win64 && $(CTEST) -LE static

# The declarations for the register's languages: the Python package in a virtual environment, and the
# C#, Free Pascal and Java examples, against the Linux library and posterm.
test-bindings: linux
	tests/bindings/run.sh build/linux

# The packages, checked as an integrator meets them (tests/packaging/check-dist.sh).
test-dist: dist
	tests/packaging/check-dist.sh build/dist $$(cat build/linux/VERSION)

# The fault matrix through the built library: on Linux in one process (resource counts checked), then the
# Windows rows with the 64-bit build under wine64 (kvwin.exe: LoadLibrary, BankTrans, FreeLibrary).
test-matrix: linux win64
	build/linux/faultmatrix
	build/linux/faultmatrix --wine build/win64

# 300 approvals in one process (a quarter with a relay round trip), then load, call, unload 50 times.
test-soak: linux
	build/linux/faultmatrix --soak 300
	build/linux/faultmatrix --reload 50

# Benchmarks (not part of check): inner paths, whole transactions, and a soak of 1000 calls for the
# resource growth. Figures in BENCHMARKS.md.
bench: linux
	cmake --build build/linux -j $(JOBS) --target bench_paths bench_transaction relay_stop_bench
	build/linux/bench_paths
	build/linux/bench_transaction
	build/linux/relay_stop_bench build/linux/libKorvessaDLL.so 5
	build/linux/faultmatrix --soak 1000

test-asan: deps
	cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=address $(CMAKE_FLAGS)
	cmake --build build/asan -j $(JOBS)
	cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 $(CTEST) -LE static

test-tsan: deps
	cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=thread $(CMAKE_FLAGS)
	cmake --build build/tsan -j $(JOBS)
	cd build/tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(CTEST) -LE static

# The fuzz leg: clang with libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer, in a build
# tree of its own (texts stay UTF-8 there: clang has no GBK execution character set).
build/fuzz/CMakeCache.txt: | deps
	CC=clang-14 CXX=clang++-14 cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_FUZZ=ON -DKV_TESTS=OFF $(CMAKE_FLAGS)

fuzz: build/fuzz/CMakeCache.txt
	cmake --build build/fuzz -j $(JOBS) --target kv_fuzz

test-fuzz: fuzz
	FUZZ_RUNS=$(FUZZ_RUNS) FUZZ_SEED=$(FUZZ_SEED) fuzz/run-fuzz.sh build/fuzz

fuzz-explore: fuzz
	FUZZ_TIME=$(FUZZ_TIME) fuzz/run-fuzz.sh --explore build/fuzz

clean:
	rm -rf build
