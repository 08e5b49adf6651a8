# Top-level entry points.  Each installs the Debian packages it needs first.
#   make        build the deliverables into dist/
#   make demo   build, register the library in a private Wine prefix, show it working
#   make test   every test (CTest, under Wine and Xvfb)
#   make bench  the benchmarks, printing figures
#   make screenshot  a picture of MVU's window under Xvfb, into docs/mvu.png
BUILD ?= build
MAKEFLAGS += --no-print-directory

.PHONY: all deps configure build demo test bench screenshot clean

all: build

deps:
	@tools/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-mingw.cmake -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null

build: configure
	@cmake --build $(BUILD) -j2

demo: build
	@tools/demo $(BUILD)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure

bench: build
	@cmake --build $(BUILD) --target benchmarks -j2
	@$(BUILD)/wine-run regsvr32 /s "Z:$(CURDIR)/dist/IMV_v11.dll"
	@$(BUILD)/wine-run $(BUILD)/bin/bench_registry.exe

screenshot: build
	@tools/install-deps screenshot
	@tools/screenshot-mvu $(BUILD) docs/mvu.png

clean:
	rm -rf $(BUILD) dist
