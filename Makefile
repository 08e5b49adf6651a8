# Top-level entry points.  Each installs the Debian packages it needs first.
#   make        build the deliverables into dist/ (32-bit) and dist/x64/ (the library for 64-bit hosts)
#   make demo   build, register the library in private Wine prefixes, show it working
#   make test   every test (CTest, under Wine and Xvfb), for both builds
#   make bench  the benchmarks, printing figures (the 32-bit build only where 32-bit programs run natively)
#   make screenshot  a picture of MVU's window under Xvfb, into docs/mvu.png
#   make release     one zip of the deliverables with SHA256SUMS, into release/;
#                    signed when SIGN_PFX=<file.pfx> SIGN_PASSWORD_FILE=<file> are given
#                    (SIGN_CAFILE=<ca.pem> to verify against, SIGN_CRLFILE=<crls.pem> to check
#                    revocation against, SIGN_TIMESTAMP_URL=<url> for a time stamp)
# One CMake project configured twice: $(BUILD)/x86 for 32-bit Windows (a
# 32-bit Wine prefix), $(BUILD)/x64 for 64-bit Windows (a 64-bit prefix).
BUILD ?= build
X86 = $(BUILD)/x86
X64 = $(BUILD)/x64
MAKEFLAGS += --no-print-directory

.PHONY: all deps configure build demo test bench bench-run bench-tree screenshot release clean

all: build

deps:
	@tools/install-deps

# Each tree is configured once; later builds re-run CMake themselves when its
# files change.
configure: deps
	@[ -f $(X86)/CMakeCache.txt ] || cmake -S . -B $(X86) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-mingw.cmake -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
	@[ -f $(X64)/CMakeCache.txt ] || cmake -S . -B $(X64) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-mingw.cmake -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null

# Every target that runs Windows programs runs them in a session (tools/session)
# that ends the prefixes' Wine servers, and the Xvfb it started, when it ends.
SESSION = tools/session $(X86)/wine-run $(X64)/wine-run --

build: configure
	@$(SESSION) sh -c 'cmake --build $(X86) -j2 && cmake --build $(X64) -j2'

demo: build
	@$(SESSION) tools/demo $(X86) $(X64)

# The two trees at the same time: each has its own prefix and its own X
# display (so its own clipboard).  Each tree's output is shown when both have
# ended; both run even when one has failures.  Last, nothing of the build may
# still be running.
test: build
	@status=0; \
	env -u DISPLAY tools/session $(X86)/wine-run -- ctest --test-dir $(X86) --output-on-failure >$(X86)/test.log 2>&1 & x86=$$!; \
	env -u DISPLAY tools/session $(X64)/wine-run -- ctest --test-dir $(X64) --output-on-failure >$(X64)/test.log 2>&1 & x64=$$!; \
	wait $$x86 || status=1; wait $$x64 || status=1; \
	for tree in $(X86) $(X64); do echo "== $$tree"; cat $$tree/test.log; done; \
	tools/leftovers $(CURDIR)/$(BUILD) || status=1; exit $$status

bench: build
	@$(SESSION) $(MAKE) bench-run

# Each build in a process of its own bitness; the 32-bit one only where 32-bit
# programs run natively: emulated timings say nothing of the product.
bench-run:
	@case "$$(tools/runs-32-bit)" in \
	native) $(MAKE) bench-tree TREE=$(X86) LIB=dist/IMV_v11.dll BITS=32 ;; \
	emulated) echo "== 32-bit build: not measured, this machine runs 32-bit programs only through an emulator" ;; \
	*) echo "== 32-bit build: SKIPPED, this machine cannot run 32-bit programs" ;; esac
	@$(MAKE) bench-tree TREE=$(X64) LIB=dist/x64/IMV_v11.dll BITS=64

bench-tree:
	@cmake --build $(TREE) --target benchmarks -j2
	@echo "== $(BITS)-bit build, $(LIB), in a $(BITS)-bit process"
	@$(TREE)/wine-run regsvr32 /s "Z:$(CURDIR)/$(LIB)"
	@$(TREE)/wine-run $(TREE)/bin/bench_registry.exe
	@echo "Handles and memory over a session of 200,000 calls by name:"
	@IMV_SOAK_CALLS=200000 $(TREE)/wine-run $(TREE)/bin/soak_test.exe | grep -E "^after|OK|FAILED"

screenshot: build
	@tools/install-deps screenshot
	@$(SESSION) tools/screenshot-mvu $(X86) docs/mvu.png

export SIGN_PFX SIGN_PASSWORD_FILE SIGN_CAFILE SIGN_CRLFILE SIGN_TSA_CAFILE SIGN_TIMESTAMP_URL
release: build
	@tools/release dist release $(X86)/gen/IMV_v11.wxi $(X64)/gen/IMV_v11.wxi

clean:
	rm -rf $(BUILD) dist release
