# The project's commands. Each one installs what is missing first, so they
# work on a fresh Debian 12 machine (as root).
ARCHS := x64 x86
MAKEFLAGS += --no-print-directory

.PHONY: all deps build test clean

all: build

deps:
	@tools/install-deps.sh

# Both architectures, from the same sources: build/x64/bin and build/x86/bin.
build: deps
	@for arch in $(ARCHS); do \
	  cmake --preset $$arch >/dev/null && cmake --build --preset $$arch || exit 1; \
	done

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
