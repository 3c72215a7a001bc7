import collections
import inspect as pyinspect
import types

import pytest

from quenlith import _core

WORDS = ["apple", "apricot", "banana", "band", "bandana", "can", "candle", "candy"]


def notes(exc):
    return getattr(exc, "__notes__", [])


# ---- Arguments ----

def test_signature_and_docstring():
    assert _core.plan.__text_signature__ is not None
    sig = pyinspect.signature(_core.plan)
    assert list(sig.parameters) == ["keys", "reverse", "ordered", "prefix", "fuzzy", "exact",
                                    "objective"]
    assert sig.parameters["reverse"].kind is pyinspect.Parameter.KEYWORD_ONLY
    assert _core.plan.__doc__.splitlines()[0].startswith("Price every index type")


@pytest.mark.parametrize("value, kind, message", [
    ("Memory", ValueError, "objective: `Memory` is not one of memory / latency / balanced"),
    ("", ValueError, "objective: `` is not one of memory / latency / balanced"),
    (None, TypeError, "objective: a name, or a mapping from operation to weight"),
    (3, TypeError, "objective: a name, or a mapping from operation to weight"),
    ([("hits", 1)], TypeError, "objective: a name, or a mapping from operation to weight"),
    ({1: 1}, TypeError, "objective: an operation is named by a string"),
    ({"hit": 1}, ValueError, "objective: `hit` is not one of hits / misses / reverse / prefix / "
                             "common_prefix / longest_prefix / batch"),
    ({"hits": -1}, ValueError, "objective: `hits` is not a whole number of 0 or more"),
    ({"hits": 1.5}, ValueError, "objective: `hits` is not a whole number of 0 or more"),
    ({"hits": "1"}, ValueError, "objective: `hits` is not a whole number of 0 or more"),
    ({"misses": 2 ** 64}, ValueError, "objective: `misses` is not a whole number of 0 or more"),
    ({"batch": 2 ** 32}, ValueError, "objective: `batch` is past what a batch can hold"),
    ({"batch": -1}, ValueError, "objective: `batch` is not a whole number of 0 or more"),
    # The first error stops the conversion.
    ({"hits": 1, "nope": 1, 2: 3}, ValueError, "objective: `nope` is not one of hits / misses / "
                                               "reverse / prefix / common_prefix / "
                                               "longest_prefix / batch"),
])
def test_objective_errors(value, kind, message):
    with pytest.raises(kind) as info:
        _core.plan(WORDS, objective=value)
    assert type(info.value) is kind
    assert str(info.value) == message
    assert notes(info.value) == ["while processing 'objective'"]


def test_objective_mapping_items_must_be_pairs():
    class Odd(collections.abc.Mapping):
        def __init__(self, items):
            self._items = items

        def __getitem__(self, key):
            raise KeyError(key)

        def __iter__(self):
            return iter(())

        def __len__(self):
            return 0

        def items(self):
            return self._items

    with pytest.raises(TypeError) as info:
        _core.plan(WORDS, objective=Odd([["hits", 1]]))
    assert notes(info.value) == ["while processing 'objective'"]
    with pytest.raises(ValueError) as info:
        _core.plan(WORDS, objective=Odd([("hits", 1, 2)]))
    assert notes(info.value) == ["while processing 'objective'"]

    # An exception of items() passes through as it is.
    class Boom(Odd):
        def items(self):
            raise RuntimeError("boom")

    with pytest.raises(RuntimeError, match="boom") as info:
        _core.plan(WORDS, objective=Boom(()))
    assert notes(info.value) == ["while processing 'objective'"]


@pytest.mark.parametrize("name", ["reverse", "ordered", "prefix", "fuzzy", "exact"])
def test_flags_must_be_bools(name):
    with pytest.raises(TypeError) as info:
        _core.plan(WORDS, **{name: 1})
    assert name in str(info.value)
    assert notes(info.value) == [f"while processing '{name}'"]


def test_flags_are_converted_before_the_objective_and_the_keys():
    with pytest.raises(TypeError) as info:
        _core.plan(42, fuzzy="yes", objective=None)
    assert notes(info.value) == ["while processing 'fuzzy'"]
    with pytest.raises(TypeError) as info:
        _core.plan(42, objective=None)
    assert notes(info.value) == ["while processing 'objective'"]


def test_argument_matching():
    with pytest.raises(TypeError):
        _core.plan()
    with pytest.raises(TypeError):
        _core.plan(WORDS, True)  # the flags are keyword-only
    with pytest.raises(TypeError):
        _core.plan(WORDS, keys=WORDS)
    with pytest.raises(TypeError):
        _core.plan(WORDS, sorted=True)
    with pytest.raises(TypeError):
        _core.plan(42)
    with pytest.raises(TypeError):
        _core.plan(["a", 1])
    with pytest.raises(UnicodeEncodeError):
        _core.plan(["a", "\ud800"])
