"""CurlMulti objects and the membership of Curl objects on them."""

import gc
import weakref

import pytest

import tovrel


class TestConstruction:
    def test_close_handles_keyword(self):
        class Sub(tovrel.CurlMulti):
            pass

        assert tovrel.CurlMulti(close_handles=1) is not None
        with pytest.raises(TypeError):
            tovrel.CurlMulti(True)
        with pytest.raises(TypeError):
            tovrel.CurlMulti(other=1)
        # a subclass takes its own arguments; the flag stays clear
        m = Sub(close_handles=True, anything=2)
        c = tovrel.Curl()
        m.add_handle(c)
        m.close()
        assert not c.closed

    def test_context_manager(self):
        with tovrel.CurlMulti() as m:
            assert not m.closed
        assert m.closed
        with pytest.raises(TypeError):
            m.__exit__()

    def test_context_manager_propagates(self):
        with pytest.raises(ZeroDivisionError):
            with tovrel.CurlMulti() as m:
                1 / 0
        assert m.closed

    def test_attributes(self):
        m = tovrel.CurlMulti()
        assert m.M_PIPELINING == tovrel.M_PIPELINING
        m.x = 1
        assert m.x == 1
        del m.x
        with pytest.raises(AttributeError, match="^trying to obtain a non-existing attribute: nothing$"):
            m.nothing
        with pytest.raises(AttributeError, match="^trying to delete a non-existing attribute: x$"):
            del m.x


class TestMembership:
    def test_add_and_remove(self):
        m = tovrel.CurlMulti()
        c = tovrel.Curl()
        assert m.add_handle(c) is None
        assert c in m and c.multi() is m
        assert m.remove_handle(c) is None
        assert c not in m and c.multi() is None

    @pytest.mark.parametrize("setup, call, message", [
        (lambda m, c, o: m.add_handle(c), lambda m, c, o: m.add_handle(c),
         "curl object already on this multi-stack"),
        (lambda m, c, o: o.add_handle(c), lambda m, c, o: m.add_handle(c),
         "cannot add/remove handle - curl object already on another multi-stack"),
        (lambda m, c, o: o.add_handle(c), lambda m, c, o: m.remove_handle(c),
         "cannot add/remove handle - curl object already on another multi-stack"),
        (lambda m, c, o: None, lambda m, c, o: m.remove_handle(c), "curl object not on this multi-stack"),
        (lambda m, c, o: c.close(), lambda m, c, o: m.add_handle(c), "curl object already closed"),
        (lambda m, c, o: m.close(), lambda m, c, o: m.add_handle(c),
         "cannot add/remove handle - multi-stack is closed"),
        (lambda m, c, o: m.close(), lambda m, c, o: m.remove_handle(c),
         "cannot add/remove handle - multi-stack is closed"),
    ])
    def test_refusals(self, setup, call, message):
        m, c, other = tovrel.CurlMulti(), tovrel.Curl(), tovrel.CurlMulti()
        setup(m, c, other)
        with pytest.raises(tovrel.error) as info:
            call(m, c, other)
        assert info.value.args == (message,)

    @pytest.mark.parametrize("value", [None, 1, "curl", tovrel.CurlMulti])
    def test_argument_must_be_a_curl(self, value):
        m = tovrel.CurlMulti()
        with pytest.raises(TypeError):
            m.add_handle(value)
        with pytest.raises(TypeError):
            m.remove_handle(value)
        with pytest.raises(TypeError, match="^__contains__ expects a Curl object$"):
            value in m

    def test_subclass_members(self):
        class MyCurl(tovrel.Curl):
            pass

        m = tovrel.CurlMulti()
        c = MyCurl()
        m.add_handle(c)
        assert c in m

    def test_stack_keeps_members_alive(self):
        m = tovrel.CurlMulti()
        c = tovrel.Curl()
        ref = weakref.ref(c)
        m.add_handle(c)
        del c
        gc.collect()
        assert ref() is not None and ref() in m

    def test_member_does_not_keep_stack_alive(self):
        m = tovrel.CurlMulti()
        c = tovrel.Curl()
        m.add_handle(c)
        ref = weakref.ref(m)
        del m
        gc.collect()
        assert ref() is None
        assert c.multi() is None
        assert not c.closed

    def test_closed_member_is_removed_quietly(self):
        m = tovrel.CurlMulti()
        c = tovrel.Curl()
        m.add_handle(c)
        c.close()
        assert c not in m
        assert m.remove_handle(c) is None

    def test_closing_member_detaches_it(self):
        m = tovrel.CurlMulti()
        c = tovrel.Curl()
        m.add_handle(c)
        c.close()
        assert c.multi() is None
        other = tovrel.Curl()
        m.add_handle(other)
        assert other in m


class TestClose:
    @pytest.mark.parametrize("close_handles", [False, True])
    def test_close(self, close_handles):
        m = tovrel.CurlMulti(close_handles=close_handles)
        members = [tovrel.Curl() for _ in range(3)]
        for c in members:
            m.add_handle(c)
        assert m.close() is None
        assert m.closed
        assert m.close() is None
        for c in members:
            assert c not in m and c.multi() is None
            assert c.closed is close_handles
        if not close_handles:
            tovrel.CurlMulti().add_handle(members[0])

    def test_failing_member_close_keeps_stack_open(self):
        class Stubborn(tovrel.Curl):
            def close(self):
                raise RuntimeError("not now")

        m = tovrel.CurlMulti(close_handles=True)
        c = Stubborn()
        m.add_handle(c)
        with pytest.raises(RuntimeError, match="not now"):
            m.close()
        assert not m.closed
        # the member was detached on the way and is skipped next time
        assert m.close() is None
        assert m.closed

    def test_dealloc_detaches_without_closing(self):
        m = tovrel.CurlMulti(close_handles=True)
        c = tovrel.Curl()
        m.add_handle(c)
        del m
        gc.collect()
        assert c.multi() is None
        assert not c.closed
