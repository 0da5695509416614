# The two commands a new user needs: `make demo` and `make test`.
PRESETS := linux linux-asan linux-tsan win32 win64

.PHONY: all demo test deps build-% test-% bench fuzz dist clean

all: build-linux

deps:
	@scripts/install-deps

build-%: deps
	cmake --preset $*
	cmake --build --preset $*

test-%: build-%
	ctest --preset $*

# Configure, build and run every test of every preset: C++ on Linux (plain,
# AddressSanitizer, ThreadSanitizer) and under Wine (32- and 64-bit), Java in a
# real JVM (plain and with AddressSanitizer); then build exactly what ships
# (make dist: the release builds of all three platforms, twice) and check the
# archives.
test: deps
	@set -e; for p in $(PRESETS); do $(MAKE) --no-print-directory test-$$p; done
	$(MAKE) --no-print-directory dist
	tests/check_dist.py build/dist

# A real trading session against the simulator's demonstration market.
DEMO_ARGS ?=
# JDK 22 and later get --enable-native-access, so that no JDK warns about the
# bridge being loaded.
JAVA ?= java
# It builds (in build/demo) and installs only what it runs: the bridge, the
# simulator and the demo's jars, with a compiler, CMake and a JDK.
demo:
	@scripts/install-deps demo
	cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DJW_TESTS=OFF
	cmake --build build/demo --target demo -j2
	@flags=; [ "$$(scripts/jdk-major $(JAVA))" -ge 22 ] && flags=--enable-native-access=ALL-UNNAMED; \
	set -x; $(JAVA) $$flags -Djavawrapper.library=$(CURDIR)/build/demo/bin/libJavaWrapper.so \
	  -cp build/demo/bin/clientapi.jar:build/demo/bin/demo.jar \
	  korvane.demo.TradingDemo $(DEMO_ARGS)

# The parsers' fuzz target for longer than the test run gives it.
FUZZ_SECONDS ?= 300
fuzz: build-linux
	mkdir -p build/linux/fuzz/corpus
	build/linux/bin/legs_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=512 \
	  build/linux/fuzz/corpus fuzz/corpus

# The bridge measured against JNA and the JNI floors; the table goes to
# build/linux/bench/results.md and results.json.
bench: build-linux
	cmake --build --preset linux --target run_bench

# Versioned, reproducible release archives and their checksums in build/dist/.
dist: deps
	scripts/dist

clean:
	rm -rf build
