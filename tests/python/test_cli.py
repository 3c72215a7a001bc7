"""The `quenlith` command line, run as a user runs it: the console script in a subprocess, with
standard output, standard error and the exit status checked byte for byte. Cases that only need
the parser run in-process through `_cli` with the descriptors captured, which is much cheaper."""

import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import threading

import pytest

import blobs
from quenlith import _core

SCRIPT = shutil.which("quenlith", path=os.path.dirname(sys.executable)) or shutil.which("quenlith")
COMMAND = [SCRIPT] if SCRIPT else [sys.executable, "-m", "quenlith"]
HASH_KINDS = ["perfect", "compact", "closed"]
# The kinds that build in memory and streamed; streamed builds write the in-memory blob.
KINDS = HASH_KINDS + ["string", "dict"]
STREAMED = KINDS
NAMES = {"perfect": "PerfectHashIndex", "compact": "CompactHashIndex", "closed": "ClosedHashIndex",
         "string": "StringIndex", "dict": "DictIndex"}


def run(*args, stdin=None, cwd=None, **kw):
    args = list(args)
    # A build streams or not by the machine's free memory unless told: builds here take the
    # in-memory route unless the test names --stream itself.
    if args[:1] == ["build"] and not any(a.startswith("--stream") for a in args):
        args += ["--stream", "never"]
    done = subprocess.run(COMMAND + args, input=stdin, capture_output=True, cwd=cwd, **kw)
    return done.returncode, done.stdout, done.stderr


def usage():
    rc, out, err = run("--help")
    assert (rc, err) == (0, b"")
    return out


USAGE = usage()


def usage_error(message):
    # The message, an empty line, the usage text (which ends in a line feed) and one more line
    # feed: the report ends in an empty line.
    return b"quenlith: " + message.encode() + b"\n\n" + USAGE + b"\n"


def write(path, data):
    path.write_bytes(data if isinstance(data, bytes) else data.encode())
    return str(path)


def listing(directory):
    return sorted(os.listdir(directory))


# ---- Front end ----

def test_usage_text_version_and_help_anywhere():
    assert len(USAGE) == 3504
    assert USAGE.startswith("quenlith 4.1.1 — price, build and inspect string↔id indexes\n".encode())
    assert USAGE.endswith(b"lossy bytes would hold keys the file does not.\n")
    for args in (["help", "whatever"], ["inspect", "x", "-h"],
                 ["build", "k", "o", "--index", "--help"], ["plan", "--bogus", "--help"]):
        assert run(*args) == (0, USAGE, b""), args
    assert run("-V", "anything") == (0, b"quenlith 4.1.1\n", b"")
    assert run("--version") == (0, b"quenlith 4.1.1\n", b"")
    # python -m quenlith is the same program.
    done = subprocess.run([sys.executable, "-m", "quenlith", "-V"], capture_output=True)
    assert (done.returncode, done.stdout) == (0, b"quenlith 4.1.1\n")


def test_usage_errors_report_the_usage_text_with_status_2():
    assert run() == (2, b"", usage_error("no subcommand"))
    assert run()[2].endswith(b"the file does not.\n\n")
    assert run("plan") == (2, b"", usage_error("expected `quenlith plan <keys-file> [needs]`"))
    assert run("frobnicate", "--help") == (0, USAGE, b"")
    assert run("frobnicate") == (2, b"", usage_error("no such subcommand `frobnicate`"))


# Each: arguments, the usage failure's message.
PARSE_FAILURES = [
    (["plan"], "expected `quenlith plan <keys-file> [needs]`"),
    (["dump", "a", "b"], "expected `quenlith dump <blob>`"),
    (["inspect"], "expected `quenlith inspect <blob> [--sections]`"),
    (["build", "k"], "expected `quenlith build <keys-file> <out-blob> [options]`"),
    (["dump", "a.blob", "--sections"], "no such option `--sections`"),
    (["plan", "k", "--index", "dict"], "no such option `--index`"),
    (["plan", "-V"], "no such option `-V`"),
    (["plan", "--", "k"], "no such option `--`"),
    (["plan", "k", "--foo=bar"], "no such option `--foo`"),
    (["inspect", "b", "--reverse"], "no such option `--reverse`"),
    (["build", "k", "o", "--index"], "--index needs a value"),
    (["build", "k", "o", "--index", "--block"], "--index: no such index `--block`"),
    (["build", "k", "o", "--index=Dict"], "--index: no such index `Dict`"),
    (["build", "k", "o", "--block=+0"], "--block: 0 is outside 1..=1024"),
    (["build", "k", "o", "--block", "1025"], "--block: 1025 is outside 1..=1024"),
    (["build", "k", "o", "--block", "99999999999999999999"],
     "--block: `99999999999999999999` is neither a number nor one of fast / balanced / compact"),
    (["build", "k", "o", "--block", "-1"],
     "--block: `-1` is neither a number nor one of fast / balanced / compact"),
    (["build", "k", "o", "--stream", "K"],
     "--stream: `K` is neither a size (1000, 512M, 4G) nor one of auto / always / never"),
    (["build", "k", "o", "--stream", "1.5G"],
     "--stream: `1.5G` is neither a size (1000, 512M, 4G) nor one of auto / always / never"),
    (["build", "k", "o", "--stream=512MB"],
     "--stream: `512MB` is neither a size (1000, 512M, 4G) nor one of auto / always / never"),
    (["build", "k", "o", "--stream", "17179869184G"],
     "--stream: `17179869184G` is neither a size (1000, 512M, 4G) nor one of auto / always / never"),
    (["build", "k", "o", "--stream="],
     "--stream: `` is neither a size (1000, 512M, 4G) nor one of auto / always / never"),
    (["plan", "k", "--objective", "hits=1,"],
     "--objective: `` is not op=weight, with op one of hits / misses / reverse / prefix / "
     "common_prefix / longest_prefix / batch"),
    (["plan", "k", "--objective", "batch=4294967296"],
     "--objective: `batch=4294967296` is not op=weight, with op one of hits / misses / reverse / "
     "prefix / common_prefix / longest_prefix / batch"),
    (["plan", "k", "--objective", "hits=1,speed=2"],
     "--objective: `speed=2` is not op=weight, with op one of hits / misses / reverse / prefix / "
     "common_prefix / longest_prefix / batch"),
    (["plan", "k", "--objective", "fast"],
     "--objective: `fast` is not one of memory / latency / balanced, or a workload such as "
     "hits=9,misses=1"),
    (["plan", "k", "--objective"], "--objective needs a value"),
    # The first failure wins; the positional count is checked last.
    (["plan", "k", "--index", "x", "--bogus"], "no such option `--index`"),
    (["build", "--stream", "x", "--index", "y"],
     "--stream: `x` is neither a size (1000, 512M, 4G) nor one of auto / always / never"),
    (["plan", "a", "b", "--bogus"], "no such option `--bogus`"),
    (["build", "k", "o", "p", "--index", "perfect"],
     "expected `quenlith build <keys-file> <out-blob> [options]`"),
    # The value is the next argument whatever it looks like, so the positional goes missing.
    (["build", "k", "--index", "o", "perfect"], "--index: no such index `o`"),
    (["build", "k", "o", "--block", "64"],
     "--block is the DictIndex block size and needs `--index dict`"),
    (["build", "k", "o", "--block", "64", "--index", "string"],
     "--block is the DictIndex block size and needs `--index dict`"),
]


def test_every_parse_failure_in_process(capfd):
    for args, message in PARSE_FAILURES:
        assert _core._cli(args) == 2, args
        out, err = capfd.readouterr()
        assert (out, err.encode()) == ("", usage_error(message)), args


def test_cli_argument_extraction():
    with pytest.raises(TypeError):
        _core._cli("plan")
    with pytest.raises(TypeError):
        _core._cli(["plan", 3])
    with pytest.raises(TypeError):
        _core._cli(None)
    with pytest.raises(TypeError):
        _core._cli()
    assert _core._cli(args=("-V",)) == 0


def test_options_take_inline_or_next_values(tmp_path, capfd):
    keys = write(tmp_path / "k.txt", "b\na\n")
    out = str(tmp_path / "o.blob")
    # "--name=value", "--name value", a repeated option's last value, flags with inline values.
    for args in (["--index=perfect"], ["--index", "compact", "--index", "perfect"],
                 ["--exact=no", "--index", "perfect", "--closed-vocabulary", "--objective=hits=2"],
                 ["--stream=never", "--index", "perfect", "--objective", "memory"]):
        pin = [] if any(a.startswith("--stream") for a in args) else ["--stream", "never"]
        assert _core._cli(["build", keys, out] + args + pin) == 0, args
        assert capfd.readouterr() == ("", f"wrote {out}: PerfectHashIndex over 2 keys, "
                                          f"{os.path.getsize(out)} bytes "
                                          f"({os.path.getsize(out) / 2:.2f} B/key)\n")


def test_arguments_are_taken_in_the_filesystem_encoding(tmp_path, capfd):
    # File names are bytes: a keys file and an output whose names are not UTF-8 work from the
    # console script and in process, and the messages carry the names' own bytes.
    keys = os.path.join(os.fsencode(tmp_path), b"k\xff.txt")
    blob = os.path.join(os.fsencode(tmp_path), b"o\xfe.blob")
    with open(keys, "wb") as f:
        f.write(b"b\na\n\n")
    done = subprocess.run(COMMAND + [b"build", keys, blob, b"--index", b"string", b"--stream",
                                     b"never"], capture_output=True)
    size = os.path.getsize(blob)
    assert (done.returncode, done.stdout) == (0, b"")
    assert done.stderr == keys + b": 1 empty lines skipped\nwrote " + blob + \
        f": StringIndex over 2 keys, {size} bytes ({size / 2:.2f} B/key)\n".encode()
    assert _core._cli(["dump", os.fsdecode(blob)]) == 0
    assert capfd.readouterr().out == "a\nb\n"
    # An argument with no bytes in that encoding is a usage failure, never a traceback; help and
    # the version still answer.
    bad = str(tmp_path / "k\ud800.txt")
    shown = bad.encode("utf-8", "backslashreplace").decode()
    for args in (["build", bad, "o.blob", "--index", "string"], ["inspect", bad],
                 ["plan", "k", "--objective", "\udfff"]):
        assert _core._cli(args) == 2, args
        out, err = capfd.readouterr()
        culprit = shown if bad in args else "\\udfff"
        assert (out, err.encode()) == ("", usage_error(
            f"argument `{culprit}` is not valid in the filesystem encoding")), args
    assert _core._cli(["inspect", bad, "--help"]) == 0
    assert _core._cli(["-V", bad]) == 0
    assert capfd.readouterr() == (USAGE.decode() + "quenlith 4.1.1\n", "")
    done = subprocess.run([sys.executable, "-c", "import sys, quenlith.__main__ as m; "
                           "sys.argv = ['quenlith', 'dump', '\\ud800']; m.main()"],
                          capture_output=True)
    assert (done.returncode, done.stdout) == (2, b"")
    assert done.stderr.startswith(b"quenlith: argument `\\ud800` is not valid")
    assert listing(tmp_path) == sorted([os.fsdecode(b"k\xff.txt"), os.fsdecode(b"o\xfe.blob")])


# ---- Standard streams ----

def closed(fd):
    return lambda: os.close(fd)


def test_closed_standard_streams(tmp_path):
    # A closed standard output or error takes what is written; a closed standard input is empty.
    done = subprocess.run(COMMAND + ["-V"], capture_output=False, preexec_fn=closed(1))
    assert done.returncode == 0
    done = subprocess.run(COMMAND + ["plan"], stdout=subprocess.PIPE, preexec_fn=closed(2))
    assert (done.returncode, done.stdout) == (2, b"")
    out = str(tmp_path / "o.blob")
    done = subprocess.run(COMMAND + ["build", "-", out, "--index", "perfect"],
                          capture_output=True, preexec_fn=closed(0))
    assert (done.returncode, done.stdout) == (0, b"")
    assert done.stderr.startswith(f"wrote {out}: PerfectHashIndex over 0 keys, ".encode())


def test_a_write_to_a_vanished_reader_is_a_work_failure(tmp_path):
    keys = write(tmp_path / "k.txt", "".join(f"key{i}\n" for i in range(50000)))
    blob = str(tmp_path / "p.blob")
    assert run("build", keys, blob, "--index", "perfect")[0] == 0
    r, w = os.pipe()
    os.close(r)
    done = subprocess.run(COMMAND + ["dump", blob], stdout=w, stderr=subprocess.PIPE)
    os.close(w)
    assert (done.returncode, done.stderr) == (1, b"quenlith: Broken pipe (os error 32)\n")


# ---- Keys files ----

def dumped(tmp_path, keys_text, *build_args):
    keys = write(tmp_path / "keys.txt", keys_text)
    blob = str(tmp_path / "keys.blob")
    rc, out, err = run("build", keys, blob, "--index", "perfect", *build_args)
    assert (rc, out) == (0, b""), err
    rc, out, err2 = run("dump", blob)
    return rc, sorted(out.split(b"\n")[:-1]), err, err2


def test_keys_file_lines(tmp_path):
    assert dumped(tmp_path, "")[:2] == (0, [])
    assert dumped(tmp_path, "a\nb")[:2] == (0, [b"a", b"b"])
    rc, keys, err, _ = dumped(tmp_path, "a\n\nb\n")
    assert (keys, err.split(b"\n")[0]) == ([b"a", b"b"], f"{tmp_path}/keys.txt: 1 empty lines skipped".encode())
    assert dumped(tmp_path, "a\r\nb\r\n\r\n")[1] == [b"a", b"b"]
    # Of two carriage returns before a line feed only the last goes, and one at the very end of
    # a file stays: either leaves a key that dump refuses, naming its id.
    for text in ("zz\na\r\r\n", "zz\na\r"):
        rc, _, _, err = dumped(tmp_path, text)
        assert rc == 1 and re.fullmatch(
            rb"quenlith: id [01] holds a line break, which one key per line cannot carry\n", err)


def test_keys_from_standard_input(tmp_path):
    blob = str(tmp_path / "o.blob")
    rc, out, err = run("build", "-", blob, "--index", "closed", stdin=b"x\n\ny\n\n")
    assert (rc, out) == (0, b"")
    assert err.startswith(b"-: 2 empty lines skipped\nwrote " + blob.encode() +
                          b": ClosedHashIndex over 2 keys, ")
    rc, out, err = run("build", "-", blob, "--index", "closed", stdin=b"x\ny\n\xff\n")
    assert (rc, out, err) == (1, b"", b"quenlith: -:3: stream did not contain valid UTF-8\n")


def test_failing_keys_files_leave_the_output_alone(tmp_path):
    blob = tmp_path / "out.blob"
    blob.write_bytes(b"old contents")
    os.chmod(blob, 0o640)
    bad = write(tmp_path / "bad.txt", b"one\ntwo\n\xc3(\nfour\n")
    for kind in KINDS:
        for stream in ("never", "always") if kind in STREAMED else ("never",):
            rc, out, err = run("build", bad, str(blob), "--index", kind, "--stream", stream)
            assert (rc, out, err) == (1, b"", f"quenlith: {bad}:3: stream did not contain valid "
                                              f"UTF-8\n".encode())
            rc, out, err = run("build", str(tmp_path / "missing.txt"), str(blob), "--index", kind,
                               "--stream", stream)
            assert (rc, err) == (1, f"quenlith: {tmp_path}/missing.txt: No such file or directory "
                                    f"(os error 2)\n".encode())
    assert blob.read_bytes() == b"old contents"
    assert listing(tmp_path) == ["bad.txt", "out.blob"]
    # An output path that is a directory: the writer fails and leaves nothing behind.
    good = write(tmp_path / "good.txt", "a\nb\n")
    (tmp_path / "dir").mkdir()
    for kind in KINDS:
        rc, out, err = run("build", good, str(tmp_path / "dir"), "--index", kind, "--stream",
                           "never")
        assert rc == 1 and err.startswith(b"quenlith: io error: "), err
        if kind in STREAMED:
            # The streamed route fails at its final rename, naming the output.
            rc, out, err = run("build", good, str(tmp_path / "dir"), "--index", kind, "--stream",
                               "always")
            assert (rc, err) == (1, f"quenlith: {tmp_path}/dir: Is a directory (os error 21)\n"
                                    .encode())
    assert listing(tmp_path) == ["bad.txt", "dir", "good.txt", "out.blob"]
    assert listing(tmp_path / "dir") == []


def test_a_device_pipe_or_socket_at_the_output_is_never_replaced(tmp_path):
    # A named pipe stands for every node that is not a regular file (a device, when run as root):
    # both routes refuse it, leave it in place and leave nothing beside it.
    keys = write(tmp_path / "k.txt", "a\nb\n")
    fifo = tmp_path / "out.blob"
    os.mkfifo(fifo)
    not_replaced = "the target exists and is not a regular file, so it is not replaced"
    # Refused before any work, in the same words on both routes: no plan is written, and a
    # keys file that would fail is not even opened.
    missing = str(tmp_path / "missing.txt")
    for index in KINDS + ["auto"]:
        for stream in ("never", "always"):
            for keys_path in (keys, missing):
                assert run("build", keys_path, str(fifo), "--index", index, "--stream", stream) == (
                    1, b"", f"quenlith: io error: {not_replaced}\n".encode()), (index, stream)
    with pytest.raises(OSError, match=not_replaced):
        _core.StringIndex(["a"]).save(str(fifo))
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    # A symbolic link is itself replaced by the blob; what it points at is left alone.
    target = write(tmp_path / "target", "kept")
    link = tmp_path / "link.blob"
    os.symlink(target, link)
    for stream in ("never", "always"):
        assert run("build", keys, str(link), "--index", "perfect", "--stream", stream)[0] == 0
        assert not os.path.islink(link) and (tmp_path / "target").read_text() == "kept"
        os.remove(link)
        os.symlink(target, link)
    assert listing(tmp_path) == ["k.txt", "link.blob", "out.blob", "target"]



def test_a_link_at_the_output_is_refused_as_what_it_leads_to(tmp_path):
    # A link to a pipe, a device or a process's descriptor (what /dev/stdout is) is refused as the
    # node itself is, before any work; a link to a directory fails at the rename as a directory
    # does. Either way the link stays, and nothing it leads to is written.
    keys = write(tmp_path / "k.txt", "a\nb\n")
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "d").mkdir()
    links = {"l_fifo": "fifo", "l_chain": "l_fifo", "l_null": "/dev/null",
             "l_out": "/proc/self/fd/1", "l_dir": "d"}
    for name, to in links.items():
        os.symlink(to, tmp_path / name)
    not_replaced = b"quenlith: io error: the target exists and is not a regular file, so it is " \
                   b"not replaced\n"
    captured = tmp_path / "cap.bin"
    for index in KINDS + ["auto"]:
        for stream in ("never", "always"):
            for name in links:
                output = str(tmp_path / name)
                with open(captured, "wb") as out:  # standard output a regular file
                    done = subprocess.run(COMMAND + ["build", keys, output, "--index", index,
                                                     "--stream", stream],
                                          stdout=out, stderr=subprocess.PIPE)
                if name != "l_dir":
                    expected = not_replaced
                elif stream == "always":
                    expected = f"quenlith: {output}: Is a directory (os error 21)\n".encode()
                else:
                    expected = b"quenlith: io error: Is a directory (os error 21)\n"
                if index == "auto" and name == "l_dir":  # the plan comes first
                    assert done.stderr.endswith(expected), (index, stream, name, done.stderr)
                else:
                    assert done.stderr == expected, (index, stream, name)
                assert done.returncode == 1 and captured.read_bytes() == b""
    for name in links:
        with pytest.raises(OSError, match="Is a directory" if name == "l_dir" else
                           "not a regular file"):
            _core.StringIndex(["a"]).save(str(tmp_path / name))
    for name, to in links.items():
        assert os.readlink(tmp_path / name) == to
    assert stat.S_ISFIFO(os.lstat(tmp_path / "fifo").st_mode)
    assert listing(tmp_path) == sorted(["cap.bin", "d", "fifo", "k.txt", *links])
    assert listing(tmp_path / "d") == []
    # A link to a regular file is replaced by the blob, which keeps that file's permission bits;
    # the file itself is left alone.
    kept = tmp_path / "kept"
    write(kept, "kept")
    os.chmod(kept, 0o640)
    for stream in ("never", "always"):
        os.symlink("kept", tmp_path / "l_file")
        assert run("build", keys, str(tmp_path / "l_file"), "--index", "dict", "--stream",
                   stream)[0] == 0
        assert not os.path.islink(tmp_path / "l_file")
        assert stat.S_IMODE(os.stat(tmp_path / "l_file").st_mode) == 0o640
        assert kept.read_text() == "kept"
        os.remove(tmp_path / "l_file")

# ---- Keys that can be read only once, and an output that is the keys file ----

ONCE_KEYS = ("".join(f"w{i * 7919 % 3000}\r\n" for i in range(3000)) + "\n" + "w\u00e9\n" +
             "last\r").encode()


def run_fed(args, data, how, tmp_path):
    """Runs the command with its keys path (the "{keys}" argument) a pipe fed `data` by a writer:
    standard input as /dev/stdin, a pipe's descriptor path (what a shell's process substitution
    hands over), or a named pipe. A command that opens the path twice waits on a pipe that nobody
    writes again: the timeout turns that into a failure."""
    args = list(args)
    if not any(a.startswith("--stream") for a in args):
        args += ["--stream", "never"]
    pass_fds, stdin, feed = (), None, None
    if how == "stdin":
        path, stdin = "/dev/stdin", subprocess.PIPE
    elif how == "fd":
        r, w = os.pipe()
        path, pass_fds = f"/dev/fd/{r}", (r,)
    else:
        path = str(tmp_path / "keys.fifo")
        os.mkfifo(path)
    proc = subprocess.Popen(COMMAND + [path if a == "{keys}" else a for a in args],
                            stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            pass_fds=pass_fds)

    pipe_in, proc.stdin = proc.stdin, None  # written by the feeder alone

    def write_all():
        if how == "stdin":
            target = pipe_in
        elif how == "fd":
            os.close(r)
            target = os.fdopen(w, "wb")
        else:
            target = open(path, "wb")
        with target:
            try:
                target.write(data)
            except BrokenPipeError:
                pass

    feed = threading.Thread(target=write_all, daemon=True)
    feed.start()
    try:
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
        if how == "fifo":
            os.unlink(path)
    feed.join(5)
    return proc.returncode, out, err.replace(path.encode(), b"{keys}")


def test_keys_that_can_be_read_only_once_build_what_a_regular_file_builds(tmp_path):
    regular = write(tmp_path / "keys.txt", ONCE_KEYS)
    for index in ["auto"] + KINDS:
        for stream in ("never", "always"):
            args = ["build", "{keys}", str(tmp_path / "o.blob"), "--index", index, "--stream",
                    stream]
            rc, out, err = run(*[regular if a == "{keys}" else a for a in args])
            assert rc == 0, err
            expected = (rc, out, err.replace(regular.encode(), b"{keys}"))
            blob = (tmp_path / "o.blob").read_bytes()
            for how in ("stdin", "fd", "fifo"):
                (tmp_path / "o.blob").unlink()
                assert run_fed(args, ONCE_KEYS, how, tmp_path) == expected, (index, stream, how)
                assert (tmp_path / "o.blob").read_bytes() == blob, (index, stream, how)
    assert listing(tmp_path) == ["keys.txt", "o.blob"]


def test_keys_read_once_are_held_below_the_threshold_and_spilled_from_it(tmp_path):
    # Told apart as for a regular file, by a missing output directory: in memory, the skipped
    # line is reported before the writer fails; streamed, the copy beside the output cannot be
    # made and nothing is reported before the failure.
    failed = b"quenlith: io error: No such file or directory (os error 2)\n"
    size = len(ONCE_KEYS)
    for threshold, note in ((size + 1, b"{keys}: 1 empty lines skipped\n"), (size, b"")):
        assert run_fed(["build", "{keys}", str(tmp_path / "no" / "o"), "--index", "dict",
                        "--stream", str(threshold)], ONCE_KEYS, "fd", tmp_path) == (
            1, b"", note + failed), threshold
    # A failure of the keys read from the copy names the keys path and leaves neither the copy
    # nor a partial output behind.
    blob = tmp_path / "o.blob"
    blob.write_bytes(b"old")
    for index in ["auto"] + KINDS:
        bad = b"one\ntwo\n\xc3(\n" + ONCE_KEYS
        rc, out, err = run_fed(["build", "{keys}", str(blob), "--index", index, "--stream",
                                "always"], bad, "fifo", tmp_path)
        message = b"io error: {keys}:3: not UTF-8" if index == "auto" else \
            b"{keys}:3: stream did not contain valid UTF-8"
        assert (rc, out, err) == (1, b"", b"quenlith: " + message + b"\n"), index
    assert blob.read_bytes() == b"old"
    assert listing(tmp_path) == ["o.blob"]


def test_an_output_that_is_the_keys_file_is_refused(tmp_path):
    keys = write(tmp_path / "k.txt", "b\na\n")
    os.link(keys, tmp_path / "hard.txt")
    os.symlink(keys, tmp_path / "soft.txt")
    (tmp_path / "d").mkdir()
    spellings = [keys, str(tmp_path / "d" / ".." / "k.txt"), str(tmp_path / "hard.txt"),
                 str(tmp_path / "soft.txt")]

    def refused(keys_path, output):
        return (1, b"", f"quenlith: the output `{output}` is the keys file `{keys_path}`: the "
                        f"blob would replace the keys it is built from\n".encode())

    for index in ["auto"] + KINDS:
        for stream in ("never", "always"):
            for output in spellings:
                assert run("build", keys, output, "--index", index, "--stream", stream) == \
                    refused(keys, output), (index, stream, output)
            # Standard input redirected from the output, by "-" or by /dev/stdin.
            for keys_path in ("-", "/dev/stdin"):
                with open(keys, "rb") as f:
                    done = subprocess.run(COMMAND + ["build", keys_path, keys, "--index", index,
                                                     "--stream", stream],
                                          stdin=f, capture_output=True)
                assert (done.returncode, done.stdout, done.stderr) == refused(keys_path, keys)
    assert (tmp_path / "k.txt").read_text() == "b\na\n"
    assert listing(tmp_path) == ["d", "hard.txt", "k.txt", "soft.txt"]


# ---- build ----

def test_in_memory_builds_keep_the_replaced_files_mode_and_drop_duplicates(tmp_path):
    once = write(tmp_path / "once.txt", "".join(f"k{i}\n" for i in range(1000)))
    twice = write(tmp_path / "twice.txt", "".join(f"k{i}\nk{i}\n" for i in range(1000)))
    for kind in KINDS:
        a, b = tmp_path / f"{kind}.a", tmp_path / f"{kind}.b"
        b.write_bytes(b"")
        os.chmod(b, 0o600)
        assert run("build", once, str(a), "--index", kind)[0] == 0
        rc, _, err = run("build", twice, str(b), "--index", kind)
        assert rc == 0
        assert err == (f"wrote {b}: {NAMES[kind]} over 1000 keys, {b.stat().st_size} bytes "
                       f"({b.stat().st_size / 1000:.2f} B/key)\n").encode()
        assert a.read_bytes() == b.read_bytes()
        assert stat.S_IMODE(b.stat().st_mode) == 0o600
    # The compact index stores 8 fingerprint bits a key; the perfect index no fingerprint bytes.
    assert _core.inspect(str(tmp_path / "compact.a"))["fingerprint_bits"] == 8


def test_missing_output_directory(tmp_path):
    keys = write(tmp_path / "k.txt", "a\n")
    rc, out, err = run("build", keys, str(tmp_path / "no" / "o.blob"), "--index", "perfect")
    assert (rc, out) == (1, b"")
    assert err == b"quenlith: io error: No such file or directory (os error 2)\n"
    assert listing(tmp_path) == ["k.txt"]


def test_zero_keys_build(tmp_path):
    keys = write(tmp_path / "k.txt", "\n\n")
    blob = tmp_path / "o.blob"
    rc, out, err = run("build", keys, str(blob), "--index", "compact")
    size = blob.stat().st_size
    assert (rc, err) == (0, f"{keys}: 2 empty lines skipped\nwrote {blob}: CompactHashIndex over "
                            f"0 keys, {size} bytes ({size:.2f} B/key)\n".encode())


def test_streamed_builds_equal_in_memory_ones_and_keep_the_mode(tmp_path):
    distinct = write(tmp_path / "k.txt", "".join(f"k{i * 7919 % 5000}\n" for i in range(5000)) + "\n")
    # Every key twice: the streamed builders count each once, but for the two-pass perfect hash,
    # which refuses repeats.
    repeated = write(tmp_path / "r.txt", "".join(f"k{i % 5000}\n" for i in range(10000)) + "\n")
    for kind in STREAMED:
        keys = distinct if kind == "perfect" else repeated
        memory, streamed = tmp_path / f"{kind}.memory", tmp_path / f"{kind}.streamed"
        streamed.write_bytes(b"old")
        os.chmod(streamed, 0o600)
        assert run("build", keys, str(memory), "--index", kind, "--stream", "never")[0] == 0
        rc, out, err = run("build", keys, str(streamed), "--index", kind, "--stream", "always")
        size = streamed.stat().st_size
        assert (rc, out, err) == (0, b"", f"{keys}: 1 empty lines skipped\nwrote {streamed}: "
                                          f"{NAMES[kind]} over 5000 keys, {size} bytes "
                                          f"({size / 5000:.2f} B/key)\n".encode())
        assert streamed.read_bytes() == memory.read_bytes()
        assert stat.S_IMODE(streamed.stat().st_mode) == 0o600
        # A size threshold: a file smaller than it is built in memory, one at least as large
        # streams. Told apart by a missing output directory: the in-memory route has reported the
        # skipped line before it fails, the streamed one reports it only after success.
        size = os.path.getsize(keys)
        failed = b"quenlith: io error: No such file or directory (os error 2)\n"
        for threshold, note in ((size + 1, f"{keys}: 1 empty lines skipped\n".encode()),
                                (size, b"")):
            assert run("build", keys, str(tmp_path / "no" / "o"), "--index", kind, "--stream",
                       str(threshold)) == (1, b"", note + failed)
    assert sorted(listing(tmp_path)) == sorted(
        ["k.txt", "r.txt"] + [f"{k}.{r}" for k in STREAMED for r in ("memory", "streamed")])


def test_streamed_perfect_hash_refusals(tmp_path):
    blob = tmp_path / "out.blob"
    blob.write_bytes(b"old")
    # The two-pass build needs distinct keys, which the in-memory route would drop.
    keys = write(tmp_path / "k.txt", "a\nb\na\n")
    assert run("build", keys, str(blob), "--index", "perfect", "--stream", "always") == (
        1, b"", b"quenlith: build error: perfect-hash: build_to_file needs distinct keys and the "
                b"source repeated one\n")
    # A file that reads differently on each pass (a regular file of size 0, so it streams).
    uuid = "/proc/sys/kernel/random/uuid"
    if os.path.exists(uuid):
        assert run("build", uuid, str(blob), "--index", "perfect", "--stream", "always") == (
            1, b"", b"quenlith: build error: perfect-hash: the source did not replay the same "
                    b"keys in the same order\n")
    assert blob.read_bytes() == b"old"
    assert listing(tmp_path) == ["k.txt", "out.blob"]


def test_dictionary_blocks(tmp_path):
    keys = write(tmp_path / "k.txt", "".join(f"key{i}\n" for i in range(3000)))
    blocks = {}
    for args in ([], ["--block", "fast"], ["--block=64"], ["--block", "1024"]):
        memory, streamed = tmp_path / "memory.blob", tmp_path / "streamed.blob"
        assert run("build", keys, str(memory), "--index", "dict", "--stream", "never", *args)[0] == 0
        assert run("build", keys, str(streamed), "--index", "dict", "--stream", "always",
                   *args)[0] == 0
        assert memory.read_bytes() == streamed.read_bytes(), args
        blocks[tuple(args)] = struct.unpack_from("<I", memory.read_bytes(), 12)[0]
    assert list(blocks.values()) == [256, 32, 64, 1024]


# ---- inspect ----

def test_inspect_lines(tmp_path):
    blob = write(tmp_path / "p.blob", blobs.bmp8(5, 17, 2))
    rc, out, err = run("inspect", blob)
    assert (rc, err) == (0, b"")
    assert out.decode() == (f"kind: PerfectHashIndex\nformat: BMP8\nbytes: {len(blobs.bmp8(5, 17, 2))}\n"
                            f"keys: 5\nmph_bytes: {len(blobs.mph3(5))}\narena_bytes: 17\n"
                            f"side_entries: 2\n")
    ovl = blobs.ovl2(2, blobs.bmp8(5, 17, 2), ["x"], [0b101])
    rc, out, _ = run("inspect", write(tmp_path / "o.blob", ovl))
    lines = out.decode().splitlines()
    assert lines[:7] == ["kind: Overlay", "format: OVL2", f"bytes: {len(ovl)}", "keys: 4",
                         "overlay.base_tag: 2", "overlay.additions: 1", "overlay.retired: 2"]
    assert lines[7:10] == ["base.kind: PerfectHashIndex", "base.format: BMP8",
                           f"base.bytes: {len(blobs.bmp8(5, 17, 2))}"]
    unknown = blobs.ovl2(9, b"", [], [1])
    rc, out, _ = run("inspect", write(tmp_path / "u.blob", unknown))
    assert out.decode().splitlines() == ["kind: Overlay", "format: OVL2", f"bytes: {len(unknown)}",
                                         "overlay.base_tag: 9", "overlay.additions: 0",
                                         "overlay.retired: 1"]
    # --sections is a dictionary's byte split: other kinds print their lines, then fail.
    rc, out, err = run("inspect", blob, "--sections")
    assert (rc, out.count(b"\n")) == (1, 7)
    assert err == f"quenlith: {blob}: --sections is a DictIndex's byte split, and this is a PerfectHashIndex\n".encode()
    # --sections on a dictionary: its info lines, fifteen byte rows ending in the total, three counts.
    for n in (3000, 0):
        keys = write(tmp_path / "k.txt", "".join(f"key{i}\n" for i in range(n)))
        dict_blob = tmp_path / "d.blob"
        assert run("build", keys, str(dict_blob), "--index", "dict")[0] == 0
        rc, out, err = run("inspect", str(dict_blob), "--sections")
        assert (rc, err) == (0, b"")
        lines = out.decode().splitlines()
        assert lines[:4] == ["kind: DictIndex", "format: BDX3", f"bytes: {dict_blob.stat().st_size}",
                             f"keys: {n}"]
        rows = [l for l in lines if l.startswith("sections.")]
        assert [r.split(":")[0] for r in rows] == [f"sections.{name}" for name in (
            "header", "tables", "header_codes", "phrases", "heads", "head_ends", "block_offsets",
            "micro_offsets", "restart_headers", "restart_wide", "restart_codes", "entry_headers",
            "entry_wide", "entry_codes", "total", "restarts", "entries", "wide")]
        total = int(rows[14].split()[1])
        assert total == sum(int(r.split()[1]) for r in rows[:14])
        assert rows[14] == f"sections.total: {total} ({total / max(n, 1):.4f} B/key, 100.00 %)"
        assert rows[0] == f"sections.header: 72 ({72 / max(n, 1):.4f} B/key, {7200 / total:.2f} %)"
    rc, out, err = run("inspect", write(tmp_path / "x.bin", b"BMP3" + bytes(40)))
    assert (rc, out) == (1, b"")
    assert err.startswith(f"quenlith: {tmp_path}/x.bin: format error: a PerfectHashIndex blob from quenlith < 4.0".encode())


# ---- dump ----

def test_dump_refusals(tmp_path):
    cases = [
        ("c.blob", blobs.bch8(9, 11, 3), "{}: a CompactHashIndex stores no keys, so there is nothing "
         "to dump — the key list it was built from is the only way back"),
        ("l.blob", blobs.bcl2(6, 1), "{}: a ClosedHashIndex stores no keys, so there is nothing to "
         "dump — the key list it was built from is the only way back"),
        ("m.blob", blobs.mph3(300), "{}: a minimal perfect hash stores no keys, so there is nothing "
         "to dump — the key list it was built from is the only way back"),
        ("o.blob", blobs.ovl2(3, blobs.bch8(9, 11, 3), [], []),
         "{}: an overlay over a base tagged 3 stores no keys of its own to dump"),
        ("x.bin", b"hello, world", "{}: format error: not a quenlith blob: unknown magic"),
        ("e.bin", b"", "{}: format error: not a quenlith blob: shorter than a magic"),
    ]
    for name, data, message in cases:
        path = write(tmp_path / name, data)
        assert run("dump", path) == (1, b"", f"quenlith: {message.format(path)}\n".encode()), name
    # An older dictionary inspects as one, and its loader refuses it without the path.
    old = write(tmp_path / "old.blob", b"BDX2" + blobs.bdx3()[4:])
    rc, out, err = run("dump", old)
    assert (rc, out) == (1, b"") and err.startswith(b"quenlith: format error: dict: blob written by")
    assert run("dump", str(tmp_path / "none")) == (
        1, b"", f"quenlith: {tmp_path}/none: io error: No such file or directory (os error 2)\n".encode())


def test_dump_then_build_round_trips_ordered_kinds(tmp_path):
    keys = ["zeta", "alpha", "ünïcödé", "a b", "alpha", "m\tn"] + [f"k{i}" for i in range(500)]
    src = write(tmp_path / "k.txt", "\n".join(keys) + "\n")
    for kind in ("string", "dict"):
        blob, again = tmp_path / f"{kind}.blob", tmp_path / f"{kind}.again"
        assert run("build", src, str(blob), "--index", kind)[0] == 0
        rc, out, err = run("dump", str(blob))
        assert (rc, err) == (0, b"")
        assert out.decode().split("\n")[:-1] == sorted(set(keys), key=lambda k: k.encode())
        assert run("build", "-", str(again), "--index", kind, stdin=out)[0] == 0
        assert again.read_bytes() == blob.read_bytes()


def test_dump_of_overlays(tmp_path):
    # Real bases built by the command line, wrapped in overlay blobs: the live keys come out base
    # ids first, then the additions, retired ids skipped.
    src = write(tmp_path / "k.txt", "".join(f"w{i}\n" for i in range(100)))
    for kind, tag in (("perfect", 2), ("string", 1)):
        base = tmp_path / f"{kind}.blob"
        assert run("build", src, str(base), "--index", kind)[0] == 0
        order = run("dump", str(base))[1].decode().split("\n")[:-1]
        # Retire ids 0 and 5 of the base and the first addition (id 100).
        words = [(1 << 0) | (1 << 5), 1 << (100 - 64)]
        expected = [k for i, k in enumerate(order) if i not in (0, 5)] + ["add2"]
        for make in (blobs.ovl2, blobs.ovl1):
            blob = write(tmp_path / "o.blob", make(tag, base.read_bytes(), ["add1", "add2"], words))
            rc, out, err = run("dump", blob)
            assert (rc, err) == (0, b""), (kind, make)
            assert out.decode().split("\n")[:-1] == expected
    # A perfect-hash base under a StringIndex tag fails with the base loader's message.
    blob = write(tmp_path / "o.blob", blobs.ovl2(1, (tmp_path / "perfect.blob").read_bytes(), [], []))
    rc, out, err = run("dump", blob)
    assert (rc, out) == (1, b"") and err.startswith(b"quenlith: format error: ")


def test_dump_of_a_perfect_hash_index(tmp_path):
    keys = [f"word{i:05}" for i in range(3000)] + ["ünïcödé", "a b"]
    src = write(tmp_path / "k.txt", "\n".join(keys) + "\n")
    blob = tmp_path / "p.blob"
    assert run("build", src, str(blob), "--index", "perfect")[0] == 0
    rc, out, err = run("dump", str(blob))
    assert (rc, err) == (0, b"")
    dumped = out.decode().split("\n")
    assert dumped.pop() == "" and sorted(dumped) == sorted(keys)
    assert dumped != sorted(dumped)  # id order, not key order
    # dump | build round-trips: the same keys, and the same ids since the build is deterministic.
    rc, _, _ = run("build", "-", str(tmp_path / "q.blob"), "--index", "perfect", stdin=out)
    assert rc == 0 and run("dump", str(tmp_path / "q.blob"))[1] == out
    # A blob whose payload was altered fails with the loader's message and writes nothing.
    data = bytearray(blob.read_bytes())
    data[-1] ^= 1
    blob.write_bytes(bytes(data))
    assert run("dump", str(blob)) == (1, b"", b"quenlith: format error: payload checksum mismatch\n")
    # Zero keys: nothing written.
    empty = write(tmp_path / "e.txt", "")
    assert run("build", empty, str(blob), "--index", "perfect")[0] == 0
    assert run("dump", str(blob)) == (0, b"", b"")


def test_dump_refuses_the_empty_key_which_a_keys_file_cannot_carry(tmp_path):
    # A keys file skips empty lines, so a dumped empty key would vanish from `dump | build` and
    # shift every later id of an ordered index: dump fails at its id, after the keys before it.
    q = _core
    words = [f"w{i:03}" for i in range(60)]
    perfect = q.PerfectHashIndex(words + [""])
    at = perfect.id("")
    assert at > 0  # so that keys come out before the refusal
    over_string = q.Overlay(q.StringIndex(["a", "b"]))
    for key in ("x", "", "y"):
        over_string.add(key)
    over_perfect = q.Overlay(q.PerfectHashIndex(["a", "", "b"]))
    base_ids = {k: over_perfect.base().id(k) for k in ("a", "", "b")}
    over_perfect.add("z")
    cases = [  # (index, id of the empty key, keys written before it)
        (q.StringIndex(["", "apple", "banana"]), 0, []),
        (q.DictIndex(["banana", "", "apple"]), 0, []),
        (q.HashedDictIndex.from_dict(q.DictIndex(["", "apple", "banana"]), 8), 0, []),
        (perfect, at, [perfect.key(i) for i in range(at)]),
        (over_string, 3, ["a", "b", "x"]),
        (q.Overlay(q.StringIndex(["", "a"])), 0, []),
        (over_perfect, base_ids[""], sorted(["a", "b"], key=base_ids.get)[:base_ids[""]]),
    ]
    for n, (index, empty_id, before) in enumerate(cases):
        blob = str(tmp_path / f"{n}.blob")
        index.save(blob)
        rc, out, err = run("dump", blob)
        message = f"quenlith: id {empty_id} is the empty key, which a keys file cannot carry\n"
        assert (rc, out.decode(), err.decode()) == (
            1, "".join(k + "\n" for k in before), message), type(index).__name__
    # A retired empty key is no key of the overlay: the rest dump and the dump succeeds.
    for base in (q.StringIndex(["", "a", "b"]), q.PerfectHashIndex(["", "a", "b"])):
        ov = q.Overlay(base)
        ov.remove("")
        ov.add("c")
        ov.save(str(tmp_path / "r.blob"))
        assert run("dump", str(tmp_path / "r.blob")) == (0, "".join(
            k + "\n" for k in ov.keys()).encode(), b"")
    # Without it, dump | build still carries every kind that stores keys to the same blob.
    src = write(tmp_path / "k.txt", "".join(w + "\n" for w in words))
    for kind in ("string", "dict", "perfect"):
        blob, again = tmp_path / f"{kind}.blob", tmp_path / f"{kind}.again"
        assert run("build", src, str(blob), "--index", kind)[0] == 0
        rc, out, err = run("dump", str(blob))
        assert (rc, err) == (0, b"")
        assert run("build", "-", str(again), "--index", kind, stdin=out)[0] == 0
        assert again.read_bytes() == blob.read_bytes(), kind


# ---- plan and --index auto ----

NOTICE = ("excluded: needs exact — CompactHashIndex (a bounded false-positive rate) and "
          "ClosedHashIndex (a stranger gets some member's id). Pass --closed-vocabulary if every "
          "key you will ask about is in this file, and they are ranked with the rest.\n").encode()
INDEX_OF = {v: k for k, v in NAMES.items()}


def winner(plan_text):
    line = next(l for l in plan_text.decode().splitlines() if l.startswith("* "))
    words = line.split()
    return INDEX_OF[words[1]], (words[-1] if "at block" in line else None)


def test_plan_text_and_the_implied_exact_notice(tmp_path):
    keys = write(tmp_path / "k.txt", "".join(f"word{i}\n" for i in range(2000)) + "\n")
    rc, out, err = run("plan", keys)
    assert (rc, err) == (0, NOTICE)
    assert out.startswith(b"2000 keys, ") and b"CompactHashIndex" not in out
    rc, open_out, err = run("plan", keys, "--closed-vocabulary")
    assert (rc, err) == (0, b"") and b"CompactHashIndex" in open_out
    for needs in (["--exact"], ["--ordered"], ["--objective", "reverse=1"]):
        rc, out, err = run("plan", keys, *needs)
        assert (rc, err) == (0, b""), needs
    assert run("plan", keys, "--objective", "hits=1")[2] == NOTICE
    # Standard input: the skipped-lines note comes first; a closed standard error drops the
    # notice without failing.
    rc, out, err = run("plan", "-", stdin=b"a\n\nb\n\n")
    assert (rc, err) == (0, b"-: 2 empty lines skipped\n" + NOTICE) and out.startswith(b"2 keys, ")
    done = subprocess.run(COMMAND + ["plan", keys], stdout=subprocess.PIPE, preexec_fn=closed(2))
    assert (done.returncode, done.stdout[:10]) == (0, b"2000 keys,")


def test_plan_failures(tmp_path):
    bad = write(tmp_path / "bad.txt", b"a\nb\n\xff\n")
    assert run("plan", bad) == (1, b"", f"quenlith: io error: {bad}:3: not UTF-8\n".encode())
    assert run("plan", "-", stdin=b"a\nb\n\xff\n") == (
        1, b"", b"quenlith: -:3: stream did not contain valid UTF-8\n")
    missing = str(tmp_path / "missing.txt")
    assert run("plan", missing) == (
        1, b"", f"quenlith: io error: {missing}: No such file or directory (os error 2)\n".encode())
    assert run("build", missing, str(tmp_path / "o"))[2] == (
        f"quenlith: io error: {missing}: No such file or directory (os error 2)\n".encode())
    assert listing(tmp_path) == ["bad.txt"]


def test_index_auto_builds_what_plan_picks(tmp_path):
    keys = write(tmp_path / "k.txt", "".join(f"word{i}\n" for i in range(3000)) + "\n\n")
    for needs in ([], ["--closed-vocabulary"], ["--reverse"], ["--ordered"], ["--fuzzy"]):
        _, plan_text, _ = run("plan", keys, *needs)
        kind, block = winner(plan_text)
        auto = tmp_path / "auto.blob"
        rc, out, err = run("build", keys, str(auto), *needs)
        assert (rc, out) == (0, b""), err
        notice = NOTICE if not needs else b""
        size = auto.stat().st_size
        assert err == plan_text + notice + (
            f"{keys}: 2 empty lines skipped\nwrote {auto}: {NAMES[kind]} over 3000 keys, {size} "
            f"bytes ({size / 3000:.2f} B/key)\n").encode()
        named = tmp_path / "named.blob"
        extra = ["--block", block] if block else []
        assert run("build", keys, str(named), "--index", kind, *extra)[0] == 0
        assert named.read_bytes() == auto.read_bytes(), needs
    # Keys from standard input: the skipped-lines note comes before the plan.
    rc, out, err = run("build", "-", str(tmp_path / "s.blob"), stdin=b"x\n\ny\n")
    assert rc == 0 and err.startswith(b"-: 1 empty lines skipped\n2 keys, ")


def test_the_readme_first_command(tmp_path):
    # The README's first run: plan and build the bundled vocabulary, inspect the blob, look a key
    # up from Python.
    words = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "words.txt")
    rc, out, err = run("build", words, "words.blob", "--index", "auto", cwd=tmp_path)
    assert (rc, out) == (0, b"")
    assert err.splitlines()[-1].startswith(b"wrote words.blob: DictIndex over 2000 keys, ")
    rc, out, _ = run("inspect", "words.blob", cwd=tmp_path)
    assert rc == 0 and out.startswith(b"kind: DictIndex\n")
    done = subprocess.run([sys.executable, "-c", "import quenlith; print(quenlith.DictIndex"
                           ".load('words.blob').id('tapapa'))"], capture_output=True, cwd=tmp_path)
    assert done.stdout.strip().isdigit()


# ---- Builds under limits and races ----

def summary(path, kind, keys, size):
    return (f"wrote {path}: {NAMES[kind]} over {keys} keys, {size} bytes "
            f"({size / keys:.2f} B/key)\n").encode()


def test_the_summary_gives_the_size_of_the_blob_this_build_wrote(tmp_path):
    # Another process keeps replacing and removing the output name: the summary still gives the
    # size of this build's blob, and a name removed after the rename does not fail the build.
    keys = write(tmp_path / "k.txt", "".join(f"key{i}\n" for i in range(3000)))
    sizes = {}
    for kind in KINDS:
        ref = tmp_path / f"{kind}.ref"
        assert run("build", keys, str(ref), "--index", kind)[0] == 0
        sizes[kind] = ref.stat().st_size
    out = tmp_path / "out" / "o.blob"
    out.parent.mkdir()
    other = tmp_path / "other"
    other.write_bytes(b"another blob")
    stop = threading.Event()

    def replace():
        spare = tmp_path / "out" / "spare"
        while not stop.is_set():
            os.link(other, spare)
            os.replace(spare, out)
            try:
                os.unlink(out)
            except FileNotFoundError:
                pass

    replacer = threading.Thread(target=replace)
    replacer.start()
    try:
        for _ in range(3):
            for kind in KINDS:
                for stream in ("never", "always"):
                    got = run("build", keys, str(out), "--index", kind, "--stream", stream)
                    assert got == (0, b"", summary(out, kind, 3000, sizes[kind])), (kind, stream)
    finally:
        stop.set()
        replacer.join()


def limited(script_args, limit_code, stdin=None, preexec_fn=None, cwd=None):
    """Runs `_cli(script_args)` in a fresh interpreter after `limit_code` has lowered its limits;
    `limit_code` sees `vm`, the interpreter's address space in bytes once quenlith is imported."""
    code = ("import resource, sys\n"
            "from quenlith import _core\n"
            "vm = next(int(l.split()[1]) * 1024 for l in open('/proc/self/status')\n"
            "          if l.startswith('VmSize:'))\n"
            + limit_code +
            "\nsys.exit(_core._cli(sys.argv[1:]))\n")
    done = subprocess.run([sys.executable, "-c", code, *script_args], input=stdin,
                          capture_output=True, preexec_fn=preexec_fn, cwd=cwd)
    return done.returncode, done.stdout, done.stderr


def test_running_out_of_memory_is_a_failure_of_the_command(tmp_path):
    # Under an address-space limit a little above what the interpreter holds, each command runs
    # out of memory: holding 96 MiB of keys from standard input, or reserving a streamed build's
    # run buffers. It fails as any command fails: one line, status 1, no traceback, the old
    # output and the directory as they were.
    margin = "resource.setrlimit(resource.RLIMIT_AS, (vm + (16 << 20), resource.RLIM_INFINITY))"
    chunk = b"".join(b"%09d-some-key-of-a-large-vocabulary\n" % i for i in range(25000))
    many = chunk * (96 * (1 << 20) // len(chunk) + 1)
    few = write(tmp_path / "few.txt", chunk[:20000])
    out = tmp_path / "out.blob"
    out.write_bytes(b"old")
    before = listing(tmp_path)
    cases = [(["build", "-", str(out), "--index", kind, "--stream", "never"], many)
             for kind in KINDS]
    cases += [(["build", "-", str(out)], many), (["plan", "-"], many)]
    # The streamed builds of these kinds reserve their run buffers before the first key.
    cases += [(["build", few, str(out), "--index", kind, "--stream", "always"], None)
              for kind in ("string", "dict", "compact", "closed")]
    for args, data in cases:
        assert limited(args, margin, stdin=data) == (1, b"", b"quenlith: out of memory\n"), args
        assert out.read_bytes() == b"old" and listing(tmp_path) == before, args


@pytest.mark.skipif(os.cpu_count() == 1, reason="with one processor no build starts a thread")
def test_a_worker_thread_that_cannot_start_is_the_spawn_panic(tmp_path):
    # A new thread's stack is as large as the stack limit the process started with. With that at
    # 8 GiB and the address space capped 3 GiB above what the interpreter holds, no worker thread
    # can start, while the builds themselves have room.
    def big_stacks():
        import resource
        resource.setrlimit(resource.RLIMIT_STACK, (8 << 30, resource.RLIM_INFINITY))

    cap = "resource.setrlimit(resource.RLIMIT_AS, (vm + (3 << 30), resource.RLIM_INFINITY))\n"
    keys = write(tmp_path / "k.txt", "".join(f"key-{i * 7919}\n" for i in range(300000)))
    out = tmp_path / "out.blob"
    out.write_bytes(b"old")
    panic = b"quenlith.PanicException: failed to spawn thread\n"
    # The StringIndex builds start no threads.
    for kind in ("dict", "compact", "closed", "perfect"):
        for stream in ("never", "always"):
            rc, stdout, err = limited(["build", keys, str(out), "--index", kind, "--stream",
                                       stream], cap, preexec_fn=big_stacks)
            assert (rc, stdout) == (1, b"") and err.endswith(panic), (kind, stream, err)
            assert out.read_bytes() == b"old" and listing(tmp_path) == ["k.txt", "out.blob"]
    # The classes raise the same panic, the dictionary's training not re-wrapping it.
    for build in ("DictIndex", "PerfectHashIndex", "CompactHashIndex"):
        code = cap + (f"keys = open({keys!r}).read().split()\n"
                      f"try:\n    _core.{build}(keys)\n"
                      f"except BaseException as e:\n    print(type(e).__name__, e)\n")
        rc, stdout, err = limited([], code, preexec_fn=big_stacks)
        assert stdout == b"PanicException failed to spawn thread\n", (build, err)
