import importlib
import inspect as pyinspect
import os
import pathlib
import subprocess
import sys
import tracemalloc

import pytest

import quenlith
from quenlith import _core

# The module's names in the one order its start-up adds them; later builds add the rest.
ORDER = ["StringIndex", "StringIndexIterator", "PerfectHashIndex", "CompactHashIndex",
         "ClosedHashIndex", "Overlay", "DictIndex", "DictIndexIterator", "HashedDictIndex",
         "inspect", "plan", "_cli"]


def test_fresh_interpreter_imports_the_installed_extension():
    out = subprocess.run(
        [sys.executable, "-c",
         "import quenlith._core as c, sysconfig; print(c.__file__); print(c.__all__)"],
        capture_output=True, text=True, check=True, cwd="/")
    path, names = out.stdout.splitlines()
    assert pathlib.Path(path).name.endswith(".abi3.so")
    assert "inspect" in names


def test_all_follows_the_start_up_order_and_star_import_binds_it():
    names = _core.__all__
    assert "inspect" in names
    assert len(set(names)) == len(names)
    assert names == [n for n in ORDER if n in names]
    namespace = {}
    exec("from quenlith._core import *", namespace)
    assert sorted(k for k in namespace if k != "__builtins__") == sorted(names)
    assert _core.__doc__ == ""
    assert not hasattr(_core, "__version__")
    # The package re-exports the public names.
    assert quenlith.inspect is _core.inspect
    assert quenlith.__all__ == [n for n in names if not n.startswith("_")]


def test_the_package_loads_the_extension_when_a_name_is_first_asked_for():
    # The `quenlith` command sets how SIGINT ends it before the extension starts loading, so
    # importing the package alone must not load it; every way of asking for a name then does.
    code = ("import sys, quenlith\n"
            "print('quenlith._core' in sys.modules)\n"
            "from quenlith import *\n"
            "core = sys.modules['quenlith._core']\n"
            "print(DictIndex is core.DictIndex, quenlith._cli is core._cli,\n"
            "      'plan' in dir(quenlith))\n"
            "try:\n"
            "    quenlith.nothing\n"
            "except AttributeError as e:\n"
            "    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout == "False\nTrue True True\nmodule 'quenlith' has no attribute 'nothing'\n"


def test_reimport_makes_a_fresh_module():
    old = sys.modules.pop("quenlith._core")
    try:
        new = importlib.import_module("quenlith._core")
        assert new is not old
        assert new.__all__ == old.__all__
        for name in new.__all__:
            if isinstance(getattr(new, name), type):
                assert getattr(new, name) is getattr(old, name)
    finally:
        sys.modules["quenlith._core"] = old


def test_function_conventions():
    f = _core.inspect
    assert f.__name__ == "inspect"
    assert f.__module__ == "quenlith._core"
    assert str(pyinspect.signature(f)) == "(blob)"
    assert f.__doc__.startswith("Tell what a blob is")
    with pytest.raises(TypeError, match=r"missing required argument 'blob'"):
        f()
    with pytest.raises(TypeError, match=r"at most 1 positional argument \(2 given\)"):
        f(b"", b"")
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'data'"):
        f(data=b"")
    with pytest.raises(TypeError, match=r"multiple values for argument 'blob'"):
        f(b"", blob=b"")


def test_error_mapping(tmp_path):
    with pytest.raises(OSError) as e:
        _core.inspect(tmp_path / "missing")
    assert type(e.value) is OSError
    assert e.value.args[0].startswith("io error: ") and e.value.errno is None
    with pytest.raises(ValueError) as e:
        _core.inspect(os.urandom(16).replace(b"B", b"b").replace(b"M", b"m").replace(b"O", b"o"))
    assert type(e.value) is ValueError
    assert e.value.args[0].startswith("format error: ")
    assert not isinstance(e.value, OSError)


def test_references_do_not_leak(tmp_path):
    blob = b"BMP8" + bytes(32)
    path = tmp_path / "blob"
    path.write_bytes(blob)
    missing = str(tmp_path / "missing")
    garbage = b"garbage!"

    def calls():
        _core.inspect(blob)
        _core.inspect(path)
        _core.inspect(blob=blob)
        for bad, error in ((missing, OSError), (garbage, ValueError), (bytearray(), TypeError)):
            try:
                _core.inspect(bad)
            except error:
                pass

    before = [sys.getrefcount(o) for o in (blob, path, missing, garbage)]
    for _ in range(1000):
        calls()
    assert [sys.getrefcount(o) for o in (blob, path, missing, garbage)] == before

    # A leak is counted in blocks that stay, not in bytes: the interpreter's table of interned
    # strings, which the result's keys pass through, may be reallocated larger within the window
    # (one block the size of the table, as in a process that has loaded more modules). The
    # snapshots' own blocks are left out.
    tracemalloc.start()
    try:
        for _ in range(1000):
            calls()
        first = tracemalloc.take_snapshot()
        for _ in range(10000):
            calls()
        second = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    own = [tracemalloc.Filter(False, tracemalloc.__file__)]
    stayed = second.filter_traces(own).compare_to(first.filter_traces(own), "lineno")
    assert sum(max(stat.count_diff, 0) for stat in stayed) < 100


# Every method of every class, in the order the class declares it, with its text signature.
# Entries without a signature of their own take the common one below.
COMMON = {
    "is_empty": "($self)", "id": "($self, key)", "id_unchecked": "($self, key)",
    "contains": "($self, key)", "get": "($self, key, default=None)", "key": "($self, id)",
    "ids_of": "($self, keys)", "ids_of_bytes": "($self, keys)",
    "ids_of_arrow": "($self, column)", "ids_into_arrow": "($self, column, out)",
    "ids_into": "($self, keys, out)", "keys_of": "($self, ids)",
    "prefix": "($self, prefix, limit=None)", "common_prefix": "($self, query)",
    "longest_prefix": "($self, query)", "range": "($self, lo, hi, limit=None)",
    "lower_bound": "($self, query)", "range_count": "($self, lo, hi)",
    "prefix_count": "($self, prefix)", "prefix_id_range": "($self, prefix)",
    "successor": "($self, query)", "predecessor": "($self, query)",
    "to_bytes": "($self)", "serialized_len": "($self)", "__reduce__": "($self)",
    "from_bytes": "(data)", "from_untrusted_bytes": "(data)", "save": "($self, path)",
    "load": "(path)", "load_untrusted": "(path)", "load_mmap": "(path)",
    "load_mmap_verified": "(path)", "load_mmap_untrusted": "(path)",
}
LOOKUPS = ["ids_of", "ids_of_bytes", "ids_of_arrow", "ids_into_arrow", "ids_into"]
SERIAL = ["to_bytes", "serialized_len", "__reduce__", "from_bytes", "save", "load", "load_mmap",
          "load_mmap_verified"]
METHODS = {
    "StringIndex": [
        ("from_sorted", "(items)"), ("build_to_file", "(items, path)"),
        ("build_sorted_to_file", "(items, path)"), "is_empty", "id", "contains", "get", "key",
        *LOOKUPS, "keys_of", "prefix", "common_prefix", "longest_prefix", "range", "lower_bound",
        "range_count", "prefix_count", "prefix_id_range", "successor", "predecessor",
        ("fuzzy", "($self, query, max_distance, limit=None)"),
        ("subsequence", "($self, query, limit=None)"), "to_bytes", "serialized_len",
        "__reduce__", "from_bytes", "from_untrusted_bytes", "save", "load", "load_untrusted",
        "load_mmap", "load_mmap_verified", "load_mmap_untrusted"],
    "DictIndex": [
        ("build_to_file", "(items, path, block=256)"), "is_empty", "id", "contains", "get",
        ("lower_bound", "($self, key)"), "prefix", "common_prefix", "longest_prefix", "range",
        "prefix_count", "range_count", "prefix_id_range", "successor", "predecessor", "key",
        "keys_of", *LOOKUPS, *SERIAL],
    "PerfectHashIndex": [
        ("build_to_file", "(source, path, *, fingerprints=False)"), "is_empty",
        ("has_fingerprints", "($self)"), "id", "id_unchecked", "contains", "get", "key",
        *LOOKUPS, "keys_of", *SERIAL],
    "CompactHashIndex": [
        ("build_to_file", "(items, path, fingerprint_bytes=1, *, fingerprint_bits=None)"),
        "is_empty", "id", "id_unchecked", "get", "contains", *LOOKUPS, *SERIAL],
    "ClosedHashIndex": ["is_empty", "id", *LOOKUPS, *SERIAL[:6]],
    "HashedDictIndex": [
        ("from_dict", "(dict, fingerprint_bits)"), "is_empty", "id", "id_unchecked", "get",
        "contains", *LOOKUPS, *SERIAL],
    "Overlay": [
        "is_empty", ("id_space", "($self)"), "id", "contains", "get", ("add", "($self, key)"),
        ("remove", "($self, key)"), ("retire_id", "($self, id)"), "key", ("keys", "($self)"),
        ("compact", "($self)"), ("compact_to_file", "($self, path)"),
        ("compact_with_remap", "($self)"), ("base", "($self)"), "to_bytes", "save",
        ("from_bytes", "(data, base)"), "__reduce__", ("from_untrusted_bytes", "(data, base)"),
        ("load", "(path, base)"), ("load_untrusted", "(path, base)")],
}


@pytest.mark.parametrize("name", sorted(METHODS))
def test_every_method_in_order_with_its_text_signature(name):
    cls = getattr(_core, name)
    expected = [(m, COMMON[m]) if isinstance(m, str) else m for m in METHODS[name]]
    declared = [(m, getattr(cls, m).__text_signature__) for m, v in vars(cls).items()
                if callable(v) or isinstance(v, staticmethod)
                if not m.startswith("__") or m == "__reduce__"]
    assert declared == expected
    for method, _ in expected:
        doc = getattr(cls, method).__doc__
        assert doc and doc.strip(), (name, method)


def test_missing_key_is_a_key_error_carrying_the_key_as_a_str():
    class Loud(str):
        def __str__(self):
            return "not the key"

        def __repr__(self):
            return "Loud()"

    keys = ["a", "b"]
    d = _core.DictIndex(keys)
    indexes = [_core.StringIndex(keys), d, _core.PerfectHashIndex(keys),
               _core.CompactHashIndex(keys, fingerprint_bits=64),
               _core.HashedDictIndex.from_dict(d, 32), _core.Overlay(_core.StringIndex(keys))]
    for idx in indexes:
        for key in ("zz", Loud("zz")):
            with pytest.raises(KeyError) as caught:
                idx[key]
            assert caught.value.args == ("zz",) and type(caught.value.args[0]) is str, idx
        assert idx[Loud("b")] == idx["b"]
