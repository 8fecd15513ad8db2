# Top-level entry points: run, test, test-asan, test-tsan, bench, docs, data.
# Everything builds out of tree under build*/ with two parallel jobs (the machines are small); each
# target builds only what it needs (run: library and CLI; test: everything but the benchmarks).
JOBS ?= 2
CMAKE ?= cmake
PYTHON ?= /usr/bin/python3

# Every target that builds first installs the Debian packages it needs when they are missing
# (scripts/bootstrap prints one line when it does, nothing otherwise). The build trees configured here
# treat warnings as errors (NUVEX_WERROR); pip and packagers build without it. A changed Makefile
# reconfigures the trees, so that an older tree picks up the options set here.
BOOTSTRAP ?= ./scripts/bootstrap
WERROR = -DNUVEX_WERROR=ON

.PHONY: all build build-fuzz deps deps-build run test test-asan test-tsan bench docs data data-check clean format fuzz fuzz-smoke mutate

all: build

deps-build:
	@$(BOOTSTRAP) build

deps:
	@$(BOOTSTRAP) all

build/CMakeCache.txt: Makefile
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNUVEX_PYTHON=$(PYTHON) $(WERROR)

build: deps
	@$(MAKE) --no-print-directory build/CMakeCache.txt
	$(CMAKE) --build build -j$(JOBS)

run: deps-build
	@$(MAKE) --no-print-directory build/CMakeCache.txt
	$(CMAKE) --build build -j$(JOBS) --target nuvex_cli
	./build/nuvex --data-dir data

test: deps
	@$(MAKE) --no-print-directory build/CMakeCache.txt
	$(CMAKE) --build build -j$(JOBS)
	cd build && ctest --output-on-failure -j$(JOBS)
	$(MAKE) fuzz-smoke

# libFuzzer harnesses of tests/fuzz (clang), in their own build folder. `make fuzz` runs each for
# FUZZ_SECONDS on a copy of its seed corpus; `make fuzz-smoke` is the 20-second run of `make test`.
FUZZ_SECONDS ?= 300
FUZZ_HARNESSES = table ini literal custom_network background nuclides decoupling rate_set snapshot

build-fuzz/CMakeCache.txt: Makefile
	CC=clang CXX=clang++ $(CMAKE) -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNUVEX_FUZZ=ON $(WERROR)

build-fuzz: deps
	@$(MAKE) --no-print-directory build-fuzz/CMakeCache.txt
	$(CMAKE) --build build-fuzz -j$(JOBS)

fuzz: build-fuzz
	@set -e; for h in $(FUZZ_HARNESSES); do \
	  mkdir -p build-fuzz/corpus/$$h; cp tests/fuzz/corpus/$$h/* build-fuzz/corpus/$$h/ 2>/dev/null || true; \
	  if ./build-fuzz/fuzz_$$h -max_total_time=$(FUZZ_SECONDS) \
	       -max_len=8192 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 build-fuzz/corpus/$$h \
	       > build-fuzz/fuzz_$$h.log 2>&1; then \
	    grep -E "stat::number_of_executed_units" build-fuzz/fuzz_$$h.log | sed "s/^/fuzz_$$h: /"; \
	  else tail -40 build-fuzz/fuzz_$$h.log; echo "fuzz_$$h: FAILED (log: build-fuzz/fuzz_$$h.log)"; exit 1; fi; \
	done

fuzz-smoke:
	$(MAKE) fuzz FUZZ_SECONDS=20

build-asan/CMakeCache.txt: Makefile
	$(CMAKE) -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DNUVEX_SANITIZE=ON -DNUVEX_BUILD_BENCH=OFF -DNUVEX_PYTHON=$(PYTHON) $(WERROR)

test-asan: deps
	@$(MAKE) --no-print-directory build-asan/CMakeCache.txt
	$(CMAKE) --build build-asan -j$(JOBS)
	cd build-asan && ctest --output-on-failure -j$(JOBS)

build-tsan/CMakeCache.txt: Makefile
	$(CMAKE) -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNUVEX_TSAN=ON -DNUVEX_BUILD_BENCH=OFF -DNUVEX_PYTHON=$(PYTHON) $(WERROR)

test-tsan: deps
	@$(MAKE) --no-print-directory build-tsan/CMakeCache.txt
	$(CMAKE) --build build-tsan -j$(JOBS)
	cd build-tsan && ctest --output-on-failure -j$(JOBS) -R "MonteCarlo|Thermal|Cache|Session|Cancel|pytest_mc|pytest_threads"

bench: deps
	@$(MAKE) --no-print-directory build/CMakeCache.txt
	$(CMAKE) --build build -j$(JOBS) --target benchmarks _nuvex_c
	@for b in build/bench_*; do [ -x "$$b" ] && "$$b" || exit 1; done
	PYTHONPATH=build/python $(PYTHON) bench/python_overhead.py

# HTML documentation in build/docs/html. Its figures come from real runs, cached in build/docs-cache
# under a key of each figure's code, the library, the package and the data: a job runs again only when
# one of these changed, or for all of them with `make docs DOCS_REBUILD=1`.
docs: deps
	@$(MAKE) --no-print-directory build/CMakeCache.txt
	$(CMAKE) --build build -j$(JOBS) --target _nuvex_c
	PYTHONPATH=build/python $(PYTHON) docs/make_figures.py docs/_figures --cache build/docs-cache $(if $(DOCS_REBUILD),--rebuild)
	PYTHONPATH=build/python $(PYTHON) -m sphinx -b html -q docs build/docs/html
	@echo "documentation: build/docs/html/index.html"

data: deps
	@$(MAKE) --no-print-directory build/CMakeCache.txt
	$(CMAKE) --build build -j$(JOBS) --target nuvex_qedtables nuvex_weaktables
	./scripts/make_data

# Mutation testing (not part of `make test`): each fault of tools/mutate/mutants.txt applied in turn
# to a scratch copy in build-mutate/ (own incremental build), the suite run against it; report in
# build-mutate/report.md. MUTATE_ARGS passes options: ids or regexes, --full, --timeout S, --list.
mutate:
	nice $(PYTHON) tools/mutate/mutate.py --jobs $(JOBS) $(MUTATE_ARGS)

# Regenerates every shipped decoupling table (both plasma variants) and compares them bit for bit
# (`make test` regenerates the variant with the QED plasma only).
data-check: deps
	@$(MAKE) --no-print-directory build/CMakeCache.txt
	$(CMAKE) --build build -j$(JOBS) --target nuvex_solan
	cd build && NUVEX_FULL_REGENERATION=1 NUVEX_DATA_DIR=$(CURDIR)/data $(PYTHON) -m pytest -q -p no:cacheprovider \
	  $(CURDIR)/tests/python/test_solan_tables.py -k regeneration

clean:
	rm -rf build build-asan build-tsan build-fuzz build-mutate

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp' '*.h')
