"""The Curl object's life: creation, duplication, reset, closing, attributes."""

import copy
import gc
import pickle
import weakref

import pytest

import tovrel


def no_handle(method):
    return f"^cannot invoke {method}\\(\\) - no curl handle$"


class TestConstruction:
    @pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1}), ((None,), {})])
    def test_exact_type_takes_no_arguments(self, args, kwargs):
        with pytest.raises(TypeError):
            tovrel.Curl(*args, **kwargs)

    def test_subclass_arguments_are_its_own(self):
        class Named(tovrel.Curl):
            def __init__(self, name, *, verbose=False):
                super().__init__()
                self.name = name
                self.verbose = verbose

        c = Named("a", verbose=True)
        assert (c.name, c.verbose) == ("a", True)
        assert not c.closed

    def test_new_object_is_open(self):
        c = tovrel.Curl()
        assert c.closed is False
        assert c.multi() is None
        assert c.share() is None


class TestClose:
    def test_close_twice(self):
        c = tovrel.Curl()
        assert c.close() is None
        assert c.close() is None
        assert c.closed is True
        assert c.multi() is None and c.share() is None

    @pytest.mark.parametrize("method", ["reset"])
    def test_closed_object_refuses(self, method):
        c = tovrel.Curl()
        c.close()
        with pytest.raises(tovrel.error, match=no_handle(method)):
            getattr(c, method)()

    def test_context_manager_closes(self):
        with tovrel.Curl() as c:
            assert not c.closed
        assert c.closed

    def test_context_manager_propagates(self):
        with pytest.raises(KeyError):
            with tovrel.Curl() as c:
                raise KeyError("inside")
        assert c.closed

    def test_exit_takes_any_arguments(self):
        c = tovrel.Curl()
        assert c.__exit__(None, None, None, "extra") is None
        assert c.closed

    def test_methods_after_close_keep_object_usable(self):
        c = tovrel.Curl()
        c.x = 1
        c.close()
        assert c.x == 1
        assert c.URL == tovrel.URL


class TestDuphandle:
    def test_closed_source_refuses(self):
        c = tovrel.Curl()
        c.close()
        with pytest.raises(tovrel.error, match="^cloning curl failed$"):
            c.duphandle()

    def test_copy_is_open_and_independent(self):
        c = tovrel.Curl()
        d = c.duphandle()
        assert type(d) is tovrel.Curl
        assert d is not c
        c.close()
        assert not d.closed
        d.close()

    def test_attributes_are_copied_shallowly(self):
        c = tovrel.Curl()
        shared = []
        c.items = shared
        c.name = "source"
        d = c.duphandle()
        assert d.items is shared
        d.name = "copy"
        assert c.name == "source"

    def test_subclass_copy_skips_initialiser(self):
        calls = []

        class Counting(tovrel.Curl):
            def __init__(self):
                super().__init__()
                calls.append(self)

        c = Counting()
        d = c.duphandle()
        assert type(d) is Counting
        assert calls == [c]

    def test_copy_is_not_on_the_source_stack(self):
        m = tovrel.CurlMulti()
        c = tovrel.Curl()
        m.add_handle(c)
        d = c.duphandle()
        assert d.multi() is None and d not in m
        assert c.multi() is m


class TestReset:
    def test_reset_keeps_attributes_and_membership(self):
        m = tovrel.CurlMulti()
        c = tovrel.Curl()
        c.tag = "kept"
        m.add_handle(c)
        assert c.reset() is None
        assert c.tag == "kept"
        assert c.multi() is m and c in m

    def test_reset_twice(self):
        c = tovrel.Curl()
        c.reset()
        c.reset()
        assert not c.closed


class TestAttributes:
    def test_set_get_delete(self):
        c = tovrel.Curl()
        c.answer = 42
        assert c.answer == 42
        del c.answer
        with pytest.raises(AttributeError, match="^trying to delete a non-existing attribute: answer$"):
            del c.answer
        with pytest.raises(AttributeError, match="^trying to obtain a non-existing attribute: answer$"):
            c.answer

    def test_delete_on_fresh_object(self):
        c = tovrel.Curl()
        with pytest.raises(AttributeError, match="^trying to delete a non-existing attribute: nothing$"):
            del c.nothing

    def test_instance_attribute_hides_constant(self):
        c, other = tovrel.Curl(), tovrel.Curl()
        assert c.URL == tovrel.URL
        c.URL = 5
        assert c.URL == 5
        assert other.URL == tovrel.URL

    def test_type_attributes_win(self):
        c = tovrel.Curl()
        c.closed = "no"
        c.close = None
        assert c.closed is False
        assert callable(c.close)
        c.close()
        assert c.closed is True

    def test_getattr_default(self):
        assert getattr(tovrel.Curl(), "missing", "fallback") == "fallback"


class TestPickling:
    @pytest.mark.parametrize("make", [tovrel.Curl, tovrel.CurlMulti, tovrel.CurlShare])
    def test_refused(self, make):
        obj = make()
        name = type(obj).__name__
        with pytest.raises(TypeError, match=f"^{name} objects do not support serialization$"):
            pickle.dumps(obj)
        with pytest.raises(TypeError, match=f"^{name} objects do not support serialization$"):
            copy.copy(obj)
        with pytest.raises(TypeError, match=f"^{name} objects do not support deserialization$"):
            obj.__setstate__({})


class TestLifetime:
    def test_weak_reference(self):
        c = tovrel.Curl()
        ref = weakref.ref(c)
        assert ref() is c
        del c
        assert ref() is None

    def test_cycle_through_attributes_is_collected(self):
        c = tovrel.Curl()
        c.me = c
        ref = weakref.ref(c)
        del c
        gc.collect()
        assert ref() is None

    def test_many_objects(self):
        handles = [tovrel.Curl() for _ in range(200)]
        copies = [h.duphandle() for h in handles]
        for h in handles[::2]:
            h.close()
        del handles, copies
        gc.collect()
