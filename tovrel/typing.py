"""Type aliases for code that uses tovrel: callback shapes and option values.

Each ``*Callback`` alias is the shape of the callable one kind of callback
option takes, for example::

    from tovrel.typing import WriteCallback

    def sink(chunks: list[bytes]) -> WriteCallback:
        return chunks.append

They are ordinary aliases, usable in annotations at run time too.
"""

import datetime
from collections.abc import Buffer, Callable, Sequence
from typing import Any, TypeAlias

from tovrel._tovrel import Curl, CurlMime, CurlMulti, CurlShare, CurlSockAddr, HstsEntry, HstsIndex, KhKey

__all__ = [
    "Text",
    "OptionValue",
    "WriteCallback",
    "WriteViewCallback",
    "HeaderCallback",
    "HeaderViewCallback",
    "ReadCallback",
    "SeekCallback",
    "ProgressCallback",
    "XferInfoCallback",
    "DebugCallback",
    "IoctlCallback",
    "OpenSocketCallback",
    "SockOptCallback",
    "CloseSocketCallback",
    "SshKeyCallback",
    "PrereqCallback",
    "FnmatchCallback",
    "ResolverStartCallback",
    "TrailerCallback",
    "HstsReadCallback",
    "HstsWriteCallback",
    "MultiSocketCallback",
    "MultiTimerCallback",
    "MultiNotifyCallback",
    "MimeReadCallback",
    "MimeSeekCallback",
    "MimeFreeCallback",
]

# ---------------------------------------------------------------------------
# Values handed to libcurl

#: Text for libcurl: bytes as they are, or str encoded to ASCII.
Text: TypeAlias = str | bytes

#: Anything ``Curl.setopt`` accepts for some option; which kind an option
#: takes depends on the option (see the option's libcurl documentation).
OptionValue: TypeAlias = (
    int
    | Text
    | Sequence[Text]
    | Callable[..., Any]
    | CurlShare
    | CurlMime
    | Any  # file objects for WRITEDATA, READDATA and WRITEHEADER
    | None
)

# ---------------------------------------------------------------------------
# Callback shapes: what each kind of callable receives and returns

#: WRITEFUNCTION: the body data; None or the byte count consumes it all.
WriteCallback: TypeAlias = Callable[[bytes], int | None]
#: WRITEFUNCTION set with ``use_memoryview=True``: a view valid only during the call.
WriteViewCallback: TypeAlias = Callable[[memoryview], int | None]
#: HEADERFUNCTION: one header line.
HeaderCallback: TypeAlias = Callable[[bytes], int | None]
#: HEADERFUNCTION set with ``use_memoryview=True``.
HeaderViewCallback: TypeAlias = Callable[[memoryview], int | None]
#: READFUNCTION: the number of bytes wanted; the data, b"" at the end, or
#: READFUNC_ABORT / READFUNC_PAUSE.
ReadCallback: TypeAlias = Callable[[int], Buffer | str | int]
#: SEEKFUNCTION: (offset, origin); SEEKFUNC_OK (or None), SEEKFUNC_FAIL, SEEKFUNC_CANTSEEK.
SeekCallback: TypeAlias = Callable[[int, int], int | None]
#: PROGRESSFUNCTION (deprecated): (download total, downloaded, upload total, uploaded).
ProgressCallback: TypeAlias = Callable[[float, float, float, float], object]
#: XFERINFOFUNCTION: (download total, downloaded, upload total, uploaded); true aborts.
XferInfoCallback: TypeAlias = Callable[[int, int, int, int], object]
#: DEBUGFUNCTION: (INFOTYPE_* kind, data).
DebugCallback: TypeAlias = Callable[[int, bytes], object]
#: IOCTLFUNCTION (deprecated): the IOCMD_* command; an IOE_* code.
IoctlCallback: TypeAlias = Callable[[int], int | None]
#: OPENSOCKETFUNCTION: (SOCKTYPE_* purpose, address); a descriptor or a socket object.
OpenSocketCallback: TypeAlias = Callable[[int, CurlSockAddr], Any]
#: SOCKOPTFUNCTION: (fd, SOCKTYPE_* purpose); SOCKOPT_OK, SOCKOPT_ERROR or SOCKOPT_ALREADY_CONNECTED.
SockOptCallback: TypeAlias = Callable[[int, int], int]
#: CLOSESOCKETFUNCTION: the descriptor to close; 0 on success.
CloseSocketCallback: TypeAlias = Callable[[int], int]
#: SSH_KEYFUNCTION: (known key, found key, KHMATCH_*); a KHSTAT_* answer.
SshKeyCallback: TypeAlias = Callable[[KhKey | None, KhKey | None, int], int]
#: PREREQFUNCTION: (primary IP, local IP, primary port, local port); PREREQFUNC_OK to go ahead.
PrereqCallback: TypeAlias = Callable[[str, str, int, int], int]
#: FNMATCH_FUNCTION: (pattern, name); FNMATCHFUNC_MATCH, _NOMATCH or _FAIL.
FnmatchCallback: TypeAlias = Callable[[bytes, bytes], int]
#: RESOLVER_START_FUNCTION: no arguments; None or 0 goes on, non-zero aborts.
ResolverStartCallback: TypeAlias = Callable[[], int | None]
#: TRAILERFUNCTION: no arguments; None or the trailer header lines.
TrailerCallback: TypeAlias = Callable[[], Sequence[Text] | None]
#: HSTSREADFUNCTION: no arguments; one (host, expire, include_subdomains) entry, None at the end.
HstsReadCallback: TypeAlias = Callable[
    [], tuple[Text, datetime.datetime | str | None, bool] | None
]
#: HSTSWRITEFUNCTION: (entry, index); CURLSTS_OK (or None), CURLSTS_DONE, CURLSTS_FAIL.
HstsWriteCallback: TypeAlias = Callable[[HstsEntry, HstsIndex], int | None]
#: M_SOCKETFUNCTION: (POLL_* what, fd, multi, assigned object or None).
MultiSocketCallback: TypeAlias = Callable[[int, int, CurlMulti, Any], int | None]
#: M_TIMERFUNCTION: milliseconds until libcurl wants SOCKET_TIMEOUT, -1 for no timer.
MultiTimerCallback: TypeAlias = Callable[[int], int | None]
#: M_NOTIFYFUNCTION: (M_NOTIFY_* notification, the member Curl or None).
MultiNotifyCallback: TypeAlias = Callable[[int, Curl | None], object]
#: CurlMimePart.data_cb read callable: (userdata, bytes wanted); the next chunk,
#: b"" at the end, or READFUNC_ABORT / READFUNC_PAUSE.
MimeReadCallback: TypeAlias = Callable[[Any, int], Buffer | str | int]
#: CurlMimePart.data_cb seek callable: (userdata, offset, origin); a SEEKFUNC_* code or None.
MimeSeekCallback: TypeAlias = Callable[[Any, int, int], int | None]
#: CurlMimePart.data_cb free callable: (userdata,), once libcurl lets go of the source.
MimeFreeCallback: TypeAlias = Callable[[Any], object]
