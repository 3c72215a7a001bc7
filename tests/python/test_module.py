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

    tracemalloc.start()
    try:
        for _ in range(1000):
            calls()
        first, _ = tracemalloc.get_traced_memory()
        for _ in range(10000):
            calls()
        second, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert second - first < 64 * 1024
