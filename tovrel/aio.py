"""Run transfers on an asyncio event loop.

``await tovrel.aio.perform(curl)`` runs a configured :class:`tovrel.Curl` to
completion without blocking the loop, and raises :class:`tovrel.error` when
the transfer fails, as :meth:`tovrel.Curl.perform` would::

    async def fetch(url):
        body = io.BytesIO()
        with tovrel.Curl() as c:
            c.setopt(tovrel.URL, url)
            c.setopt(tovrel.WRITEDATA, body)
            await tovrel.aio.perform(c)
        return body.getvalue()

A :class:`Session` holds one :class:`tovrel.CurlMulti` stack, so the
transfers it runs share connections and caches; ``perform()`` uses one
session per loop for as long as it has transfers to run.

The driver is event-driven: libcurl tells it which sockets to watch
(M_SOCKETFUNCTION) and when to wake up (M_TIMERFUNCTION), and the loop's
``add_reader``, ``add_writer`` and ``call_later`` call back into
``socket_action``.  Those libcurl callbacks run while the stack is busy
driving, so they only update the loop's registrations; every
``socket_action`` call is made later, from a loop callback.

Callbacks set on the ``Curl`` (WRITEFUNCTION and the rest) run on the loop's
thread inside ``socket_action``; they must not block.  A session belongs to
the loop it was first used on and is not thread-safe.
"""

import asyncio
from typing import Any, Self

import tovrel

__all__ = ["Session", "perform"]


class Session:
    """One multi stack whose transfers the running event loop drives.

    ::

        async with tovrel.aio.Session() as session:
            await asyncio.gather(*(session.perform(c) for c in handles))

    Closing the session cancels the transfers still running and closes the
    stack; the ``Curl`` objects stay usable.
    """

    def __init__(self) -> None:
        self._multi = tovrel.CurlMulti()
        self._multi.setopt(tovrel.M_SOCKETFUNCTION, self._watch_socket)
        self._multi.setopt(tovrel.M_TIMERFUNCTION, self._set_timer)
        self._loop: asyncio.AbstractEventLoop | None = None
        self._transfers: dict[tovrel.Curl, asyncio.Future[None]] = {}  # each perform()'s Future
        self._watched: set[int] = set()  # descriptors registered with the loop
        self._timer: asyncio.TimerHandle | None = None

    @property
    def multi(self) -> tovrel.CurlMulti:
        """The :class:`tovrel.CurlMulti` this session drives (set its M_* options
        freely; leave M_SOCKETFUNCTION and M_TIMERFUNCTION alone)."""
        return self._multi

    @property
    def active(self) -> int:
        """How many transfers are running."""
        return len(self._transfers)

    @property
    def closed(self) -> bool:
        return self._multi.closed

    async def perform(self, curl: tovrel.Curl) -> None:
        """Run ``curl``'s transfer on this session's stack and wait for it.

        Raises :class:`tovrel.error` (code, message) when the transfer
        fails.  Cancelling the awaiting task takes the handle off the stack;
        it can then be used again.
        """
        if self._multi.closed:
            raise RuntimeError("the session is closed")
        future = self._bind_loop().create_future()
        # Refused for a handle that is busy or on a stack already; the
        # transfer cannot finish before the loop runs again.
        self._multi.add_handle(curl)
        self._transfers[curl] = future
        try:
            await future
        except asyncio.CancelledError:
            self._abandon(curl)
            raise

    def close(self) -> None:
        """Cancel the running transfers and close the stack."""
        if self._multi.closed:
            return
        # Nothing may reach the loop any more, which may itself be closed.
        self._multi.setopt(tovrel.M_SOCKETFUNCTION, None)
        self._multi.setopt(tovrel.M_TIMERFUNCTION, None)
        self._cancel_timer()
        if self._loop is not None and not self._loop.is_closed():
            for fd in self._watched:
                self._loop.remove_reader(fd)
                self._loop.remove_writer(fd)
        self._watched.clear()
        for curl in list(self._transfers):
            future = self._transfers.pop(curl)
            self._multi.remove_handle(curl)
            future.cancel()
        self._multi.close()

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        self.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # -- bookkeeping --------------------------------------------------------

    def _bind_loop(self) -> asyncio.AbstractEventLoop:
        loop = asyncio.get_running_loop()
        if self._loop is None:
            self._loop = loop
        elif self._loop is not loop:
            raise RuntimeError("a Session is bound to the event loop it was first used on")
        return loop

    def _abandon(self, curl: tovrel.Curl) -> None:
        """Take a cancelled transfer off the stack."""
        if self._transfers.pop(curl, None) is not None and not self._multi.closed:
            self._multi.remove_handle(curl)

    def _settle(self, curl: tovrel.Curl, exception: BaseException | None) -> None:
        future = self._transfers.pop(curl, None)
        self._multi.remove_handle(curl)
        if future is None or future.done():
            return
        if exception is None:
            future.set_result(None)
        else:
            future.set_exception(exception)

    def _collect_finished(self) -> None:
        _, done, failed = self._multi.info_read()
        for curl in done:
            self._settle(curl, None)
        for curl, code, message in failed:
            self._settle(curl, tovrel.error(code, message or tovrel.easy_strerror(code)))

    def _fail_all(self, exception: BaseException) -> None:
        for curl in list(self._transfers):
            self._settle(curl, exception)

    def _cancel_timer(self) -> None:
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None

    # -- called by the loop: the only place socket_action runs --------------

    def _act(self, fd: int, events: int) -> None:
        try:
            self._multi.socket_action(fd, events)
        except tovrel.error as exc:
            # The stack itself failed: no transfer on it can be trusted.
            self._fail_all(exc)
            return
        self._collect_finished()

    def _readable(self, fd: int) -> None:
        self._act(fd, tovrel.CSELECT_IN)

    def _writable(self, fd: int) -> None:
        self._act(fd, tovrel.CSELECT_OUT)

    def _timer_expired(self) -> None:
        self._timer = None
        self._act(tovrel.SOCKET_TIMEOUT, 0)

    # -- called by libcurl while the stack drives: touch only the loop ------

    def _watch_socket(self, what: int, fd: int, multi: tovrel.CurlMulti, assigned: Any) -> None:
        loop = self._loop
        assert loop is not None  # bound before the first add_handle
        if what == tovrel.POLL_REMOVE:
            self._watched.discard(fd)
            loop.remove_reader(fd)
            loop.remove_writer(fd)
            return
        self._watched.add(fd)
        if what & tovrel.POLL_IN:
            loop.add_reader(fd, self._readable, fd)
        else:
            loop.remove_reader(fd)
        if what & tovrel.POLL_OUT:
            loop.add_writer(fd, self._writable, fd)
        else:
            loop.remove_writer(fd)

    def _set_timer(self, timeout_ms: int) -> None:
        self._cancel_timer()
        if timeout_ms >= 0:
            assert self._loop is not None
            self._timer = self._loop.call_later(timeout_ms / 1000, self._timer_expired)


# One session per loop for perform(), kept while it has transfers.
_shared_sessions: dict[asyncio.AbstractEventLoop, Session] = {}


async def perform(curl: tovrel.Curl) -> None:
    """Run ``curl``'s transfer on the running loop and wait for it.

    Transfers that overlap in time share one stack (and its connections);
    the stack is closed once none is left.  Use a :class:`Session` to keep
    connections across transfers.
    """
    loop = asyncio.get_running_loop()
    session = _shared_sessions.get(loop)
    if session is None:
        session = _shared_sessions[loop] = Session()
    try:
        await session.perform(curl)
    finally:
        if not session.active and _shared_sessions.get(loop) is session:
            del _shared_sessions[loop]
            session.close()
