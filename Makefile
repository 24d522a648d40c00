# The two commands of the README. Each does its own set-up on a fresh Debian machine: the
# system packages, a virtual environment in .venv, and the package built with pip.
#   make demo   build and run the demo
#   make test   build and run every test (C++ in release, under ASan+UBSan and the concurrency
#               tests under TSan, the fuzzers for a bounded time, then Python, a subset of it
#               again against an ASan+UBSan build of the extension, then the wheel in a fresh
#               virtual environment)

SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
JOBS ?= $(shell nproc)
APT_PACKAGES := build-essential cmake ninja-build pkg-config libssl-dev libicu-dev \
	libdeflate-dev zlib1g-dev libgtest-dev libgmock-dev libbenchmark-dev \
	clang-19 libclang-rt-19-dev
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

WHEEL_DIR := build/wheel
WHEEL_VENV := build/wheel-venv

.PHONY: demo test setup system-deps venv install framework-deps test-core test-asan test-tsan \
	test-fuzz test-python test-python-asan test-wheel bench clean

# The demo: the quickstart, then the command-line tool on real text: the standard library's
# docstrings (examples/data) loaded into a fresh database in build/demo-db and searched by
# keyword, by vector (the embeddings of questions shipped beside the corpus) and both fused,
# with metadata filters; then a look inside the directory and a check of its files.
DEMO_DB := build/demo-db
KESTRINE := $(VENV)/bin/kestrine
DATA := examples/data
QUESTIONS := $(DATA)/questions.jsonl.gz
demo: install
	$(VPY) examples/quickstart.py
	@printf '\n== the command-line tool on %s ==\n' $(DATA)/stdlib_docs.jsonl.gz
	rm -rf $(DEMO_DB)
	$(KESTRINE) ingest $(DEMO_DB) stdlib $(DATA)/stdlib_docs.jsonl.gz
	$(KESTRINE) info $(DEMO_DB)
	@printf '\n== keyword search (BM25) ==\n'
	$(KESTRINE) search $(DEMO_DB) stdlib --k 5 --text "temporary directory"
	@printf '\n== vector search: the embedding of question 12 of %s ==\n' $(QUESTIONS)
	$(KESTRINE) search $(DEMO_DB) stdlib --k 5 --vector-from $(QUESTIONS):12
	@printf '\n== hybrid search: the same question as text and as vector, fused ==\n'
	$(KESTRINE) search $(DEMO_DB) stdlib --k 5 --vector-from $(QUESTIONS):12 \
	  --text "run an external program and capture what it prints"
	@printf '\n== hybrid search, functions only ==\n'
	$(KESTRINE) search $(DEMO_DB) stdlib --k 5 --vector-from $(QUESTIONS):28 \
	  --text "run several coroutines concurrently and collect all their results" \
	  --filter '{"must": [{"field": "kind", "op": "eq", "value": "function"}]}'
	@printf '\n== hybrid search, linear fusion, outside hashlib ==\n'
	$(KESTRINE) search $(DEMO_DB) stdlib --k 5 --vector-from $(QUESTIONS):89 \
	  --text "HMAC-SHA256 signature of a message with a secret key" --fusion linear \
	  --filter '{"must_not": [{"field": "module", "op": "eq", "value": "hashlib"}]}'
	@printf '\n== every file checked ==\n'
	$(KESTRINE) verify $(DEMO_DB)

test: install test-core test-asan test-tsan test-fuzz test-python test-python-asan test-wheel

system-deps:
	@missing=""; for p in $(APT_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; fi

venv: system-deps
	@[ -x $(VPY) ] || $(PYTHON) -m venv $(VENV)
	@$(VPY) -m pip install -q --upgrade pip
	@$(VPY) -m pip install -q "scikit-build-core>=0.10" pytest pytest-xdist ruff mypy numpy \
	  cryptography

install: venv
	$(VPY) -m pip install -q --no-build-isolation .

# The frameworks that kestrine.langchain and kestrine.llama_index plug into, and LangChain's
# standard tests for vector stores (which bring pytest-asyncio). Only the Python tests need
# them; the package itself never imports them.
FRAMEWORKS := "langchain-core>=1.0" "langchain-tests>=1.0" "llama-index-core>=0.14"
framework-deps: venv
	$(VPY) -m pip install -q $(FRAMEWORKS)

# The C++ test builds use clang (the package itself is built by pip with the default compiler,
# so both compilers see the engine with warnings as errors); clang compiles the test code about
# twice as fast as g++ at -O0, where the test code is compiled in every build.
CXX_TESTS := clang++-19

test-core: system-deps
	cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_CXX_COMPILER=$(CXX_TESTS) -DKESTRINE_BUILD_TESTS=ON -DKESTRINE_BUILD_PYTHON=OFF
	cmake --build build/release -j $(JOBS)
	ctest --test-dir build/release --output-on-failure -j $(JOBS)

# One ASan+UBSan build in build/asan serves the C++ tests, the fuzzers and (test-python-asan) the
# extension, so the engine is compiled with these flags once. Its libraries carry the fuzzers'
# coverage instrumentation, which the sanitizer runtime answers when no fuzzer is linked.
ASAN_BUILD = cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=$(CXX_TESTS) -DKESTRINE_SANITIZE=address,undefined \
	  -DKESTRINE_BUILD_TESTS=ON -DKESTRINE_BUILD_FUZZ=ON
test-asan: system-deps
	$(ASAN_BUILD) -DKESTRINE_BUILD_PYTHON=OFF
	cmake --build build/asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build/asan --output-on-failure -j $(JOBS)

# The concurrency tests (every tests/core/*concurrency*_test.cc) again under ThreadSanitizer;
# only their binaries are built.
CONCURRENCY_TESTS := $(basename $(notdir $(wildcard tests/core/*concurrency*_test.cc)))
test-tsan: system-deps
	cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=$(CXX_TESTS) -DKESTRINE_BUILD_TESTS=ON -DKESTRINE_BUILD_PYTHON=OFF \
	  -DKESTRINE_SANITIZE=thread
	cmake --build build/tsan -j $(JOBS) --target $(CONCURRENCY_TESTS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir build/tsan --output-on-failure -j $(JOBS) -R concurrency

# Each libFuzzer target runs from its checked-in seed corpus for a bounded time: FUZZ_SECONDS
# (16) times its weight in halves, in two lanes that run at once (56 s each, 112 s of fuzzing in
# all; `make test-fuzz FUZZ_SECONDS=N` runs longer). The targets: snapshot files (snapshot), the
# later use of a loaded snapshot (snapshot_use), whole logs (wal_replay), single log entries
# (wal_entry), document ids (uuid) and encryption keys (key). New inputs land in
# build/asan/corpus, never in the source tree. An allocation above -malloc_limit_mb or a
# resident size above -rss_limit_mb counts as a failure,
# so a stored length that drives a huge allocation is caught like a crash. A failing input is
# written to build/asan/<target>-*; keep it under tests/fuzz/regressions/ (in the target's own
# directory, the snapshot target's at the top) once fixed, where a GoogleTest replays it in
# every build.
FUZZ_SECONDS ?= 16
FUZZ_LANES := snapshot_use:5,wal_entry:2 wal_replay:3,snapshot:2,uuid:1,key:1
comma := ,
FUZZ_TARGETS := $(foreach w,$(subst $(comma), ,$(FUZZ_LANES)),$(firstword $(subst :, ,$(w))))
test-fuzz: system-deps
	$(ASAN_BUILD) -DKESTRINE_BUILD_PYTHON=OFF
	cmake --build build/asan -j $(JOBS) --target $(FUZZ_TARGETS:%=%_fuzz)
	tests/fuzz/run_fuzzers.sh build/asan $(FUZZ_SECONDS) $(FUZZ_LANES)

# The Python tests run in one worker process per core (each test makes its own directories).
test-python: install framework-deps
	$(VPY) -m pytest -q -n $(JOBS) tests/python

# A subset of the Python tests against the extension built with ASan+UBSan in build/asan, where
# test-asan has already compiled the engine with the same flags: only the module is added. It comes
# first on the path, before the installed one; `kestrine` is taken from python/. The interpreter
# itself is not instrumented, so clang's ASan runtime (which holds UBSan's too) is preloaded. Leak
# detection is off: the interpreter leaves its own allocations behind at exit
# (tests/python/test_leaks.py measures the extension's growth instead). The first error ends the
# run. The crash rounds, which mostly wait for the processes they kill, run in a second process
# beside the rest. The subset calls
# every method on success and failure paths in about a minute: conversions, documents, batches,
# searches, the random model, persistence and its round trips, rebuild, a full disk, recovery after
# SIGKILL and the leak rounds, both cut short. Left out: the package checks (stubtest, mypy), which
# run no engine code, and the command-line tool, whose module lives inside the installed package.
PYTHON_ASAN_TESTS := test_embedding_input.py test_documents.py test_batch.py test_search.py \
	test_collections.py test_module.py test_model.py test_persistence.py test_round_trip.py \
	test_rebuild.py test_disk_full.py test_leaks.py
PYTHON_ASAN_BESIDE := test_crash.py
PYTEST_ASAN := $(VPY) -m pytest -q -x -p no:cacheprovider
test-python-asan: install
	$(ASAN_BUILD) -DKESTRINE_BUILD_PYTHON=ON -DPython_EXECUTABLE=$(abspath $(VPY))
	cmake --build build/asan -j $(JOBS) --target _kestrine
	export PYTHONPATH=build/asan/python:python \
	  LD_PRELOAD="$$($(CXX_TESTS) -print-file-name=libclang_rt.asan-x86_64.so)" \
	  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  KESTRINE_LEAK_ROUNDS=1000 KESTRINE_CRASH_ROUNDS=12; \
	$(VPY) -c 'import _kestrine, sys; sys.exit("build/asan/" not in _kestrine.__file__)' && \
	{ $(PYTEST_ASAN) $(PYTHON_ASAN_BESIDE:%=tests/python/%) > build/asan/pytest-beside.log 2>&1 & \
	  beside=$$!; $(PYTEST_ASAN) $(PYTHON_ASAN_TESTS:%=tests/python/%); main=$$?; \
	  wait $$beside; status=$$?; cat build/asan/pytest-beside.log; \
	  [ $$main = 0 ] && [ $$status = 0 ]; }

# The wheel as a user's `pip wheel .` builds it (an isolated build, but in the build directory
# build/{wheel_tag} that `install` uses, so nothing is compiled twice), installed alone into a
# new virtual environment and smoke-tested there. That environment gets no pip of its own: the
# project's pip installs into it.
test-wheel: venv
	rm -rf $(WHEEL_DIR) $(WHEEL_VENV)
	$(VPY) -m pip wheel -q --no-deps -w $(WHEEL_DIR) .
	$(PYTHON) -m venv --without-pip $(WHEEL_VENV)
	$(VPY) -m pip --python $(WHEEL_VENV)/bin/python install -q --no-index --no-deps \
	  $(WHEEL_DIR)/kestrine-*.whl
	$(WHEEL_VENV)/bin/python -I tests/wheel_smoke.py

bench: system-deps
	cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DKESTRINE_BUILD_BENCH=ON -DKESTRINE_BUILD_PYTHON=OFF
	cmake --build build/bench -j $(JOBS)

clean:
	rm -rf build dist $(VENV)
