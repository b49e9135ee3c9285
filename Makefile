# Two entry points for a fresh Debian machine (run as root, or with sudo available):
#   make demo   install what is missing, build, run a demo acquisition on the simulated card
#   make test   install what is missing, build, run the whole test suite (also under
#               ASan+UBSan, the concurrency tests under TSan, the Windows cross-build checks,
#               and the real Tq4815x.sys on Wine's kernel)
# Finer targets: deps, build, check (plain suite only), asan, tsan, win32, wine-kernel.

SHELL := /bin/bash
JOBS ?= $(shell nproc)
BUILD ?= build
# wine and wine32 run the Windows build's programs (the Win32 conformance programs, the
# checks of TAVLON.dll and its import library, and the driver on Wine's kernel) under Wine;
# clang and lld link a program against TAVLON.lib the way another Windows toolchain would.
PACKAGES := cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev mingw-w64 \
            python3 python3-numpy wine wine32:i386 clang lld

.PHONY: demo test deps build check asan tsan win32 wine-kernel clean

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing: $$missing"; \
	  if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	  $$SUDO dpkg --add-architecture i386; \
	  $$SUDO apt-get update && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) -G Ninja
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	$(BUILD)/bin/tq4815 acquire --output demo.csv --plot demo.svg
	@echo "wrote demo.csv and demo.svg"

check: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

asan: deps
	cmake -S . -B build-asan -G Ninja -DTQ_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 900 -LE long

tsan: deps
	cmake -S . -B build-tsan -G Ninja -DTQ_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTQ_COMPONENTS="platform;sim;driver;library;tests"
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS) --timeout 900 -L concurrency

win32: deps
	cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
	cmake --build build-win32 -j $(JOBS)
	cd build-win32 && ctest --output-on-failure -LE wine-kernel

# The real Tq4815x.sys loaded by Wine's kernel in a 32-bit prefix of its own
# (build-win32/wineprefix-kernel, its log beside it), driven from a Windows program.
wine-kernel: win32
	cd build-win32 && ctest --output-on-failure -L wine-kernel

test: check asan tsan win32 wine-kernel

clean:
	rm -rf build build-asan build-tsan build-win32
