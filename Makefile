# Entry points for developers and CI.  The builds themselves are the CMake
# presets in CMakePresets.json; each lives in build/<preset>.
#
#   make test            installs missing tools, checks the formatting, builds
#                        the library under clang's thread-safety analysis (tsa),
#                        builds and tests the default, asan, tsan and armhf
#                        presets in turn, builds a plain cmake configuration
#                        that lacks the tool's and the tests' libraries
#                        (test-plain), runs each fuzz target briefly, and
#                        checks that no IPC object or test process was left
#                        behind
#   make build           builds the default preset
#   make demo            builds (library and demo only) and runs the recorder
#                        demo on a fresh disk image
#   make bench           measures the library against raw writes and ext4 and
#                        writes docs/performance.md, and the browse commands
#                        into docs/browse-performance.md (BROWSE_ARGS: blocks,
#                        MiB of the large recording, repeats); BENCH_ARGS passes options,
#                        e.g. --quick (short), --paced-seconds=120, --only=paced
#                        (docs/performance.md lists them)
#   make install PREFIX=/some/prefix
#                        a release build of the library (and of the tool when
#                        its libraries are there), without the tests
#   make format / make format-check
#   make clean           removes the preset build directories

PREFIX ?= /usr/local
TEST_PRESETS := default asan tsan armhf
PRESETS := default asan tsan armhf release fuzz tsa
# Plain cmake builds beside the presets: what users get without presets, and
# the checks of that.
PLAIN_DIRS := package plain
BUILD_DIRS := $(addprefix $(CURDIR)/build/,$(PRESETS) $(PLAIN_DIRS))
FORMAT_DIRS := src include tests tools bench examples fuzz
CLANG_FORMAT ?= clang-format

SHELL := /bin/bash

.PHONY: test test-all test-plain build install package format format-check clean deps demo bench \
        fuzz tsan stress \
        $(addprefix test-,$(TEST_PRESETS)) $(addprefix build-,$(PRESETS))

deps:
	@scripts/install-deps.sh

# One preset: configure, build, run its tests, and say how long it took.
# ctest's output is kept in build/<preset>/ctest-output.log for the summary.
define preset_test
test-$(1): deps
	@set -o pipefail; start=$$$$(date +%s); \
	echo "==== $(1): configure, build, test"; \
	rm -f build/$(1)/ctest-output.log; \
	cmake --preset $(1) && cmake --build --preset $(1) && \
	  ctest --preset $(1) 2>&1 | tee build/$(1)/ctest-output.log; \
	status=$$$$?; \
	echo "==== $(1): $$$$(( $$$$(date +%s) - start )) s, exit $$$$status"; \
	exit $$$$status
endef
$(foreach p,$(TEST_PRESETS),$(eval $(call preset_test,$(p))))

# A plain configure (no preset, the default generator and build type) on a
# machine without CLI11, fmt, nlohmann-json and GoogleTest, as far as CMake
# can tell: the library must still configure, build and install.  Its ctest
# run has the checks that need no GoogleTest: the C interface, the exports,
# the installed package and the demo.
PLAIN_NO_DEPS := -DCMAKE_DISABLE_FIND_PACKAGE_CLI11=ON -DCMAKE_DISABLE_FIND_PACKAGE_fmt=ON \
                 -DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
test-plain:
	@set -o pipefail; start=$$(date +%s); \
	echo "==== plain: configure without the tool's and tests' libraries, build, test"; \
	rm -f build/plain/ctest-output.log; \
	cmake -S . -B build/plain $(PLAIN_NO_DEPS) && cmake --build build/plain -j2 && \
	  ctest --test-dir build/plain -j2 --output-on-failure 2>&1 | tee build/plain/ctest-output.log; \
	status=$$?; \
	echo "==== plain: $$(( $$(date +%s) - start )) s, exit $$status"; \
	exit $$status

define preset_build
build-$(1):
	cmake --preset $(1) && cmake --build --preset $(1)
endef
$(foreach p,$(PRESETS),$(eval $(call preset_build,$(p))))

# The runs happen in a private System V IPC namespace where the system
# allows one (root, or user namespaces): objects of other test runs on the
# same machine then neither disturb the tests nor count as leaks, and
# whatever a faulty run leaves goes away with the namespace after the check
# has reported it.  Elsewhere the runs share the machine's namespace.
test: deps
	@if unshare --ipc true >/dev/null 2>&1; then \
	  echo "==== make test: private IPC namespace"; \
	  exec unshare --ipc $(MAKE) --no-print-directory test-all; \
	else \
	  echo "==== make test: the machine's IPC namespace (unshare --ipc is not permitted)"; \
	  exec $(MAKE) --no-print-directory test-all; \
	fi

# The leak check brackets all runs: objects present before the runs are not
# theirs.  A failing preset does not stop the others, so one run reports
# every broken configuration.
test-all:
	@start=$$(date +%s); \
	snapshot=$$(mktemp); trap 'rm -f "$$snapshot"' EXIT; \
	scripts/leak-check.sh snapshot "$$snapshot" || exit 1; \
	failed=""; \
	$(MAKE) --no-print-directory format-check || failed="$$failed format-check"; \
	$(MAKE) --no-print-directory build-tsa || failed="$$failed thread-safety"; \
	for p in $(TEST_PRESETS) plain; do \
	  $(MAKE) --no-print-directory test-$$p || failed="$$failed $$p"; \
	done; \
	$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=$(CI_FUZZ_SECONDS) || failed="$$failed fuzz"; \
	scripts/leak-check.sh check "$$snapshot" $(BUILD_DIRS) || failed="$$failed leak-check"; \
	echo "==== make test: $$(( $$(date +%s) - start )) s"; \
	if [ -n "$$failed" ]; then echo "==== make test FAILED:$$failed"; fi; \
	extra=0; for f in $$failed; do case $$f in leak-check|fuzz|format-check|thread-safety) extra=$$((extra + 1));; esac; done; \
	EXTRA_FAILURES=$$extra scripts/test-summary.sh $(TEST_PRESETS) plain; \
	[ -z "$$failed" ]

build: build-default

# The release build that make install and make demo use: a plain configure
# without the tests, so it needs neither GoogleTest nor the developers'
# tools.
package:
	cmake -S . -B build/package -DCMAKE_BUILD_TYPE=Release -DZRFS_BUILD_TESTS=OFF

# Several recorder processes record onto a sparse disk image in a private
# root directory; see examples/recorder_demo/main.cc.  Only the library and
# the demo are built.
demo: package
	cmake --build build/package -j2 --target recorder_demo
	build/package/examples/recorder_demo/recorder_demo

# Release build; loop devices and ext4 need root, and are skipped otherwise.
# gnuplot draws the chart.
bench: deps
	@command -v gnuplot >/dev/null 2>&1 || { sudo=; [ "$$(id -u)" = 0 ] || sudo=sudo; \
	  $$sudo apt-get install -y gnuplot-nox; }
	cmake --preset release && cmake --build --preset release --target zrfs_bench zrfs_browse_image zrfs-tool
	build/release/bench/zrfs_bench --doc docs/performance.md --chart docs/performance.png $(BENCH_ARGS)
	@if [ "$$(id -u)" = 0 ] && [ -e /dev/fuse ]; then \
	  bench/browse/run.sh build/release $(BROWSE_ARGS) > docs/browse-performance.md.new && \
	  mv docs/browse-performance.md.new docs/browse-performance.md; \
	else echo "bench: browse figures need root and /dev/fuse; skipped"; fi

install: package
	cmake --build build/package -j2
	cmake --install build/package --prefix "$(PREFIX)"

FORMAT_FILES = $(shell find $(FORMAT_DIRS) -type f \( -name '*.cc' -o -name '*.h' -o -name '*.c' \) | sort)

format:
	$(CLANG_FORMAT) -i $(FORMAT_FILES)

format-check:
	$(CLANG_FORMAT) --dry-run --Werror $(FORMAT_FILES)

clean:
	rm -rf $(BUILD_DIRS)

# ---- Reliability runs on demand ---------------------------------------------
#   make fuzz [FUZZ_SECONDS=30]     each libFuzzer target that long, seeded
#                                   from a real image (corpus in build/fuzz);
#                                   make test runs them CI_FUZZ_SECONDS each
#   make tsan                       the multi-threaded tests with ThreadSanitizer
#   make stress [STRESS_SECONDS=1800]  processes and threads recording,
#                                   reading, unlinking and remounting
# Like make test, each runs in a private IPC namespace where allowed.
FUZZ_SECONDS ?= 30
CI_FUZZ_SECONDS ?= 20
STRESS_SECONDS ?= 1800
FUZZ_TARGETS := record_name mount_tables block_headers check_image
IPC_PRIVATE = $$(unshare --ipc true >/dev/null 2>&1 && echo unshare --ipc)

fuzz:
	cmake --preset fuzz && cmake --build --preset fuzz
	$(IPC_PRIVATE) scripts/run-fuzz.sh $(FUZZ_SECONDS) $(FUZZ_TARGETS)

tsan:
	$(IPC_PRIVATE) $(MAKE) --no-print-directory test-tsan

stress: build-default
	ZRFS_STRESS_SECONDS=$(STRESS_SECONDS) $(IPC_PRIVATE) build/default/tests/zrfs_tests \
	  --gtest_filter='Stress.*'
