"""The `quenlith` command: runs the extension's command line over this process's streams."""

import os
import signal
import sys


def _die_of_interrupt():
    """Ends the process of SIGINT, as its default action does, without a traceback."""
    while True:
        try:
            signal.signal(signal.SIGINT, signal.SIG_DFL)
            break
        except KeyboardInterrupt:  # one more that arrived before the default was in place
            continue
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    os.kill(os.getpid(), signal.SIGINT)
    os._exit(128 + signal.SIGINT)  # not reached: the default action ends the process


def _interrupt_ends_the_process():
    """Gives SIGINT its default action in place of the interpreter's KeyboardInterrupt, so that
    one arriving while the extension loads, or after the command line has put back the
    dispositions it found, ends the process of the signal instead of printing a traceback. A
    SIGINT the process was started ignoring stays ignored.

    SIGINT is blocked while the disposition changes: the interpreter raises a KeyboardInterrupt
    it has noted but not yet delivered from `signal.signal`, and one arriving after that check
    stays pending until the default action is in place."""
    if signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
        return
    mask = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        signal.signal(signal.SIGINT, signal.SIG_DFL)
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, mask)


def main() -> None:
    try:
        _interrupt_ends_the_process()
        from . import _core
    except KeyboardInterrupt:
        _die_of_interrupt()
    sys.exit(_core._cli(sys.argv[1:]))


if __name__ == "__main__":
    main()
