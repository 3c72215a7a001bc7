"""Interrupting the `quenlith` command: SIGINT, SIGTERM and SIGHUP end it at once, with the
signal's own status and no traceback, leave an output not yet replaced exactly as it was, and leave
nothing beside it. The library's classes take over no signal."""

import os
import random
import select
import shutil
import signal
import subprocess
import sys
import time

import pytest

from quenlith import _core

SCRIPT = shutil.which("quenlith", path=os.path.dirname(sys.executable))
COMMAND = [SCRIPT] if SCRIPT else [sys.executable, "-m", "quenlith"]

SIGNALS = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP]
# When each signal is sent, as a share of the command's own run time after it took the signals
# over: at once, halfway, and near the end.
MOMENTS = [0.0, 0.5, 0.9]
# How many times a case is run before a signal that never found the command running, or never
# ended it within a second, fails it.
ATTEMPTS = 5
KEYS = 600_000
OLD = b"the old output, which an interrupted build must leave as it was\n"

COMMANDS = [["plan"], ["build", "--index", "auto", "--stream", "never"]] + [
    ["build", "--index", kind, "--stream", route]
    for kind in ("dict", "string", "compact", "closed", "perfect")
    for route in ("never", "always")]


def default_signals():
    # The child starts with the dispositions a terminal gives, whatever this run inherited.
    for s in SIGNALS:
        signal.signal(s, signal.SIG_DFL)


def caught(pid):
    """The signals the process has a handler for, from its status file (None once it is gone)."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("SigCgt:"):
                    return int(line.split()[1], 16)
    except (FileNotFoundError, ProcessLookupError):
        return None
    return None


def wait_for_takeover(proc):
    """Waits until the command has taken SIGTERM over (Python itself leaves it alone), which is
    when the command line is running; False when the process ended first."""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        mask = caught(proc.pid)
        if mask is None or proc.poll() is not None:
            return False
        if mask & (1 << (signal.SIGTERM - 1)):
            return True
        time.sleep(0.0005)
    raise AssertionError("the command never took its signals over")


def ignoring(ignored):
    """A child's start that gives it the terminal's dispositions but for `ignored`, ignored."""
    def start():
        default_signals()
        signal.signal(ignored, signal.SIG_IGN)
    return start


def command_line(args):
    """`args` with the keys file, and for a build the output, after the command's name."""
    return [args[0], "keys.txt"] + (["out.blob"] if args[0] == "build" else []) + args[1:]


def start(args, directory, preexec=default_signals):
    return subprocess.Popen(COMMAND + command_line(args), cwd=directory, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, preexec_fn=preexec)


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    r = random.Random(29)
    text = "\n".join(f"https://host{r.randrange(10**6)}.example/{r.randrange(10**9):x}/item-{i}"
                     for i in range(KEYS)) + "\n"
    path = tmp_path_factory.mktemp("corpus") / "keys.txt"
    path.write_text(text)
    return path


def fresh(tmp_path, corpus, name):
    directory = tmp_path / name
    directory.mkdir()
    os.link(corpus, directory / "keys.txt")
    (directory / "out.blob").write_bytes(OLD)
    return directory


def ended_within(proc, seconds):
    """Whether the process ends within `seconds`, seen the moment it ends."""
    fd = os.pidfd_open(proc.pid)
    try:
        waiter = select.poll()
        waiter.register(fd, select.POLLIN)
        return bool(waiter.poll(seconds * 1000))
    finally:
        os.close(fd)


def interrupt(args, directory, s, delay):
    """Runs the command in `directory` and sends it `s` `delay` seconds after it took its signals
    over, unless it ended first (None sends nothing: the run must end in that time). Returns its status, its standard error, how long it ran after
    the takeover when it ended before the signal (None when the signal found it running), and
    how long it took to end after the signal."""
    proc = start(args, directory)
    assert wait_for_takeover(proc), proc.communicate(timeout=60)[1]
    began = time.monotonic()
    if not ended_within(proc, delay) and s is not None:
        proc.send_signal(s)
    sent = time.monotonic()
    _, err = proc.communicate(timeout=60)
    # A command that ended before the signal ran at most until the signal was sent.
    ran = sent - began if proc.returncode == 0 else None
    return proc.returncode, err, ran, time.monotonic() - sent


def reference(args, corpus, tmp_path):
    """The output of an uninterrupted run, and how long it ran after taking its signals over."""
    directory = fresh(tmp_path, corpus, "reference")
    rc, err, ran, _ = interrupt(args, directory, None, 300)
    assert rc == 0, err
    return (directory / "out.blob").read_bytes(), ran


@pytest.mark.parametrize("args", COMMANDS, ids=" ".join)
def test_a_signal_ends_the_command_at_once_and_leaves_nothing_behind(args, corpus, tmp_path):
    # The uninterrupted run: the blob a completed build writes, and how long the command runs
    # once it has taken the signals over, the pace each signal is aimed by.
    new, pace = reference(args, corpus, tmp_path)
    if args[0] == "build":
        assert new != OLD
    # The load of the machine changes how long a run takes. A signal that found the command
    # already done, when it was meant to come at once or halfway, is sent again at that run's
    # own pace; one that took long to end the command is sent again as it was. A case holds once
    # one of its attempts shows it, and every attempt must be sound.
    missed = []
    for s in SIGNALS:
        for moment in MOMENTS:
            for attempt in range(ATTEMPTS):
                case = f"{s.name} at {moment:.0%}, attempt {attempt + 1}"
                directory = fresh(tmp_path, corpus, f"{s.name}-{moment}-{attempt}")
                before = sorted(os.listdir(directory))
                rc, err, ran, ended = interrupt(args, directory, s, moment * pace)
                output = (directory / "out.blob").read_bytes()
                assert sorted(os.listdir(directory)) == before, case
                if rc == 0:
                    # Done before the signal came: the complete new blob.
                    assert output == new, case
                    if moment == MOMENTS[-1]:
                        break
                    pace = min(pace, ran)
                    continue
                assert rc == -s, (case, err)
                assert b"Traceback" not in err and b"KeyboardInterrupt" not in err, (case, err)
                assert output in (OLD, new), case
                if ended < 1.0:
                    break
            else:
                missed.append(f"{s.name} at {moment:.0%}")
    # Every signal sent at once and halfway found the command running and ended it at once, and
    # every one sent near the end did so or found it done.
    assert missed == []


@pytest.mark.parametrize("ignored", [signal.SIGHUP, signal.SIGINT], ids=lambda s: s.name)
def test_an_ignored_signal_stays_ignored(ignored, corpus, tmp_path):
    # Under nohup a hang-up must not end the build, nor a SIGINT a shell's background job, which
    # starts with it ignored: the command takes over only what the process does not ignore.
    directory = fresh(tmp_path, corpus, "ignored")
    proc = start(["build", "--index", "dict", "--stream", "always"], directory, ignoring(ignored))
    assert wait_for_takeover(proc)
    assert not caught(proc.pid) & (1 << (ignored - 1))
    proc.send_signal(ignored)
    _, err = proc.communicate(timeout=300)
    assert proc.returncode == 0, err
    assert err.startswith(b"wrote out.blob: DictIndex over 600000 keys")
    assert sorted(os.listdir(directory)) == ["keys.txt", "out.blob"]


def test_the_command_puts_back_the_dispositions_it_found():
    # Run in this interpreter: a command takes the signals over only while it runs, and a
    # handler of the program's own survives it.
    seen = []
    previous = signal.signal(signal.SIGHUP, lambda *a: seen.append(a[0]))
    try:
        int_handler = signal.getsignal(signal.SIGINT)
        term_handler = signal.getsignal(signal.SIGTERM)
        assert _core._cli(["-V"]) == 0
        assert signal.getsignal(signal.SIGINT) is int_handler
        assert signal.getsignal(signal.SIGTERM) is term_handler
        os.kill(os.getpid(), signal.SIGHUP)
        time.sleep(0.01)
        assert seen == [signal.SIGHUP]
    finally:
        signal.signal(signal.SIGHUP, previous)


def test_library_builds_take_over_no_signal(tmp_path):
    # A program that builds through the classes keeps its own handling of every signal: the
    # process catches nothing beyond what Python itself catches while the build runs.
    script = (
        "import os, signal, sys, quenlith\n"
        "keys = (f'key-{i}' for i in range(3_000_000))\n"
        "quenlith.DictIndex(keys).save(sys.argv[1])\n")
    proc = subprocess.Popen([sys.executable, "-c", script, str(tmp_path / "lib.blob")],
                            preexec_fn=default_signals)
    masks = set()
    while proc.poll() is None:
        masks.add(caught(proc.pid) or 0)
        time.sleep(0.002)
    assert proc.returncode == 0
    assert not any(m & (1 << (s - 1)) for m in masks for s in (signal.SIGTERM, signal.SIGHUP))


# ---- SIGINT in the command's first and last moments ----

# Runs the `quenlith` command in this interpreter, as its script would run in its own: sys.argv is
# the command line after `--`, and a hook set first sends the process SIGINT at one moment of the
# run: "import" as the extension starts loading, "return" just after the command line returns.
HOOKED = r"""
import os, runpy, signal, sys
moment, script = sys.argv[1], sys.argv[2]
sys.argv = [script or "quenlith"] + sys.argv[sys.argv.index("--") + 1:]

class InterruptAtImport:
    def find_spec(self, name, path=None, target=None):
        if name == "quenlith._core":
            os.kill(os.getpid(), signal.SIGINT)
        return None

def interrupt_at_return(frame, event, arg):
    if event == "c_return" and getattr(arg, "__name__", "") == "_cli":
        sys.setprofile(None)
        os.kill(os.getpid(), signal.SIGINT)

if moment == "import":
    sys.meta_path.insert(0, InterruptAtImport())
else:
    sys.setprofile(interrupt_at_return)
if script:
    runpy.run_path(script, run_name="__main__")
else:
    runpy.run_module("quenlith", run_name="__main__", alter_sys=True)
"""


@pytest.fixture(scope="module")
def small_corpus(tmp_path_factory):
    r = random.Random(11)
    text = "".join(f"https://host{r.randrange(20000)}.example/{r.getrandbits(40):x}\n"
                   for _ in range(100_000))
    path = tmp_path_factory.mktemp("small") / "keys.txt"
    path.write_text(text)
    return path


@pytest.mark.parametrize("route", ["always", "never"])
@pytest.mark.parametrize("ignored", [False, True], ids=["default", "ignored"])
def test_sigint_as_the_extension_loads_or_after_the_command_returns(route, ignored, small_corpus,
                                                                    tmp_path):
    # The script's process ends of a SIGINT at either moment without a word, as one during the
    # run ends it; a SIGINT the process was started ignoring changes nothing.
    args = ["build", "--index", "perfect", "--stream", route]
    new, _ = reference(args, small_corpus, tmp_path)
    for moment in ("import", "return"):
        directory = fresh(tmp_path, small_corpus, f"{moment}-{route}-{ignored}")
        proc = subprocess.run(
            [sys.executable, "-c", HOOKED, moment, SCRIPT or "", "--"] + command_line(args),
            cwd=directory, capture_output=True, timeout=300,
            preexec_fn=ignoring(signal.SIGINT) if ignored else default_signals)
        summary = [line for line in proc.stderr.splitlines(True) if line.startswith(b"wrote ")]
        assert sorted(os.listdir(directory)) == ["keys.txt", "out.blob"], moment
        if ignored or moment == "return":
            assert proc.stderr == b"".join(summary) and len(summary) == 1, (moment, proc.stderr)
            assert (directory / "out.blob").read_bytes() == new, moment
        else:
            assert proc.stderr == b"", moment
            assert (directory / "out.blob").read_bytes() == OLD, moment
        assert proc.returncode == (0 if ignored else -signal.SIGINT), (moment, proc.stderr)


@pytest.mark.parametrize("kind,route", [("string", "always"), ("closed", "always"),
                                        ("dict", "never")])
def test_sigint_as_the_summary_appears_ends_the_command_without_a_traceback(kind, route,
                                                                            small_corpus,
                                                                            tmp_path):
    # Ctrl-C just as the command finishes: it either completes or dies of the signal, with the
    # complete new blob in place, nothing beside it and no traceback.
    args = ["build", "--index", kind, "--stream", route]
    new, _ = reference(args, small_corpus, tmp_path)
    for round_ in range(5):
        for delay in (0.0, 0.001, 0.003):
            case = f"round {round_}, {delay * 1000:.0f} ms after the summary"
            directory = fresh(tmp_path, small_corpus, f"{round_}-{delay}")
            proc = start(args, directory)
            err = b""
            for line in proc.stderr:
                err += line
                if line.startswith(b"wrote "):
                    if delay:
                        time.sleep(delay)
                    proc.send_signal(signal.SIGINT)
                    break
            err += proc.stderr.read()
            proc.wait(timeout=60)
            assert b"Traceback" not in err and b"KeyboardInterrupt" not in err, (case, err)
            assert proc.returncode in (0, -signal.SIGINT), (case, err)
            assert (directory / "out.blob").read_bytes() == new, case
            assert sorted(os.listdir(directory)) == ["keys.txt", "out.blob"], case
