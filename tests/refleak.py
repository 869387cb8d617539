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
import threading
import time

import pytest
from _pytest.runner import CallInfo, runtestprotocol


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
    config._refleak = {"warmups": warmups, "runs": runs, "leaks": [], "threads": threading.active_count()}


def repetitions(state):
    return state["warmups"] + state["runs"]


# One timeout covers every repetition of a test, on an interpreter that runs
# about twice as slowly: stretch it so that only a real hang trips it.
def stretched(timeout, state):
    return timeout * repetitions(state) * 2


def pytest_sessionstart(session):
    state = getattr(session.config, "_refleak", None)
    timeout = getattr(session.config, "_env_timeout", None)
    if state is not None and timeout:
        session.config._env_timeout = stretched(timeout, state)


def pytest_collection_modifyitems(config, items):
    state = getattr(config, "_refleak", None)
    if state is None:
        return
    for item in items:
        marker = item.get_closest_marker("timeout")
        if marker is not None and marker.args:
            item.add_marker(pytest.mark.timeout(stretched(marker.args[0], state)), append=False)


def settle(item):
    # A full collection walks every object of the session, which would cost
    # more than most tests; what exists before a test starts is moved out of
    # the collector's sight instead, so that counting collects only what the
    # test made.  At each new module everything is looked at once more, so
    # garbage cycles among the frozen objects are not kept for good.
    module = getattr(item, "module", None)
    if module is not settle.module:
        settle.module = module
        gc.unfreeze()
        gc.collect()
    gc.freeze()


settle.module = None


def threads_settled(state):
    # A thread a test leaves running for a moment, such as a test server's
    # handler still finishing a request the client hung up on, holds
    # objects that are not leaks: wait a little for such threads to end.
    # Threads that stay (a server a fixture started) become the new norm.
    deadline = time.monotonic() + 2
    while threading.active_count() > state["threads"] and time.monotonic() < deadline:
        time.sleep(0.01)
    state["threads"] = threading.active_count()


def counts(state):
    threads_settled(state)
    # Caches that are not leaks: drop them before counting.  Hypothesis
    # keeps the strategies it has built in a bounded cache that fills up
    # over many runs.
    sys._clear_internal_caches()
    strategies = sys.modules.get("hypothesis.strategies._internal.utils")
    if strategies is not None:
        strategies._STRATEGY_CACHE.clear()
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


class Again:
    """The next item of a repetition: the same test once more.  Teardown
    ends only its function-scoped fixtures; broader ones stay up, since
    setting them up again would count as the test's own growth."""

    def __init__(self, item):
        self._chain = item.listchain()[:-1]

    def listchain(self):
        return self._chain


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
    again = Again(item)
    settle(item)
    if not warmups:
        refs_before, blocks_before = counts(state)
    for run in range(warmups + runs):
        if run:
            item._initrequest()
        # captured output of earlier runs would pile up on the item
        item._report_sections = []
        reports = runtestprotocol(item, nextitem=again, log=False)
        if any(report.failed or report.skipped for report in reports):
            break
        prune_spent_finalizers(item.session)
        if run < warmups - 1:
            continue
        refs, blocks = counts(state)
        if run >= warmups:
            ref_deltas[run - warmups] = refs - refs_before
            block_deltas[run - warmups] = blocks - blocks_before
        refs_before, blocks_before = refs, blocks
    else:
        if leaking(ref_deltas) or leaking(block_deltas):
            state["leaks"].append((item.nodeid, ref_deltas, block_deltas))
    # Now what the next test does not need goes, as it would have gone
    # without repetitions; only a failure there makes a report.
    teardown = CallInfo.from_call(lambda: item.session._setupstate.teardown_exact(nextitem), when="teardown",
                                  reraise=(pytest.exit.Exception, KeyboardInterrupt))
    if teardown.excinfo is not None:
        reports.append(item.ihook.pytest_runtest_makereport(item=item, call=teardown))
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
