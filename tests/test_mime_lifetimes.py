"""Closing, deleting and collecting MIME objects and their handles in every order.

Each scenario builds the same graph: a Curl posting a CurlMime whose part
streams from Python, a nested CurlMime with a streamed part of its own, and
a duplicate of the Curl.  The objects then go away one by one; whatever is
left keeps being used.  Nothing may crash (the sanitizer build runs these
too), each free callable must run exactly once, and nothing may stay behind.
"""

import gc
import itertools

import pytest

import tovrel

OBJECTS = ("curl", "mime", "part", "nested", "dup")
ORDERS = list(itertools.permutations(OBJECTS))


def build():
    freed = []
    c = tovrel.Curl()
    m = tovrel.CurlMime(c)
    p = m.addpart()
    p.name("part")
    p.data_cb(3, lambda ud, n: b"abc", free=freed.append, userdata="part")
    n = m.add_multipart("nested")
    q = n.addpart()
    # The nested part's userdata holds the whole graph, so that collecting
    # it means breaking a cycle through a streamed part's owner.
    graph = []
    q.data_cb(3, lambda ud, n: b"abc", free=lambda ud: freed.append("nested"), userdata=graph)
    c.setopt(tovrel.MIMEPOST, m)
    d = c.duphandle()
    graph.extend([c, m, p, n, d])
    return {"curl": c, "mime": m, "part": p, "nested": n, "dup": d}, freed


def poke(objects):
    """Use what is left (without touching content); refusals are expected, nothing else is."""
    for name, obj in objects.items():
        try:
            if name in ("curl", "dup"):
                obj.setopt(tovrel.URL, "http://127.0.0.1/")
            elif name in ("mime", "nested"):
                obj.addpart().name("poked")
            else:
                obj.headers(["X-Poked: 1"])
        except tovrel.error:
            pass


def tovrel_objects():
    names = {"Curl", "CurlMime", "CurlMimePart", "_MimeDataCbOwner"}
    return [obj for obj in gc.get_objects() if type(obj).__module__ == "tovrel" and type(obj).__name__ in names]


def new_objects(before):
    known = {id(obj) for obj in before}
    return [obj for obj in tovrel_objects() if id(obj) not in known]


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr("sys.unraisablehook", lambda u: seen.append((u.exc_type, str(u.exc_value))))
    return seen


@pytest.fixture
def no_leftovers():
    gc.collect()
    # held, so that none of them goes and lends its address to a new one
    before = tovrel_objects()
    # What exists now is left out of the collections below, which then
    # only have the scenario's own objects to look at.
    gc.freeze()
    try:
        yield
    finally:
        gc.unfreeze()
    gc.collect()
    assert new_objects(before) == []


def expected_frees(gone, holders):
    """Both free callables run once every holder of a copy is gone."""
    return ["nested", "part"] if holders <= gone else []


@pytest.mark.parametrize("style", ["close", "close-and-collect", "delete", "delete-and-collect"])
def test_every_order(style, unraisable, no_leftovers):
    closing = style.startswith("close")
    collecting = style.endswith("collect")
    # What keeps a structure carrying the streamed parts alive: closing the
    # CurlMime frees its own, closing the duplicate frees the copy.  Without
    # closing, the CurlMime lives while anything refers to it, and every
    # object here does (the nested one through the Curl it was made for).
    holders = {"mime", "dup"} if closing else set(OBJECTS)
    for order in ORDERS:
        objects, freed = build()
        gone = set()
        for name in order:
            obj = objects.pop(name)
            if closing and hasattr(obj, "close"):
                obj.close()
            del obj
            gone.add(name)
            if collecting:
                gc.collect()
            if closing or collecting:
                assert sorted(freed) == expected_frees(gone, holders), (order, name)
            poke(objects)
        gc.collect()
        assert sorted(freed) == ["nested", "part"], order
    assert unraisable == []


def test_collector_clears_one_garbage_graph(unraisable, no_leftovers):
    """The handles, the structures and the callables all in one cycle."""
    objects, freed = build()
    everything = list(objects.values())
    extra = objects["mime"].addpart()
    # userdata and a default argument: references that deleting the names
    # below leaves in place
    extra.data_cb(1, lambda ud, n: b"", free=lambda ud: freed.append("extra"), userdata=everything)
    everything.append(extra)
    objects["dup"].setopt(tovrel.WRITEFUNCTION, lambda data, keep=everything: None)
    del objects, extra
    gc.collect()
    assert freed == []  # the duplicate was made before "extra" existed: it still holds the others
    del everything
    gc.collect()
    assert sorted(freed) == ["extra", "nested", "part"]
    assert unraisable == []


def test_wrappers_outlive_everything(unraisable, no_leftovers):
    objects, freed = build()
    part, nested = objects["part"], objects["nested"]
    inner = nested.addpart()
    for name in ("curl", "dup", "mime"):
        objects[name].close()
    del objects
    gc.collect()
    assert sorted(freed) == ["nested", "part"]
    for call in (lambda: part.name("x"), lambda: inner.data(b"x"), nested.addpart, nested.close):
        try:
            call()
        except tovrel.error as exc:
            assert "no mime handle" in exc.args[0]
    del part, nested, inner
    assert unraisable == []


def test_repeated_building_does_not_grow(unraisable):
    def cycle():
        objects, freed = build()
        objects["part"].data(b"replaced")
        objects["nested"].close()
        again = objects["dup"].duphandle()
        for obj in objects.values():
            if hasattr(obj, "close"):
                obj.close()
        again.close()
        assert sorted(freed) == ["nested", "part"]

    for _ in range(20):
        cycle()
    gc.collect()
    before = tovrel_objects()
    for _ in range(200):
        cycle()
    gc.collect()
    assert new_objects(before) == []
    assert unraisable == []
