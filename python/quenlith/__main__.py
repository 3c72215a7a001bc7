"""The `quenlith` command: runs the extension's command line over this process's streams."""

import sys


def main() -> None:
    from . import _core

    cli = getattr(_core, "_cli", None)
    if cli is None:
        sys.stderr.write("quenlith: this build has no command line\n")
        sys.exit(1)
    sys.exit(cli(sys.argv[1:]))


if __name__ == "__main__":
    main()
