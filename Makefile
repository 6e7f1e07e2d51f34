# The project's commands. Each one installs what is missing first, so they
# work on a fresh Debian 12 machine (as root).
ARCHS := x64 x86
MAKEFLAGS += --no-print-directory

.PHONY: all deps build demo test clean

all: build

deps:
	@tools/install-deps.sh

# Both architectures, from the same sources: build/x64/bin and build/x86/bin.
build: deps
	@for arch in $(ARCHS); do \
	  cmake --preset $$arch >/dev/null && cmake --build --preset $$arch || exit 1; \
	done

# The main job: install the provider and the scan service into the project's
# Wine prefix, register both DLLs, scan samples from a 64-bit and a 32-bit
# host, show that a copy of the service elsewhere is not trusted.
demo: build
	@tools/wine-prefix.sh
	@demo/demo.sh

# Every test of both architectures under Wine, one architecture after the
# other (their tests share the service pipe's name).
test: build
	@tools/wine-prefix.sh
	@status=0; for arch in $(ARCHS); do \
	  echo "== tests: $$arch"; \
	  ctest --preset $$arch || status=1; \
	done; exit $$status

clean:
	-@WINEPREFIX=$(CURDIR)/build/wineprefix wineserver -k >/dev/null 2>&1
	rm -rf build
