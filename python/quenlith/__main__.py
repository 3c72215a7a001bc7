"""The `quenlith` command: runs the extension's command line over this process's streams."""

import sys


def main() -> None:
    from . import _core

    sys.exit(_core._cli(sys.argv[1:]))


if __name__ == "__main__":
    main()
