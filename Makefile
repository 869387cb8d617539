# Two commands do everything on a fresh machine:
#   make demo   show what tovrel does
#   make test   build the environment and tovrel, run the test suite
#   make bench  tovrel beside raw libcurl and the pure-Python clients
.PHONY: demo test asan refleak check-memory fuzz stubtest docs bench bench-quick clean

PYTHON := python3.15
DEBUG_PYTHON := python3.15d
# warm-up runs : measured runs of every test in the leak hunt
REFLEAK := 3:3

demo:
	dev/run $(PYTHON) -m tovrel.demo

test:
	dev/run $(PYTHON) -m pytest

asan:
	TOVREL_BUILD=asan dev/run dev/sanitized $(PYTHON) -m pytest -p no:cacheprovider

# Every test repeated under the debug interpreter; steady growth of its
# reference or memory-block counts fails the run, naming the test.
refleak:
	TOVREL_BUILD=debug dev/run $(DEBUG_PYTHON) -m pytest -p no:cacheprovider --refleak=$(REFLEAK)

# Memory errors and leaks.
check-memory: asan refleak

# A long random run of the state-machine test under the sanitizers.
fuzz:
	TOVREL_BUILD=asan TOVREL_FUZZ_EXAMPLES=$${TOVREL_FUZZ_EXAMPLES:-2000} TOVREL_FUZZ_TIMEOUT=7200 \
		dev/run dev/sanitized $(PYTHON) -m pytest -p no:cacheprovider tests/test_fuzz_state.py

# The type stubs checked against the built module.
stubtest:
	dev/run dev/stubtest

# The documentation site, from docs/ into build/docs; any warning fails.
docs:
	dev/run $(PYTHON) -m sphinx -E -W --keep-going -q -b html docs build/docs

# Timings against raw libcurl and the pure-Python clients (benchmarks/README.md);
# not part of the test suite or CI.
bench:
	dev/run $(PYTHON) benchmarks/run.py

bench-quick:
	dev/run $(PYTHON) benchmarks/run.py --quick

clean:
	rm -rf build
