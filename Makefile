# Top-level entry points: run, test, test-asan, test-tsan, bench, docs, data.
# Everything builds out of tree under build*/ with two parallel jobs (the machines are small).
JOBS ?= 2
CMAKE ?= cmake
PYTHON ?= /usr/bin/python3

.PHONY: all build run test test-asan test-tsan bench docs data clean format

all: build

build/CMakeCache.txt:
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNUVEX_PYTHON=$(PYTHON)

build: build/CMakeCache.txt
	$(CMAKE) --build build -j$(JOBS)

run: build
	./build/nuvex --data-dir data

test: build
	cd build && ctest --output-on-failure -j$(JOBS)

build-asan/CMakeCache.txt:
	$(CMAKE) -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DNUVEX_SANITIZE=ON -DNUVEX_BUILD_BENCH=OFF -DNUVEX_PYTHON=$(PYTHON)

test-asan: build-asan/CMakeCache.txt
	$(CMAKE) --build build-asan -j$(JOBS)
	cd build-asan && ctest --output-on-failure -j$(JOBS)

build-tsan/CMakeCache.txt:
	$(CMAKE) -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNUVEX_TSAN=ON -DNUVEX_BUILD_BENCH=OFF -DNUVEX_PYTHON=$(PYTHON)

test-tsan: build-tsan/CMakeCache.txt
	$(CMAKE) --build build-tsan -j$(JOBS)
	cd build-tsan && ctest --output-on-failure -j$(JOBS) -R "MonteCarlo|Thermal|Cache"

bench: build
	@for b in build/bench_*; do [ -x "$$b" ] && "$$b" || exit 1; done
	PYTHONPATH=build/python $(PYTHON) bench/python_overhead.py

# HTML documentation in build/docs/html; its figures come from real runs (per-user cache)
docs: build/CMakeCache.txt
	$(CMAKE) --build build -j$(JOBS) --target _nuvex_c
	PYTHONPATH=build/python $(PYTHON) docs/make_figures.py docs/_figures
	PYTHONPATH=build/python $(PYTHON) -m sphinx -b html -q docs build/docs/html
	@echo "documentation: build/docs/html/index.html"

data: build
	./scripts/make_data

clean:
	rm -rf build build-asan build-tsan

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp' '*.h')
