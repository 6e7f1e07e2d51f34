# The project's commands. Each one installs what is missing first, so they
# work on a fresh Debian 12 machine (as root).
ARCHS := x64 x86
MAKEFLAGS += --no-print-directory

.PHONY: all deps build dist demo test bench fuzz clean

all: build

deps:
	@tools/install-deps.sh

# Both architectures, from the same sources: build/x64/bin and build/x86/bin.
build: deps
	@for arch in $(ARCHS); do \
	  cmake --preset $$arch >/dev/null && cmake --build --preset $$arch || exit 1; \
	done

# The signed Windows Installer packages, build/dist/Kestrov-<version>-x64.msi
# and -x86.msi (packaging/dist.sh: signing with KESTROV_SIGN_CERT and
# KESTROV_SIGN_KEY, or KESTROV_SIGN_PKCS12 and KESTROV_SIGN_PASSWORD, or else
# the build's own test certificate). Only the product is built for them.
dist: deps
	@for arch in $(ARCHS); do \
	  cmake --preset $$arch >/dev/null && \
	  cmake --build --preset $$arch --target kestrov_amsi KestrovScanService amsiscan || exit 1; \
	done
	@packaging/dist.sh

# The main job: build the signed packages (dist), install the x64 one into
# the project's Wine prefix with msiexec, scan samples from a 64-bit and a
# 32-bit host through the installed providers and service (with a clamd of
# the demo's own behind it), show the host's signature check and that a copy
# of the service elsewhere is not trusted, and remove the package.
demo: dist
	@tools/wine-prefix.sh
	@demo/demo.sh

# Every test of both architectures under Wine. Each architecture has a Wine
# prefix (and so a wineserver and a pipe namespace) of its own, so the two
# suites run side by side; the x86 suite's output follows the x64 one's.
# A test that fails runs once more, and fails the suite only if it fails
# again: where 32-bit programs are emulated, a test program now and then
# fails to start at all (it ends within 0.1 s, before printing anything).
# Both runs show in the output. The installer packages' tests (CTest label
# "package", in the x64 build's suite) come last, on their own: they build
# both packages and install them in a Wine prefix of their own.
CTEST_FLAGS := --repeat until-pass:2
test: build
	@for arch in $(ARCHS); do WINEPREFIX=$(CURDIR)/build/wineprefix-$$arch tools/wine-prefix.sh --fresh || exit 1; done
	@echo "== tests: x64 (x86 runs alongside, its output follows)"
	@ctest --preset x86 $(CTEST_FLAGS) >build/x86-tests.log 2>&1 & x86=$$!; \
	  ctest --preset x64 -LE package $(CTEST_FLAGS); x64_status=$$?; \
	  wait $$x86; x86_status=$$?; \
	  echo "== tests: x86"; cat build/x86-tests.log; \
	  echo "== tests: installer packages (x64 and x86)"; \
	  ctest --preset x64 -L package $(CTEST_FLAGS); package_status=$$?; \
	  [ $$x64_status -eq 0 ] && [ $$x86_status -eq 0 ] && [ $$package_status -eq 0 ]

# The benchmark, x64 then x86, each in a Wine prefix of its own and with a
# clamd of its own (build/<arch>/bench-clamd, the sample signatures) for the
# figures of scans judged by clamd; both are stopped afterwards, also when
# the benchmark fails or is interrupted, so that no wineserver or clamd
# lingers. Without clamd the benchmark runs and says those figures were
# skipped. Tables on stdout, the figures in build/<arch>/bench.json. Only the
# benchmark and what it runs are built.
bench: deps
	@for arch in $(ARCHS); do \
	  cmake --preset $$arch >/dev/null && \
	  cmake --build --preset $$arch --target KestrovBench || exit 1; \
	done
	@for arch in $(ARCHS); do \
	  prefix=$(CURDIR)/build/wineprefix-bench-$$arch; \
	  clamd_dir=$(CURDIR)/build/$$arch/bench-clamd; \
	  ( trap 'tools/clamd.sh stop "$$clamd_dir" >/dev/null 2>&1; \
	          WINEPREFIX="$$prefix" wineserver -k >/dev/null 2>&1' EXIT; \
	    trap 'exit 130' INT TERM; \
	    WINEPREFIX=$$prefix tools/wine-prefix.sh || exit 1; \
	    clamd_port=; \
	    if tools/clamd.sh start "$$clamd_dir" tools/clamd-rules >&2; then \
	      clamd_port="--clamd-port $$(cat "$$clamd_dir/port")"; \
	    else \
	      echo "bench: clamd did not start; the figures with clamd are skipped" >&2; \
	    fi; \
	    WINEPREFIX=$$prefix WINEDEBUG=-all tools/wine-run build/$$arch/bin/KestrovBench.exe \
	      $$clamd_port ) || exit $$?; \
	done

# Long runs of the reliability suite: per architecture, the provider fuzzer
# (N cases from SEED, a fresh seed by default; each run prints the seed that
# reproduces it), the service fuzzer (ROUNDS rounds) and the leak soak
# (10,000 scans); then the load run of both architectures at once (64
# threads in four hosts, LOAD scans per thread). The two architectures'
# fuzzers run side by side, each in its own Wine prefix.
N ?= 20000
ROUNDS ?= 200
LOAD ?= 1000
fuzz: build
	@for arch in $(ARCHS); do WINEPREFIX=$(CURDIR)/build/wineprefix-$$arch tools/wine-prefix.sh || exit 1; done
	@seed=$${SEED:-$$(date +%s)}; \
	  for arch in $(ARCHS); do \
	    ( export WINEPREFIX=$(CURDIR)/build/wineprefix-$$arch; bin=build/$$arch/bin; \
	      status=0; \
	      tools/wine-run $$bin/KestrovProviderFuzz.exe --cases $(N) --seed $$seed || status=1; \
	      tools/wine-run $$bin/KestrovServiceFuzz.exe --rounds $(ROUNDS) --seed $$seed || status=1; \
	      tools/wine-run $$bin/KestrovLeakSoak.exe --scans 10000 || status=1; \
	      exit $$status ) >build/fuzz-$$arch.log 2>&1 & \
	    eval "pid_$$arch=$$!"; \
	  done; \
	  status=0; \
	  for arch in $(ARCHS); do \
	    eval "wait \$$pid_$$arch" || status=1; \
	    echo "== fuzz: $$arch (seed $$seed)"; cat build/fuzz-$$arch.log; \
	  done; \
	  echo "== load"; fuzz/load.sh $(LOAD) || status=1; \
	  exit $$status

clean:
	-@for prefix in build/wineprefix build/wineprefix-x64 build/wineprefix-x86 build/wineprefix-dist \
	    build/wineprefix-bench-x64 build/wineprefix-bench-x86 build/wineprefix-load; do \
	  WINEPREFIX=$(CURDIR)/$$prefix wineserver -k >/dev/null 2>&1; done
	rm -rf build
