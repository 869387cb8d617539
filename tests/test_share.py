"""CurlShare objects: options and closing."""

import pytest

import tovrel


class TestConstruction:
    def test_keywords(self):
        assert not tovrel.CurlShare().closed
        assert not tovrel.CurlShare(detach_on_close=False).closed
        with pytest.raises(TypeError):
            tovrel.CurlShare(False)

    def test_constants(self):
        s = tovrel.CurlShare()
        assert s.LOCK_DATA_DNS == 3
        assert s.SH_SHARE == tovrel.SH_SHARE

    def test_context_manager(self):
        with tovrel.CurlShare() as s:
            assert not s.closed
        assert s.closed
        s2 = tovrel.CurlShare()
        assert s2.__exit__() is None
        assert s2.closed


class TestOptions:
    @pytest.mark.parametrize("option, value, error, message", [
        (tovrel.SH_SHARE, tovrel.LOCK_DATA_DNS, None, None),
        (tovrel.SH_UNSHARE, tovrel.LOCK_DATA_DNS, None, None),
        (tovrel.SH_SHARE, True, TypeError, "invalid arguments to setopt"),  # True is kind 1
        (tovrel.SH_SHARE, 7, TypeError, "invalid arguments to setopt"),
        (tovrel.SH_SHARE, "3", TypeError, "invalid arguments to setopt"),
        (tovrel.SH_SHARE, 3.0, TypeError, "invalid arguments to setopt"),
        (3, 0, TypeError, "integers are not supported for this option"),
        (0, 3, TypeError, "invalid arguments to setopt"),
        (30329, 3, TypeError, "invalid arguments to setopt"),
        (10329, 3, TypeError, "invalid arguments to setopt"),
    ])
    def test_setopt(self, option, value, error, message):
        s = tovrel.CurlShare()
        if error is None:
            assert s.setopt(option, value) is None
        else:
            with pytest.raises(error) as info:
                s.setopt(option, value)
            assert info.value.args == (message,)

    @pytest.mark.parametrize("args, message", [
        ((), "at least one LOCK_DATA_* argument required"),
        (([tovrel.LOCK_DATA_COOKIE],), "list/tuple arguments are not expanded; pass each LOCK_DATA_* constant individually"),
        (((tovrel.LOCK_DATA_COOKIE,),), "list/tuple arguments are not expanded; pass each LOCK_DATA_* constant individually"),
        (("x",), "arguments must be LOCK_DATA_* integers"),
        ((tovrel.LOCK_DATA_COOKIE, 99), "invalid arguments to setopt"),
    ])
    @pytest.mark.parametrize("method", ["share", "unshare"])
    def test_share_arguments(self, method, args, message):
        s = tovrel.CurlShare()
        with pytest.raises(TypeError) as info:
            getattr(s, method)(*args)
        assert info.value.args == (message,)

    def test_share_several(self):
        s = tovrel.CurlShare()
        assert s.share(tovrel.LOCK_DATA_COOKIE, tovrel.LOCK_DATA_DNS, tovrel.LOCK_DATA_SSL_SESSION) is None
        assert s.unshare(tovrel.LOCK_DATA_DNS) is None

    def test_huge_kind(self):
        with pytest.raises(OverflowError):
            tovrel.CurlShare().share(2 ** 70)


class TestClose:
    def test_closed_share_refuses(self):
        s = tovrel.CurlShare()
        assert s.close() is None
        assert s.close() is None
        for call, name in [(lambda: s.share(tovrel.LOCK_DATA_DNS), "share"),
                           (lambda: s.unshare(tovrel.LOCK_DATA_DNS), "unshare"),
                           (lambda: s.setopt(tovrel.SH_SHARE, tovrel.LOCK_DATA_DNS), "setopt")]:
            with pytest.raises(tovrel.error) as info:
                call()
            assert info.value.args == (f"cannot invoke {name}() - no share handle",)
        # arguments are checked before the state
        with pytest.raises(TypeError):
            s.share()
