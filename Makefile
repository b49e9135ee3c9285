# Two entry points for a fresh Debian machine (run as root, or with sudo available):
#   make demo   install only what the tool needs (compiler, cmake, ninja, CLI11, JSON),
#               build the libraries and the tool, run a demo acquisition on the simulated card
#   make test   install everything, build everything with warnings as errors, run the whole
#               test suite (also under ASan+UBSan, the concurrency tests under TSan, the
#               Windows cross-build checks of both widths, and the real Tq4815x.sys of both
#               widths on Wine's kernel)
# Finer targets: deps, build, check (plain suite only), host, asan, tsan, win32, win64, wine-kernel.
# Optional, not part of make test: mutants (the mutation campaign, tests/mutants/).

SHELL := /bin/bash
JOBS ?= $(shell nproc)
# Debian's interpreter, which has python3-numpy and python3-pytest (one first on PATH may not).
PYTHON3 := $(shell [ -x /usr/bin/python3 ] && echo /usr/bin/python3 || echo python3)
BUILD ?= build
# What the tool needs to build and run (make demo).
DEMO_PACKAGES := cmake ninja-build g++ libcli11-dev nlohmann-json3-dev
# Everything (make test): test and benchmark frameworks, the Windows cross-compiler;
# wine and wine32 run the Windows build's programs (the Win32 conformance programs, the
# checks of TAVLON.dll and its import library, and the driver on Wine's kernel) under Wine;
# wine64 runs the x64 build's; clang and lld link a program against TAVLON.lib the way
# another Windows toolchain would; python3-numpy and python3-pytest run the Python package's
# tests.
PACKAGES := $(DEMO_PACKAGES) libgtest-dev libgmock-dev libbenchmark-dev mingw-w64 \
            python3 python3-numpy python3-pytest wine wine32:i386 wine64 clang lld
ALL_COMPONENTS := platform;sim;driver;library;tools;tests;bench
DEMO_COMPONENTS := platform;sim;driver;library;tools

.PHONY: demo test deps deps-demo build check host asan tsan win32 win64 wine-kernel mutants clean

# install PACKAGE...: installs the packages not yet installed (i386 ones add the architecture).
define install
	@missing=$$(for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing: $$missing"; \
	  if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	  case "$$missing" in *:i386*) $$SUDO dpkg --add-architecture i386 ;; esac; \
	  $$SUDO apt-get update && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y $$missing; \
	fi
endef

deps:
	$(call install,$(PACKAGES))

deps-demo:
	$(call install,$(DEMO_PACKAGES))

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DTQ_WERROR=ON -DTQ_COMPONENTS="$(ALL_COMPONENTS)"
	cmake --build $(BUILD) -j $(JOBS)

demo: deps-demo
	cmake -S . -B $(BUILD) -G Ninja -DTQ_COMPONENTS="$(DEMO_COMPONENTS)"
	cmake --build $(BUILD) -j $(JOBS) --target tq4815
	$(BUILD)/bin/tq4815 acquire --output demo.csv --plot demo.svg --force
	@echo "wrote demo.csv, demo.json and demo.svg"

check: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

# The tool's tests, the library's outside clients and the Python package's tests once more,
# every process of them using one machine host (tq4815 host, named by TQ4815_HOST) instead
# of booting a machine of its own; the host must then stop cleanly with its verifier silent.
# One test at a time: tests that ask for different cards take turns on the one machine.
host: build
	cd $(BUILD) && ../tests/tools/with_host.sh bin/tq4815 bash -c \
	  "ctest --output-on-failure -j 1 --timeout 600 -R '^(ToolRun|TAVLON)\.' && \
	   TAVLON_LIBRARY=$$PWD/lib/libTAVLON.so $(PYTHON3) -m pytest -q -p no:cacheprovider ../python/tests"

asan: deps
	cmake -S . -B build-asan -G Ninja -DTQ_WERROR=ON -DTQ_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 900 -LE long

tsan: deps
	cmake -S . -B build-tsan -G Ninja -DTQ_WERROR=ON -DTQ_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTQ_COMPONENTS="platform;sim;driver;library;tests"
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS) --timeout 900 -L concurrency

win32: deps
	cmake -S . -B build-win32 -G Ninja -DTQ_WERROR=ON -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
	cmake --build build-win32 -j $(JOBS)
	cd build-win32 && ctest --output-on-failure -LE wine-kernel

# The same deliverables for 64-bit Windows, their programs run in a 64-bit Wine prefix.
# The 32-bit build's programs (built first) talk to the x64 driver there as well.
win64: deps win32
	cmake -S . -B build-win64 -G Ninja -DTQ_WERROR=ON -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x64.cmake \
	  -DTQ_WOW64_PROGRAMS=$(CURDIR)/build-win32/bin
	cmake --build build-win64 -j $(JOBS)
	cd build-win64 && ctest --output-on-failure -LE wine-kernel

# The real Tq4815x.sys of each width loaded by Wine's kernel in a prefix of its own
# (build-win*/wineprefix-kernel, its log beside it), driven from a Windows program.
wine-kernel: win32 win64
	cd build-win32 && ctest --output-on-failure -L wine-kernel
	cd build-win64 && ctest --output-on-failure -L wine-kernel

test: check host asan tsan win32 win64 wine-kernel

# Applies each mutant of tests/mutants/*.ini to a scratch copy of the tree (build-mutants/)
# and runs the tests that guard it; fails unless every mutant is killed.
mutants: deps
	python3 tests/mutants/run_mutants.py --work $(CURDIR)/build-mutants

clean:
	rm -rf build build-asan build-tsan build-win32 build-win64 build-mutants
