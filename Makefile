# Two commands do everything on a fresh machine:
#   make demo   show what tovrel does
#   make test   build the environment and tovrel, run the test suite
#   make bench  tovrel beside raw libcurl and the pure-Python clients
.PHONY: demo test asan bench bench-quick clean

PYTHON := python3.15

demo:
	dev/run $(PYTHON) -m tovrel.demo

test:
	dev/run $(PYTHON) -m pytest

asan:
	TOVREL_BUILD=asan dev/run dev/sanitized $(PYTHON) -m pytest -p no:cacheprovider

# Timings against raw libcurl and the pure-Python clients (benchmarks/README.md);
# not part of the test suite or CI.
bench:
	dev/run $(PYTHON) benchmarks/run.py

bench-quick:
	dev/run $(PYTHON) benchmarks/run.py --quick

clean:
	rm -rf build
