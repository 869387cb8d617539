# Two commands do everything on a fresh machine:
#   make demo   show what tovrel does
#   make test   build the environment and tovrel, run the test suite
.PHONY: demo test asan clean

PYTHON := python3.15

demo:
	dev/run $(PYTHON) -m tovrel.demo

test:
	dev/run $(PYTHON) -m pytest

asan:
	TOVREL_BUILD=asan dev/run dev/sanitized $(PYTHON) -m pytest -p no:cacheprovider

clean:
	rm -rf build
