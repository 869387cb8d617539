"""Random sequences of calls on tovrel objects, as a hypothesis state machine.

The invariant: every call either succeeds or raises one of the exceptions
the API documents, and the process survives whatever the order of calls,
closes, deletions and collections.  ``make fuzz`` runs it much longer
(TOVREL_FUZZ_EXAMPLES) under the sanitizer build.
"""

import gc
import io
import os
import warnings

import pytest
from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, consumes, initialize, invariant, rule

import tovrel

EXPECTED = (tovrel.error, TypeError, ValueError, OverflowError, UnicodeError, BlockingIOError, DeprecationWarning)

# Options whose effects reach beyond the handle (files written at clean-up,
# uploads read from the process's stdin, endless streams) stay out of the
# random settings; everything else in the option ranges is fair game.
KEPT_OUT = {
    tovrel.COOKIEJAR, tovrel.HSTS, tovrel.UPLOAD, tovrel.PUT, tovrel.READFUNCTION, tovrel.READDATA,
    tovrel.CONNECT_ONLY, tovrel.STDERR, tovrel.UNIX_SOCKET_PATH,
    10224,  # CURLOPT_ALTSVC, a file libcurl writes
    10253,  # CURLOPT_SSLKEYLOGFILE-like paths libcurl may create
    tovrel.COOKIEFILE, tovrel.NETRC_FILE, tovrel.CAPATH, tovrel.CAINFO,
}

option_numbers = st.one_of(
    st.sampled_from(sorted({getattr(tovrel, n) for n in dir(tovrel)
                            if isinstance(getattr(tovrel, n), int) and 0 < getattr(tovrel, n) < 50000})),
    st.integers(min_value=-5, max_value=40400),
).filter(lambda option: option not in KEPT_OUT)

texts = st.text(alphabet="abc/:.%=-_ 09\u00e4", max_size=20)
values = st.one_of(
    st.none(),
    st.integers(min_value=-2 ** 65, max_value=2 ** 65),
    st.booleans(),
    texts,
    st.binary(max_size=20),
    st.lists(st.one_of(texts, st.binary(max_size=8), st.integers()), max_size=3),
    st.tuples(texts, texts),
    st.floats(allow_nan=True),
    st.just(lambda *args: None),
    st.just(object()),
    st.builds(io.BytesIO),
)


class TovrelMachine(RuleBasedStateMachine):
    curls = Bundle("curls")
    multis = Bundle("multis")
    shares = Bundle("shares")
    mimes = Bundle("mimes")
    parts = Bundle("parts")

    def __init__(self):
        super().__init__()
        self.url = FUZZ_SERVER.url("/bytes/100")

    def call(self, function, *args, **kwargs):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                return function(*args, **kwargs)
        except EXPECTED:
            return None

    # -- Curl ----------------------------------------------------------------
    @initialize(target=curls)
    def first_curl(self):
        return tovrel.Curl()

    @rule(target=curls)
    def new_curl(self):
        return tovrel.Curl()

    @rule(curl=curls, option=option_numbers, value=values, as_view=st.sampled_from([None, False, True]))
    def setopt(self, curl, option, value, as_view):
        kwargs = {} if as_view is None else {"use_memoryview": as_view}
        self.call(curl.setopt, option, value, **kwargs)

    @rule(curl=curls, option=option_numbers)
    def unsetopt(self, curl, option):
        self.call(curl.unsetopt, option)

    @rule(curl=curls, info=st.integers(min_value=-1, max_value=7000000))
    def getinfo(self, curl, info):
        self.call(curl.getinfo, info)
        self.call(curl.getinfo_raw, info)
        self.call(curl.errstr)

    @rule(curl=curls)
    def perform(self, curl):
        self.call(curl.setopt, tovrel.URL, self.url)
        self.call(curl.setopt, tovrel.TIMEOUT_MS, 3000)
        self.call(curl.setopt, tovrel.WRITEFUNCTION, lambda data: None)
        self.call(curl.perform)

    @rule(target=curls, curl=curls)
    def duphandle(self, curl):
        return self.call(curl.duphandle) or tovrel.Curl()

    @rule(curl=curls)
    def reset(self, curl):
        self.call(curl.reset)

    @rule(curl=curls)
    def close_curl(self, curl):
        self.call(curl.close)

    @rule(curl=consumes(curls))
    def drop_curl(self, curl):
        del curl

    # -- CurlMulti -------------------------------------------------------------
    @rule(target=multis, close_handles=st.booleans())
    def new_multi(self, close_handles):
        return tovrel.CurlMulti(close_handles=close_handles)

    @rule(multi=multis, curl=curls)
    def add_handle(self, multi, curl):
        self.call(multi.add_handle, curl)

    @rule(multi=multis, curl=curls)
    def remove_handle(self, multi, curl):
        self.call(multi.remove_handle, curl)

    @rule(multi=multis, rounds=st.integers(min_value=1, max_value=20))
    def drive(self, multi, rounds):
        for _ in range(rounds):
            result = self.call(multi.perform)
            self.call(multi.info_read)
            if not result or result[1] == 0:
                break
            self.call(multi.select, 0.05)

    @rule(multi=multis, option=st.integers(min_value=-2, max_value=30030), value=values)
    def multi_setopt(self, multi, option, value):
        if option in (tovrel.M_SOCKETFUNCTION, tovrel.M_TIMERFUNCTION) and callable(value):
            return  # a callback that ignores the stack's sockets would stall it
        self.call(multi.setopt, option, value)

    @rule(multi=multis)
    def close_multi(self, multi):
        self.call(multi.close)

    @rule(multi=consumes(multis))
    def drop_multi(self, multi):
        del multi

    # -- CurlShare -------------------------------------------------------------
    @rule(target=shares, detach=st.booleans())
    def new_share(self, detach):
        return tovrel.CurlShare(detach_on_close=detach)

    @rule(share=shares, kinds=st.lists(st.integers(min_value=-1, max_value=9), min_size=1, max_size=3))
    def share_kinds(self, share, kinds):
        self.call(share.share, *kinds)
        self.call(share.unshare, kinds[0])

    @rule(share=shares, curl=curls)
    def attach(self, share, curl):
        self.call(curl.setopt, tovrel.SHARE, share)

    @rule(share=shares)
    def close_share(self, share):
        self.call(share.close)

    @rule(share=consumes(shares))
    def drop_share(self, share):
        del share

    # -- CurlMime --------------------------------------------------------------
    @rule(target=mimes, curl=curls)
    def new_mime(self, curl):
        return self.call(tovrel.CurlMime, curl) or tovrel.CurlMime(tovrel.Curl())

    @rule(target=parts, mime=mimes)
    def addpart(self, mime):
        part = self.call(mime.addpart)
        return part if part is not None else tovrel.CurlMime(tovrel.Curl()).addpart()

    @rule(part=parts, value=values, setter=st.sampled_from(["name", "data", "filename", "type", "encoder",
                                                             "headers", "filedata"]))
    def set_part(self, part, setter, value):
        if setter == "filedata":
            value = os.devnull
        self.call(getattr(part, setter), value)

    @rule(part=parts, mime=mimes)
    def subparts(self, part, mime):
        self.call(part.subparts, mime)

    @rule(part=parts, size=st.integers(min_value=-2, max_value=50))
    def streamed(self, part, size):
        self.call(part.data_cb, size, lambda userdata, wanted: b"", free=lambda userdata: None)

    @rule(curl=curls, mime=mimes)
    def mimepost(self, curl, mime):
        self.call(curl.setopt, tovrel.MIMEPOST, mime)

    @rule(mime=mimes)
    def close_mime(self, mime):
        self.call(mime.close)

    @rule(mime=consumes(mimes))
    def drop_mime(self, mime):
        del mime

    # -------------------------------------------------------------------------
    @rule()
    def collect(self):
        gc.collect()

    @invariant()
    def module_is_sound(self):
        assert tovrel.easy_strerror(0) == "No error"


FUZZ_SERVER = None

# A long run (make fuzz) sets its own bound.
pytestmark = pytest.mark.timeout(int(os.environ.get("TOVREL_FUZZ_TIMEOUT", "600")))


@pytest.fixture(autouse=True)
def fuzz_server(http_server):
    global FUZZ_SERVER
    FUZZ_SERVER = http_server
    yield
    FUZZ_SERVER = None
    gc.collect()


TestTovrelMachine = TovrelMachine.TestCase
TestTovrelMachine.settings = settings(
    max_examples=int(os.environ.get("TOVREL_FUZZ_EXAMPLES", "40")),
    stateful_step_count=40,
    deadline=None,
    suppress_health_check=list(HealthCheck),
    database=None,
    derandomize="TOVREL_FUZZ_EXAMPLES" not in os.environ,
)
