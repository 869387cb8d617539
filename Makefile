# Two commands do everything on a fresh machine:
#   make demo   show what tovrel does
#   make test   build the environment and tovrel, run the test suite
.PHONY: demo test asan fuzz stubtest docs clean

PYTHON := python3.15

demo:
	dev/run $(PYTHON) -m tovrel.demo

test:
	dev/run $(PYTHON) -m pytest

asan:
	TOVREL_BUILD=asan dev/run dev/sanitized $(PYTHON) -m pytest -p no:cacheprovider

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

clean:
	rm -rf build
