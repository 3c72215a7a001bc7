"""quenlith: price, build and inspect string↔id indexes.

The package re-exports the public names of its extension module `quenlith._core`.
"""

from . import _core
from ._core import *  # noqa: F401,F403

__all__ = [name for name in _core.__all__ if not name.startswith("_")]
