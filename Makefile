# The two commands a new user needs: `make demo` and `make test`.
PRESETS := linux win32 win64

.PHONY: all demo test deps build-% test-% bench clean

all: build-linux

deps:
	@scripts/install-deps

build-%: deps
	cmake --preset $*
	cmake --build --preset $*

test-%: build-%
	ctest --preset $*

# Configure, build and run every test of every preset: C++ on Linux and under
# Wine (32- and 64-bit), Java in a real JVM.
test: deps
	@set -e; for p in $(PRESETS); do $(MAKE) --no-print-directory test-$$p; done

demo: build-linux

clean:
	rm -rf build
