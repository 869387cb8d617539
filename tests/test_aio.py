"""The asyncio driver: transfers on an event loop through socket_action."""

import asyncio
import re
import socket
import uuid

import pytest

import tovrel
import tovrel.aio
from servers import GATES, pattern_bytes

# Every wait in these tests is bounded, so a driver that stops driving fails
# the test instead of hanging it.
LIMIT = 60


def run(coroutine):
    return asyncio.run(asyncio.wait_for(coroutine, LIMIT))


def body_handle(url, **options):
    """A Curl for ``url`` whose body collects in the returned list."""
    c = tovrel.Curl()
    c.setopt(tovrel.URL, url)
    for name, value in options.items():
        c.setopt(getattr(tovrel, name), value)
    chunks = []
    c.setopt(tovrel.WRITEFUNCTION, chunks.append)
    return c, chunks


def closed_port():
    """A loopback port nothing listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


async def perform_in_session(handles):
    async with tovrel.aio.Session() as session:
        results = await asyncio.gather(*(session.perform(c) for c in handles), return_exceptions=True)
        assert session.active == 0
    return results


async def perform_shared(handles):
    return await asyncio.gather(*(tovrel.aio.perform(c) for c in handles), return_exceptions=True)


# Both ways of running: an explicit Session, and the module's perform().
DRIVERS = [pytest.param(perform_in_session, id="session"), pytest.param(perform_shared, id="perform")]


@pytest.mark.parametrize("drive", DRIVERS)
def test_500_concurrent_transfers_every_body_exact(http_server, drive):
    sizes = [1 + 97 * i for i in range(500)]
    handles = [body_handle(http_server.url(f"/bytes/{n}")) for n in sizes]
    results = run(drive([c for c, _ in handles]))
    assert results == [None] * len(sizes)
    for (c, chunks), n in zip(handles, sizes):
        assert b"".join(chunks) == pattern_bytes(n)
        assert c.getinfo(tovrel.RESPONSE_CODE) == 200
        assert c.multi() is None  # taken off the stack when done
        c.close()


@pytest.mark.parametrize("drive", DRIVERS)
def test_a_failing_transfer_among_successful_ones(http_server, drive):
    good = [body_handle(http_server.url(f"/bytes/{1000 + i}")) for i in range(20)]
    refused, _ = body_handle(f"http://127.0.0.1:{closed_port()}/")
    missing, _ = body_handle(http_server.url("/status/404"), FAILONERROR=1)
    handles = [c for c, _ in good]
    handles[7:7] = [refused]
    handles[13:13] = [missing]
    results = run(drive(handles))

    for c, result in zip(handles, results):
        if c is refused or c is missing:
            assert isinstance(result, tovrel.error)
        else:
            assert result is None
    for i, (c, chunks) in enumerate(good):
        assert b"".join(chunks) == pattern_bytes(1000 + i)
    assert results[handles.index(refused)].args[0] == tovrel.E_COULDNT_CONNECT
    assert results[handles.index(missing)].args[0] == tovrel.E_HTTP_RETURNED_ERROR


def without_timing(args):
    """An error's (code, message) without the milliseconds libcurl mentions."""
    code, message = args
    return code, re.sub(r"after \d+ ms", "after N ms", message)


@pytest.mark.parametrize("failing", ["refused", "http error"])
def test_the_error_is_the_one_perform_raises(http_server, failing):
    url, options = {
        "refused": (f"http://127.0.0.1:{closed_port()}/", {}),
        "http error": (http_server.url("/status/500"), {"FAILONERROR": 1}),
    }[failing]
    c, _ = body_handle(url, **options)
    with pytest.raises(tovrel.error) as blocking:
        c.perform()
    with pytest.raises(tovrel.error) as driven:
        run(tovrel.aio.perform(c))
    assert without_timing(driven.value.args) == without_timing(blocking.value.args)
    assert isinstance(driven.value.args[1], str) and driven.value.args[1]
    c.close()


async def started_slow_transfer(session, url):
    """A task performing ``url`` on ``session``, returned once its first
    body bytes have arrived."""
    c = tovrel.Curl()
    c.setopt(tovrel.URL, url)
    arrived = asyncio.Event()

    def write(data):
        arrived.set()

    c.setopt(tovrel.WRITEFUNCTION, write)
    task = asyncio.ensure_future(session.perform(c))
    await arrived.wait()
    return c, task


def test_cancelling_the_awaiting_task_removes_the_handle(http_server):
    async def scenario():
        async with tovrel.aio.Session() as session:
            c, task = await started_slow_transfer(session, http_server.url("/slow?chunks=200&delay=0.1"))
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert c.multi() is None
            assert c not in session.multi
            assert session.active == 0
            # The handle is free again: it runs another transfer, on the
            # same stack too.
            chunks = []
            c.setopt(tovrel.URL, http_server.url("/bytes/3000"))
            c.setopt(tovrel.WRITEFUNCTION, chunks.append)
            await session.perform(c)
            assert b"".join(chunks) == pattern_bytes(3000)
            c.close()

    run(scenario())


def test_cancelling_before_the_transfer_starts(http_server):
    async def scenario():
        c, chunks = body_handle(http_server.url("/bytes/10"))
        task = asyncio.ensure_future(tovrel.aio.perform(c))
        await asyncio.sleep(0)  # the handle is on the stack, nothing transferred yet
        assert c.multi() is not None
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert c.multi() is None
        assert tovrel.aio._shared_sessions == {}
        c.close()

    run(scenario())


def test_a_timeout_around_perform_cancels_cleanly(http_server):
    async def scenario():
        gate = uuid.uuid4().hex
        c, _ = body_handle(http_server.url(f"/gate/{gate}"))
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(tovrel.aio.perform(c), 0.2)
        GATES.open(gate)
        assert c.multi() is None
        c.close()

    run(scenario())


def test_other_coroutines_keep_running_during_transfers(http_server):
    # The first transfer can only finish after another coroutine, which
    # needs the loop, has run a transfer of its own and opened the gate.
    async def scenario():
        gate = uuid.uuid4().hex
        waiting, waiting_body = body_handle(http_server.url(f"/gate/{gate}"))
        blocked = asyncio.ensure_future(tovrel.aio.perform(waiting))
        steps = []

        async def meanwhile():
            for _ in range(3):
                await asyncio.sleep(0)
                steps.append("tick")
            c, chunks = body_handle(http_server.url("/bytes/5000"))
            await tovrel.aio.perform(c)
            steps.append(len(b"".join(chunks)))
            assert not blocked.done()
            GATES.open(gate)
            c.close()

        await asyncio.gather(blocked, meanwhile())
        assert steps == ["tick", "tick", "tick", 5000]
        assert b"".join(waiting_body) == b"opened"
        waiting.close()

    run(scenario())


def test_closing_the_session_cancels_its_transfers(http_server):
    async def scenario():
        session = tovrel.aio.Session()
        c, task = await started_slow_transfer(session, http_server.url("/slow?chunks=200&delay=0.1"))
        session.close()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert session.closed and c.multi() is None
        with pytest.raises(RuntimeError, match="closed"):
            await session.perform(c)
        c.close()

    run(scenario())


def test_a_handle_on_another_stack_is_refused(http_server):
    async def scenario():
        c, _ = body_handle(http_server.url("/bytes/10"))
        other = tovrel.CurlMulti()
        other.add_handle(c)
        async with tovrel.aio.Session() as session:
            with pytest.raises(tovrel.error, match="another multi-stack"):
                await session.perform(c)
            assert session.active == 0
        other.close()
        c.close()

    run(scenario())


def test_the_same_handle_twice_at_once_is_refused(http_server):
    async def scenario():
        c, chunks = body_handle(http_server.url("/bytes/2000"))
        async with tovrel.aio.Session() as session:
            first = asyncio.ensure_future(session.perform(c))
            await asyncio.sleep(0)
            with pytest.raises(tovrel.error, match="already on this multi-stack"):
                await session.perform(c)
            await first  # the refusal left the first transfer alone
        assert b"".join(chunks) == pattern_bytes(2000)
        c.close()

    run(scenario())


def test_a_session_belongs_to_one_loop(http_server):
    session = tovrel.aio.Session()
    c, chunks = body_handle(http_server.url("/bytes/100"))
    run(session.perform(c))
    assert b"".join(chunks) == pattern_bytes(100)
    with pytest.raises(RuntimeError, match="bound to the event loop"):
        run(session.perform(c))
    session.close()
    c.close()


def test_connections_are_reused_within_a_session(http_server):
    async def scenario():
        async with tovrel.aio.Session() as session:
            for _ in range(3):
                c, _ = body_handle(http_server.url("/bytes/10"))
                await session.perform(c)
                yield c.getinfo(tovrel.NUM_CONNECTS)
                c.close()

    async def collect():
        return [n async for n in scenario()]

    assert run(collect()) == [1, 0, 0]
