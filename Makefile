# Two commands do everything on a fresh machine:
#   make demo   show what tovrel does
#   make test   build the environment and tovrel, run the test suite
.PHONY: demo test asan stubtest docs clean

PYTHON := python3.15

demo:
	dev/run $(PYTHON) -m tovrel.demo

test:
	dev/run $(PYTHON) -m pytest

asan:
	TOVREL_BUILD=asan dev/run dev/sanitized $(PYTHON) -m pytest -p no:cacheprovider

# The type stubs checked against the built module.
stubtest:
	dev/run dev/stubtest

# The documentation site, from docs/ into build/docs; any warning fails.
docs:
	dev/run $(PYTHON) -m sphinx -E -W --keep-going -q -b html docs build/docs

clean:
	rm -rf build
