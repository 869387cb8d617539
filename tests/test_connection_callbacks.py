"""Connection and protocol callbacks: sockets, SSH host keys, pre-request,
wildcard matching, resolver start and trailers."""

import io
import json
import os
import socket

import pytest

import tovrel
from servers import pattern_bytes


def transfer(curl, url, **options):
    curl.setopt(tovrel.URL, url)
    for name, value in options.items():
        curl.setopt(getattr(tovrel, name), value)
    return curl.perform_rb()


def failing(curl, url, **options):
    with pytest.raises(tovrel.error) as info:
        transfer(curl, url, **options)
    return info.value.args[0]


class TestOpenSocket:
    def test_socket_object_is_duplicated(self, curl, http_server):
        opened = []

        def open_socket(purpose, address):
            assert purpose == tovrel.SOCKTYPE_IPCXN
            assert isinstance(address, tovrel.CurlSockAddr)
            assert address.addr == ("127.0.0.1", http_server.port)
            sock = socket.socket(address.family, address.socktype, address.protocol)
            opened.append(sock)
            return sock

        assert transfer(curl, http_server.url("/bytes/2000"), OPENSOCKETFUNCTION=open_socket) == pattern_bytes(2000)
        assert len(opened) == 1
        # the Python object keeps its own descriptor; closing it leaves
        # libcurl's connection alone
        opened[0].close()
        assert transfer(curl, http_server.url("/bytes/10")) == pattern_bytes(10)
        assert curl.getinfo(tovrel.NUM_CONNECTS) == 0

    def test_int_descriptor_is_handed_over(self, curl, http_server):
        def open_socket(purpose, address):
            return socket.socket(address.family, address.socktype, address.protocol).detach()

        assert transfer(curl, http_server.url("/bytes/10"), OPENSOCKETFUNCTION=open_socket) == pattern_bytes(10)

    def test_unix_socket_address(self, curl, unix_http_server):
        seen, opened = [], []

        def open_socket(purpose, address):
            seen.append(address)
            # libcurl gets a duplicate of the descriptor; this one stays ours
            opened.append(socket.socket(address.family, address.socktype, address.protocol))
            return opened[-1]

        body = transfer(curl, "http://localhost/bytes/10", UNIX_SOCKET_PATH=unix_http_server.path,
                        OPENSOCKETFUNCTION=open_socket)
        for sock in opened:
            sock.close()
        assert body == pattern_bytes(10)
        assert seen[0].family == socket.AF_UNIX and seen[0].addr == unix_http_server.path.encode()

    @pytest.mark.parametrize("result, printed", [
        pytest.param(lambda: tovrel.SOCKET_BAD, None, id="socket-bad"),
        pytest.param(lambda: object(), "Open socket callback's return value must be a socket", id="no-fileno"),
        pytest.param(lambda: type("S", (), {"fileno": lambda self: "3"})(),
                     "Open socket callback returned an object whose fileno method did not return an integer",
                     id="bad-fileno"),
        pytest.param(lambda: 2 ** 40, "socket value is out of range", id="out-of-range"),
        pytest.param(lambda: 1 / 0, "ZeroDivisionError", id="raises"),
    ])
    def test_failures_fail_the_connection(self, curl, http_server, capfd, result, printed):
        code = failing(curl, http_server.url("/bytes/10"), OPENSOCKETFUNCTION=lambda purpose, address: result())
        assert code == tovrel.E_COULDNT_CONNECT
        if printed:
            assert printed in capfd.readouterr().err


class TestSockopt:
    def test_called_for_each_socket(self, curl, http_server):
        calls = []

        def sockopt(fd, purpose):
            calls.append((type(fd), purpose))
            return tovrel.SOCKOPT_OK

        transfer(curl, http_server.url("/bytes/10"), SOCKOPTFUNCTION=sockopt)
        assert calls == [(int, tovrel.SOCKTYPE_IPCXN)]

    def test_already_connected_skips_connect(self, curl, http_server):
        def open_socket(purpose, address):
            sock = socket.create_connection(address.addr)
            return sock.detach()

        body = transfer(curl, http_server.url("/bytes/10"), OPENSOCKETFUNCTION=open_socket,
                        SOCKOPTFUNCTION=lambda fd, purpose: tovrel.SOCKOPT_ALREADY_CONNECTED)
        assert body == pattern_bytes(10)

    def test_error_aborts(self, curl, http_server):
        code = failing(curl, http_server.url("/bytes/10"), SOCKOPTFUNCTION=lambda fd, purpose: tovrel.SOCKOPT_ERROR)
        assert code == tovrel.E_ABORTED_BY_CALLBACK

    def test_exception_reaches_the_caller(self, curl, http_server, capfd):
        def sockopt(fd, purpose):
            raise ValueError("from sockopt")

        curl.setopt(tovrel.URL, http_server.url("/bytes/10"))
        curl.setopt(tovrel.SOCKOPTFUNCTION, sockopt)
        with pytest.raises(ValueError, match="from sockopt"):
            curl.perform()
        assert "Traceback" not in capfd.readouterr().err

    def test_non_integer_result(self, curl, http_server, capfd):
        code = failing(curl, http_server.url("/bytes/10"), SOCKOPTFUNCTION=lambda fd, purpose: 1.5)
        assert code == tovrel.E_ABORTED_BY_CALLBACK
        assert "sockopt callback returned 1.5 which is not an integer" in capfd.readouterr().err


class TestCloseSocket:
    def test_each_socket_closed_once(self, http_server):
        opened, closed = [], []

        def open_socket(purpose, address):
            fd = socket.socket(address.family, address.socktype, address.protocol).detach()
            opened.append(fd)
            return fd

        def close_socket(fd):
            closed.append(fd)
            os.close(fd)
            return 0

        c = tovrel.Curl()
        c.setopt(tovrel.OPENSOCKETFUNCTION, open_socket)
        c.setopt(tovrel.CLOSESOCKETFUNCTION, close_socket)
        for size in (10, 20):
            transfer(c, http_server.url(f"/bytes/{size}"))
        c.setopt(tovrel.FORBID_REUSE, 1)
        transfer(c, http_server.url("/bytes/30"))
        c.close()
        assert sorted(closed) == sorted(opened) and len(set(closed)) == len(closed) == 1
        with pytest.raises(OSError):
            os.fstat(opened[0])

    def test_exception_reaches_close(self, http_server):
        def close_socket(fd):
            os.close(fd)
            raise KeyboardInterrupt("while closing")

        c = tovrel.Curl()
        c.setopt(tovrel.CLOSESOCKETFUNCTION, close_socket)
        transfer(c, http_server.url("/bytes/10"))
        # the connection is closed when the handle goes: close() finishes,
        # then raises what the callable raised
        with pytest.raises(KeyboardInterrupt, match="while closing"):
            c.close()
        assert c.closed

    def test_exception_in_destructor_is_unraisable(self, http_server, python_subprocess):
        proc = python_subprocess(f"""
            import os, gc, tovrel
            def close_socket(fd):
                os.close(fd)
                raise ValueError("from close_socket")
            c = tovrel.Curl()
            c.setopt(tovrel.CLOSESOCKETFUNCTION, close_socket)
            c.setopt(tovrel.URL, {http_server.url("/bytes/10")!r})
            c.perform_rb()
            del c
            gc.collect()
            print("survived")
        """)
        assert proc.stdout.strip() == "survived"
        assert "ValueError: from close_socket" in proc.stderr

    @pytest.mark.parametrize("how", ["unsetopt", "reset", "setopt-none"])
    def test_pooled_connection_outlives_the_setting(self, http_server, python_subprocess, how):
        # The pooled connection still has the close-socket callback libcurl
        # copied into it; closing the handle must close it without a crash.
        proc = python_subprocess(f"""
            import os, tovrel
            closed = []
            c = tovrel.Curl()
            c.setopt(tovrel.CLOSESOCKETFUNCTION, lambda fd: closed.append(fd) or os.close(fd) or 0)
            c.setopt(tovrel.URL, {http_server.url("/bytes/10")!r})
            c.perform_rb()
            how = {how!r}
            if how == "unsetopt":
                c.unsetopt(tovrel.CLOSESOCKETFUNCTION)
            elif how == "reset":
                c.reset()
            else:
                c.setopt(tovrel.CLOSESOCKETFUNCTION, None)
            c.close()
            print(len(closed))
        """)
        assert proc.stdout.strip() == "0"

    def test_connection_pooled_in_a_share_outlives_the_handle(self, http_server, python_subprocess):
        proc = python_subprocess(f"""
            import gc, os, tovrel
            closed = []
            def close_socket(fd):
                closed.append(fd)
                os.close(fd)
                return 0
            s = tovrel.CurlShare()
            s.share(tovrel.LOCK_DATA_CONNECT)
            c = tovrel.Curl()
            c.setopt(tovrel.SHARE, s)
            c.setopt(tovrel.CLOSESOCKETFUNCTION, close_socket)
            c.setopt(tovrel.URL, {http_server.url("/bytes/10")!r})
            c.perform_rb()
            del c, close_socket
            gc.collect()
            assert closed == [], closed      # the connection waits in the share's pool
            s.close()
            print(len(closed))
        """)
        assert proc.stdout.strip() == "1"


class TestPrereq:
    def test_arguments_and_go_ahead(self, curl, http_server):
        seen = []

        def prereq(primary_ip, local_ip, primary_port, local_port):
            seen.append((primary_ip, local_ip, primary_port, type(local_port)))
            return tovrel.PREREQFUNC_OK

        transfer(curl, http_server.url("/bytes/10"), PREREQFUNCTION=prereq)
        assert seen == [("127.0.0.1", "127.0.0.1", http_server.port, int)]

    def test_abort(self, curl, http_server):
        code = failing(curl, http_server.url("/bytes/10"), PREREQFUNCTION=lambda *a: tovrel.PREREQFUNC_ABORT)
        assert code == tovrel.E_ABORTED_BY_CALLBACK

    def test_none_is_not_an_integer(self, curl, http_server, capfd):
        code = failing(curl, http_server.url("/bytes/10"), PREREQFUNCTION=lambda *a: None)
        assert code == tovrel.E_ABORTED_BY_CALLBACK
        assert "prereq callback returned None which is not an integer" in capfd.readouterr().err

    def test_exception_reaches_the_caller(self, curl, http_server):
        def prereq(*args):
            raise LookupError("no")

        curl.setopt(tovrel.URL, http_server.url("/bytes/10"))
        curl.setopt(tovrel.PREREQFUNCTION, prereq)
        with pytest.raises(LookupError):
            curl.perform()


class TestResolverStart:
    def test_called_and_continues(self, curl):
        calls = []
        code = failing(curl, "http://unresolvable.invalid/", RESOLVER_START_FUNCTION=lambda: calls.append(1))
        assert calls == [1] and code == tovrel.E_COULDNT_RESOLVE_HOST

    @pytest.mark.parametrize("result, printed", [
        (1, None), (True, None), (lambda: 1 / 0, "ZeroDivisionError"),
        ("stop", "resolver_start callback returned 'stop' which is not an integer"),
    ])
    def test_abort(self, curl, capfd, result, printed):
        callable_ = result if callable(result) else (lambda: result)
        code = failing(curl, "http://unresolvable.invalid/", RESOLVER_START_FUNCTION=callable_)
        assert code == tovrel.E_ABORTED_BY_CALLBACK
        if printed:
            assert printed in capfd.readouterr().err


class TestTrailers:
    def upload_with_trailers(self, curl, http_server, trailers):
        body = io.BytesIO()
        data = io.BytesIO(b"chunked body")
        curl.setopt(tovrel.URL, http_server.url("/echo"))
        curl.setopt(tovrel.POST, 1)
        curl.setopt(tovrel.READFUNCTION, data.read)
        curl.setopt(tovrel.HTTPHEADER, ["Transfer-Encoding: chunked"])
        curl.setopt(tovrel.TRAILERFUNCTION, trailers)
        curl.setopt(tovrel.WRITEDATA, body)
        curl.perform()
        return json.loads(body.getvalue())

    @pytest.mark.parametrize("result, expected", [
        (["X-Checksum: 1234"], ["X-Checksum: 1234"]),
        ((b"X-One: 1", "X-Two: 2"), ["X-One: 1", "X-Two: 2"]),
        ([], []),
        (None, []),
    ])
    def test_trailers_reach_the_server(self, curl, http_server, result, expected):
        seen = self.upload_with_trailers(curl, http_server, lambda: result)
        assert seen["body"] == "Y2h1bmtlZCBib2R5" and seen["trailers"] == expected

    @pytest.mark.parametrize("result, printed", [
        ([1], "list items must be byte strings or Unicode strings with ASCII code points only"),
        ({"X": "1"}, "trailer callback must return None or a list/tuple of header strings"),
        (lambda: 1 / 0, "ZeroDivisionError"),
    ])
    def test_bad_results_abort_the_upload(self, curl, http_server, capfd, result, printed):
        callable_ = result if callable(result) else (lambda: result)
        with pytest.raises(tovrel.error) as info:
            self.upload_with_trailers(curl, http_server, callable_)
        assert info.value.args[0] == tovrel.E_ABORTED_BY_CALLBACK
        assert printed in capfd.readouterr().err


class TestFnmatch:
    def test_matches_a_real_listing(self, curl, ftp_server):
        asked = []

        def fnmatch(pattern, name):
            asked.append((pattern, name))
            return tovrel.FNMATCHFUNC_MATCH if name == b"b.txt" else tovrel.FNMATCHFUNC_NOMATCH

        body = transfer(curl, ftp_server.url("/*.txt"), WILDCARDMATCH=1, FNMATCH_FUNCTION=fnmatch)
        assert body == b"bravo\n"
        assert {name for _, name in asked} == {b"a.txt", b"b.txt", b"c.log"}
        assert all(pattern == b"*.txt" for pattern, _ in asked)

    def test_failure(self, curl, ftp_server):
        code = failing(curl, ftp_server.url("/*.txt"), WILDCARDMATCH=1,
                       FNMATCH_FUNCTION=lambda pattern, name: tovrel.FNMATCHFUNC_FAIL)
        assert code == tovrel.E_REMOTE_FILE_NOT_FOUND

    def test_exception_reaches_the_caller(self, curl, ftp_server):
        def fnmatch(pattern, name):
            raise KeyError(name)

        curl.setopt(tovrel.URL, ftp_server.url("/*.txt"))
        curl.setopt(tovrel.WILDCARDMATCH, 1)
        curl.setopt(tovrel.FNMATCH_FUNCTION, fnmatch)
        with pytest.raises(KeyError):
            curl.perform_rb()


class TestSshKey:
    def run(self, curl, ssh_server, tmp_path, known_hosts, result):
        path = tmp_path / "known_hosts"
        path.write_text(known_hosts)
        calls = []

        def check(known, found, match):
            calls.append((known, found, match))
            return result

        curl.setopt(tovrel.URL, ssh_server.url("/etc/hostname"))
        curl.setopt(tovrel.SSH_KNOWNHOSTS, str(path))
        curl.setopt(tovrel.SSH_KEYFUNCTION, check)
        with pytest.raises(tovrel.error) as info:
            curl.perform_rb()
        return info.value.args[0], calls

    def test_unknown_host_rejected(self, curl, ssh_server, tmp_path):
        code, calls = self.run(curl, ssh_server, tmp_path, "", tovrel.KHSTAT_REJECT)
        assert code == tovrel.E_PEER_FAILED_VERIFICATION
        (known, found, match), = calls
        assert known is None and match == tovrel.KHMATCH_MISSING
        assert isinstance(found, tovrel.KhKey) and found.key

    def test_accepted_key_goes_on_to_login(self, curl, ssh_server, tmp_path):
        code, calls = self.run(curl, ssh_server, tmp_path, ssh_server.known_hosts_line(), tovrel.KHSTAT_FINE)
        # the key was fine; there are no credentials to log in with
        assert code == tovrel.E_LOGIN_DENIED
        (known, found, match), = calls
        assert match == tovrel.KHMATCH_OK
        assert known.key == ssh_server.public_key.encode() and known.keytype == found.keytype

    def test_exception_reaches_the_caller(self, curl, ssh_server, tmp_path):
        (tmp_path / "known_hosts").write_text("")

        def check(known, found, match):
            raise RuntimeError("key check")

        curl.setopt(tovrel.URL, ssh_server.url("/etc/hostname"))
        curl.setopt(tovrel.SSH_KNOWNHOSTS, str(tmp_path / "known_hosts"))
        curl.setopt(tovrel.SSH_KEYFUNCTION, check)
        with pytest.raises(RuntimeError, match="key check"):
            curl.perform_rb()
