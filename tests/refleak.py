"""Reference-leak hunting for the test suite, as CPython's own test runner
does it with -R: run every test several times in a row under the debug
interpreter and watch the interpreter's total reference count and its
number of allocated memory blocks.  Steady growth over the measured runs,
after the warm-up runs have filled caches, is reported as a leak.

Enable with ``--refleak=WARMUPS:RUNS`` under python3.15d.
Tests that only drive child processes (marked ``refleak_once``, or using
the ``python_subprocess`` fixture), where nothing in this process can leak,
run once.
"""

import functools
import gc
import sys

import pytest
from _pytest.runner import runtestprotocol


def pytest_addoption(parser):
    parser.addoption("--refleak", metavar="WARMUPS:RUNS", default=None,
                     help="run each test WARMUPS+RUNS times and report steady reference or memory growth")


def pytest_configure(config):
    config.addinivalue_line("markers", "refleak_once: run once even when hunting reference leaks")
    schedule = config.getoption("refleak", default=None)
    if schedule is None:
        return
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("--refleak needs the debug interpreter (python3.15d)")
    warmups, runs = (int(part) for part in schedule.split(":"))
    config._refleak = {"warmups": warmups, "runs": runs, "leaks": []}


def counts():
    # Python-level caches that are not leaks: drop them before counting.
    sys._clear_internal_caches()
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def leaking(deltas):
    # Growth in every measured run; a run that gives back memory is noise.
    return all(delta > 0 for delta in deltas)


def spent(finalizer):
    # A dependent fixture's teardown that has already run: finishing a
    # finished fixture does nothing.
    owner = getattr(getattr(finalizer, "func", None), "__self__", None)
    return isinstance(finalizer, functools.partial) and owner is not None and \
        getattr(owner, "cached_result", True) is None


def prune_spent_finalizers(session):
    # A function-scoped fixture that depends on a broader one leaves its
    # teardown on the broader one's list until that one ends: harmless for
    # one run of a test, but the list would grow with every repetition.
    for fixturedefs in session._fixturemanager._arg2fixturedefs.values():
        for fixturedef in fixturedefs:
            fixturedef._finalizers[:] = [fin for fin in fixturedef._finalizers if not spent(fin)]


def log(item, reports):
    for report in reports:
        item.ihook.pytest_runtest_logreport(report=report)


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    state = getattr(item.config, "_refleak", None)
    if state is None or item.get_closest_marker("refleak_once") or "python_subprocess" in item.fixturenames:
        return None
    warmups, runs = state["warmups"], state["runs"]
    item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    # Everything the measuring itself needs exists before the first count,
    # and the deltas are small ints, which the interpreter caches: the
    # bookkeeping adds nothing between two counts.
    ref_deltas, block_deltas = [0] * runs, [0] * runs
    refs_before = blocks_before = 0
    reports = None
    for run in range(warmups + runs):
        if run:
            item._initrequest()
        # captured output of earlier runs would pile up on the item
        item._report_sections = []
        reports = runtestprotocol(item, nextitem=nextitem, log=False)
        if any(report.failed or report.skipped for report in reports):
            break
        prune_spent_finalizers(item.session)
        refs, blocks = counts()
        if run >= warmups:
            ref_deltas[run - warmups] = refs - refs_before
            block_deltas[run - warmups] = blocks - blocks_before
        refs_before, blocks_before = refs, blocks
    else:
        if leaking(ref_deltas) or leaking(block_deltas):
            state["leaks"].append((item.nodeid, ref_deltas, block_deltas))
    log(item, reports)
    item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True


def pytest_terminal_summary(terminalreporter):
    state = getattr(terminalreporter.config, "_refleak", None)
    if not state or not state["leaks"]:
        return
    terminalreporter.section("reference leaks")
    for nodeid, refs, blocks in state["leaks"]:
        terminalreporter.line(f"{nodeid}: references {refs}, memory blocks {blocks}")


def pytest_sessionfinish(session):
    state = getattr(session.config, "_refleak", None)
    if state and state["leaks"] and session.exitstatus == 0:
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
