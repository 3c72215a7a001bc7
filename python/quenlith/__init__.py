"""quenlith: price, build and inspect string↔id indexes.

The package re-exports the public names of its extension module `quenlith._core`. The extension
is loaded when one of them is first asked for, not when the package is imported, so that the
`quenlith` command decides how SIGINT ends it before the extension starts loading.
"""

import importlib as _importlib


def _load():
    # By its full name: `from . import _core` would ask this module for the attribute first,
    # which comes back here.
    core = _importlib.import_module(__name__ + "._core")
    names = globals()
    if "__all__" not in names:
        for name in core.__all__:
            names[name] = getattr(core, name)
        names["__all__"] = [name for name in core.__all__ if not name.startswith("_")]
    return core


def __getattr__(name):
    _load()
    try:
        return globals()[name]
    except KeyError:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}") from None


def __dir__():
    _load()
    return sorted(globals())
