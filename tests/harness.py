"""What the script-driven suites (e2e, pack, docs) have in common: cases that
pass, fail or step aside, each run in a scratch directory of its own; the
programs of the build run natively or under Wine; trees on disk walked by
directory descriptors. Standard library only.

A suite script puts this directory on sys.path, registers its cases and
hands them to run_cases:

    parser = harness.argument_parser(__doc__)
    args = harness.parse_arguments(parser)
    return harness.run_cases(harness.CASES, args, lambda scratch: Context(args, scratch), "untree-x-")
"""
import argparse
import fcntl
import os
import pty
import re
import select
import shutil
import stat
import struct
import subprocess
import tempfile
import termios
import threading
import time
import traceback


class Skip(Exception):
    """A case that cannot hold where it runs; counted apart, never as a pass."""


class Failure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


def expect_eq(actual, expected, what):
    if actual == expected:
        return
    if isinstance(actual, (list, dict)) and isinstance(expected, type(actual)) and len(repr(expected)) > 400:
        # A long listing or tree: what is missing, extra or different reads
        # better than two walls of text.
        try:
            a, e = set(actual), set(expected)
            differ = sorted(k for k in a & e if actual[k] != expected[k]) if isinstance(actual, dict) else []
            missing, extra = sorted(e - a), sorted(a - e)
        except TypeError:  # items that neither hash nor sort
            missing = extra = differ = []
        if missing or extra or differ:
            raise Failure("%s:\n  missing %r\n  extra   %r\n  differ  %r" % (
                what, missing[:20], extra[:20], differ[:20]))
    raise Failure("%s:\n  expected %r\n  actual   %r" % (what, expected, actual))


def text_lines(raw, windows, what):
    """A text stream's bytes with the platform's line end made LF; on
    Windows every LF must come as CR LF."""
    if windows:
        expect(raw.count(b"\n") == raw.count(b"\r\n"), "%s: a line feed without CR on Windows: %r" % (what, raw[-200:]))
        return raw.replace(b"\r\n", b"\n")
    return raw


# --- Trees on disk ---------------------------------------------------------------

# --- The archive's extension, read by the tests' own code -------------------------

def _crc_table(poly, bits):
    table = []
    for b in range(256):
        c = b
        for _ in range(8):
            c = (c >> 1) ^ poly if c & 1 else c >> 1
        table.append(c)
    return table


_CRC32C = _crc_table(0x82F63B78, 32)
_CRC16 = _crc_table(0x8408, 16)


def crc32c(data, crc=0):
    """CRC-32C, as the archive's contents and index carry it."""
    c = crc ^ 0xFFFFFFFF
    t = _CRC32C
    for b in data:
        c = (c >> 8) ^ t[(c ^ b) & 0xFF]
    return c ^ 0xFFFFFFFF


def crc16(data, crc=0):
    c = crc ^ 0xFFFF
    t = _CRC16
    for b in data:
        c = (c >> 8) ^ t[(c ^ b) & 0xFF]
    return c ^ 0xFFFF


FOOTER_BYTES = 65
MODE_KNOWN, MODE_LINK = 0x1000, 0x2000


def footer_of(blob):
    """The extension footer's fields (names_size, records_size, names_crc,
    records_crc) of a whole archive, or None for a plain one; its own
    checksum and marks checked."""
    names_size, records_size = struct.unpack_from("<II", blob, len(blob) - 8)
    if names_size < FOOTER_BYTES:
        return None
    end = len(blob) - 8 - records_size
    f = blob[end - FOOTER_BYTES:end]
    if not (f.startswith(b"\\untree:") or f[56:64] == b":eertnu\\"):
        return None
    expect(f.startswith(b"\\untree:01 ") and f.endswith(b" :eertnu\\\n"), "footer %r" % f)
    fields = [int(x, 16) for x in f[11:55].split(b" ")]
    expect_eq(fields[4], crc32c(f[:46]), "footer's own checksum")
    expect_eq(fields[:2], [names_size, records_size], "footer's sizes against the trailer")
    return fields[:4]


def extended_archive(entries):
    """An extended archive of (name, depth, attributes, mode, content)
    entries, every time 0: what a writer of the extension puts down."""
    data, names, records = b"", b"", b""
    for name, depth, attributes, mode, content in entries:
        content = content or b""
        head = struct.pack("<IBBHQQQHI", len(content), 0, depth, attributes, 0, 0, 0, mode, crc32c(content))
        records += head + struct.pack("<H", crc16(head + name))
        names += name + b"\n"
        data += content
    fields = b"\\untree:01" + b"".join(b" %08x" % v for v in (
        len(names) + FOOTER_BYTES, len(records), crc32c(names), crc32c(records)))
    footer = fields + b" %08x :eertnu\\\n" % crc32c(fields)
    return data + names + footer + records + struct.pack("<II", len(names) + FOOTER_BYTES, len(records))


def original_extract(blob, dest):
    """Extracts by the original rules to the letter, as a reader that knows
    nothing of the extension: the trailer, one name line per record (lines
    after the last record's never read), the contents in order, the
    reserved bytes never looked at. Directories and files with their write
    and access times and the read-only bit."""
    names_size, records_size = struct.unpack_from("<II", blob, len(blob) - 8)
    names_at = len(blob) - 8 - records_size - names_size
    lines = blob[names_at:].split(b"\n")
    records = blob[len(blob) - 8 - records_size:len(blob) - 8]
    offset, path, dirs = 0, [], []
    for i in range(records_size // 40):
        low, high, depth, attributes, _, w, a = struct.unpack_from("<IBBHQQQ", records, 40 * i)
        name = lines[i].decode("utf-8", "surrogatepass").encode("utf-16-le", "surrogatepass").decode(
            "utf-16-le").encode()
        del path[depth:]
        path.append(name)
        full = os.path.join(os.fsencode(dest), *path)
        times = ((a - 116444736000000000) * 100, (w - 116444736000000000) * 100)
        if attributes & 0x10:
            os.mkdir(full)
            dirs.append((full, times))
            continue
        length = high << 32 | low
        with open(full, "wb") as f:
            f.write(blob[offset:offset + length])
        offset += length
        os.utime(full, ns=times)
        if attributes & 1:
            os.chmod(full, 0o444)
    for full, times in reversed(dirs):
        os.utime(full, ns=times)


def walk_tree(root, opener=os.open):
    """Every entry below `root`, names sorted, as (relative path in bytes
    joined by "/", lstat result, descriptor of its directory, its name).

    Every step goes by directory descriptor, so paths beyond PATH_MAX are
    reached too. A directory is yielded before it is entered, so the caller
    may still change its mode; `opener` opens the directories.
    """
    def walk(dir_fd, prefix):
        for name in sorted(os.listdir(dir_fd)):
            bname = os.fsencode(name)
            st = os.stat(bname, dir_fd=dir_fd, follow_symlinks=False)
            yield prefix + bname, st, dir_fd, bname
            if stat.S_ISDIR(st.st_mode):
                fd = opener(bname, os.O_RDONLY | os.O_DIRECTORY, dir_fd=dir_fd)
                try:
                    yield from walk(fd, prefix + bname + b"/")
                finally:
                    os.close(fd)

    fd = opener(root, os.O_RDONLY | os.O_DIRECTORY)
    try:
        yield from walk(fd, b"")
    finally:
        os.close(fd)


def remove_tree(root):
    """Removes a scratch tree, giving its owner back every directory a case
    locked first (links are left alone: they may lead out of the tree)."""
    try:
        for _, st, dir_fd, name in walk_tree(root):
            if stat.S_ISDIR(st.st_mode) and st.st_mode & 0o700 != 0o700:
                os.chmod(name, stat.S_IMODE(st.st_mode) | 0o700, dir_fd=dir_fd)
    except OSError:
        pass  # removed as far as it goes
    shutil.rmtree(root, ignore_errors=True)


# --- Running the programs of the build ------------------------------------------------

class Context:
    """What a case is handed: the parsed arguments, its scratch directory
    (also the working directory), and the way to run a program."""

    def __init__(self, args, scratch):
        self.args, self.scratch = args, scratch
        self.untree = args.untree
        self.wine = args.runner == "wine"

    def linux_only(self, reason):
        if self.wine:
            raise Skip(reason)

    def command(self, program, args):
        """The command line and environment that run `program` with `args`
        (str or bytes), under Wine when the suite runs there (quiet, and a
        UTF-8 locale for its Unix side)."""
        cmd = (["wine", program] if self.wine else [program]) + list(args)
        env = dict(os.environ)
        if self.wine:
            env.update(WINEDEBUG="-all", LC_ALL="C.UTF-8")
        return cmd, env

    def run_program(self, program, args, timeout=900, **options):
        """subprocess.run of `program` with `args`; stdout and stderr are
        captured unless `options` say otherwise."""
        cmd, env = self.command(program, args)
        options.setdefault("stdout", subprocess.PIPE)
        options.setdefault("stderr", subprocess.PIPE)
        return subprocess.run(cmd, env=env, timeout=timeout, **options)

    def run_in_terminal(self, program, args, timeout=300, columns=1000, env=None, pass_fds=(), beside=None):
        """Runs `program` with all three standard streams on a pseudo-terminal
        of its own, `columns` wide (by default wide enough that no line
        wraps; Wine's console wraps at its width), `env` added to its
        environment and `pass_fds` kept open in it. `beside`, when given, runs
        on a thread of its own while the program does. Returns the exit
        status and every byte the terminal received, in order."""
        cmd, base_env = self.command(program, args)
        base_env.update(env or {})
        try:
            master, slave = pty.openpty()
        except OSError as e:
            raise Skip("no pseudo-terminal on this machine: %s" % e)
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, columns, 0, 0))
        try:
            p = subprocess.Popen(cmd, env=base_env, stdin=slave, stdout=slave, stderr=slave, start_new_session=True,
                                 pass_fds=pass_fds)
        finally:
            os.close(slave)
        helper = threading.Thread(target=beside) if beside else None
        if helper:
            helper.start()
        received = bytearray()
        deadline = time.time() + timeout
        try:
            while time.time() < deadline:
                if not select.select([master], [], [], 1)[0]:
                    continue
                try:
                    chunk = os.read(master, 65536)
                except OSError:  # EIO: nothing holds the terminal open any more
                    break
                if not chunk:
                    break
                received += chunk
        finally:
            os.close(master)
            if helper:
                helper.join(timeout)
        return p.wait(timeout=max(1, deadline - time.time())), bytes(received)


def terminal_screen(data, columns):
    """The rows a terminal `columns` wide shows after receiving `data` (from a
    pseudo-terminal, so every line feed came as CR LF), blanks at their ends
    dropped. A character goes where the cursor is; one past the last column
    goes to the start of the next row, as on a VT100 (the cursor waits at
    the last column until the next character comes). CR, LF, backspace, and
    the sequences that erase and move (CSI K, J, H, f, G, A to D, d) are
    followed, any other sequence is passed over."""
    rows, row, col, pending = [[]], 0, 0, False

    def line(r):
        while len(rows) <= r:
            rows.append([])
        return rows[r]

    text = data.decode("utf-8", errors="replace")
    i = 0
    while i < len(text):
        c = text[i]
        i += 1
        if c == "\x1b":
            m = re.match(r"\[([0-9;?]*)([ -/]*)([@-~])|\][^\x07\x1b]*(\x07|\x1b\\)|[()][0-9A-Za-z]|[=>78]", text[i:])
            if not m:
                continue
            i += m.end()
            if not m.group(3) or m.group(1).startswith("?"):
                continue
            params = [int(x) if x else 0 for x in m.group(1).split(";")]
            n, final = params[0], m.group(3)
            pending = False
            cells = line(row)
            if final == "K":
                if n == 0:
                    del cells[col:]
                elif n == 1:
                    cells[:col + 1] = [" "] * min(col + 1, len(cells))
                else:
                    cells.clear()
            elif final == "J":
                if n == 0:
                    del cells[col:]
                    del rows[row + 1:]
                elif n == 2:
                    rows[:] = [[] for _ in rows]
            elif final in "Hf":
                row, col = max(n, 1) - 1, max(params[1] if len(params) > 1 else 0, 1) - 1
            elif final == "G":
                col = max(n, 1) - 1
            elif final == "d":
                row = max(n, 1) - 1
            elif final == "A":
                row = max(row - max(n, 1), 0)
            elif final == "B":
                row += max(n, 1)
            elif final == "C":
                col = min(col + max(n, 1), columns - 1)
            elif final == "D":
                col = max(col - max(n, 1), 0)
            continue
        if c == "\r":
            col, pending = 0, False
        elif c == "\n":
            row, pending = row + 1, False
        elif c == "\b":
            col, pending = max(col - 1, 0), False
        elif c >= " ":
            if pending:
                row, col, pending = row + 1, 0, False
            cells = line(row)
            cells.extend(" " * (col + 1 - len(cells)))
            cells[col] = c
            if col == columns - 1:
                pending = True
            else:
                col += 1
        line(row)
    return ["".join(cells).rstrip() for cells in rows]


# --- The runner ----------------------------------------------------------------------

def argument_parser(doc):
    """The options every suite takes; a suite adds its own."""
    parser = argparse.ArgumentParser(description=doc.split("\n")[0])
    parser.add_argument("--untree", required=True, help="the extractor binary")
    parser.add_argument("--runner", choices=["wine"], help="run the programs of the build under this emulator")
    parser.add_argument("-k", action="append", default=[], help="run only cases whose name holds this")
    parser.add_argument("--keep", action="store_true", help="keep the scratch directories of failed cases")
    return parser


def parse_arguments(parser):
    args = parser.parse_args()
    # Cases named where the command line cannot be reached (under ctest),
    # as the mutation check names those it runs again.
    args.k += [k for k in os.environ.get("UNTREE_TEST_CASES", "").split(",") if k]
    # Every case runs from a directory of its own.
    for program in ("untree", "pack", "list"):
        if getattr(args, program, None):
            setattr(args, program, os.path.abspath(getattr(args, program)))
    return args


CASES = {}


def case(fn):
    CASES[fn.__name__] = fn
    return fn


def wine_server(*options, timeout=600):
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver"] + list(options), env=dict(os.environ, WINEDEBUG="-all"), timeout=timeout, **quiet)


def start_wine_session():
    """The wine server and the processes it starts beside the first program
    (services.exe, winedevice.exe, rpcss.exe, ...) outlive that program and
    keep its standard streams: a case reading a program's output to its end
    would wait for theirs, one program blocked on a pipe would keep them up
    for good, and whatever they print (their own crash reports among it)
    would land in that case's output. So a suite under Wine starts them
    once, on the null device, and keeps the server up until it ends."""
    wine_server("-k")
    wine_server("-w")
    wine_server("-p")
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wine", "cmd.exe", "/c", "exit"], env=dict(os.environ, WINEDEBUG="-all"), timeout=600, **quiet)


def end_wine_session():
    wine_server("-k")
    wine_server("-w")


def run_cases(cases, args, make_context, prefix):
    """Runs each case of `cases` (name: function of a context) in a scratch
    directory of its own; prints a line per case and the counts at the end.
    Returns the exit status: 1 when any case failed."""
    if args.runner == "wine":
        start_wine_session()
        try:
            return run_all(cases, args, make_context, prefix)
        finally:
            end_wine_session()
    return run_all(cases, args, make_context, prefix)


def run_all(cases, args, make_context, prefix):
    base = tempfile.mkdtemp(prefix=prefix)
    width = max([len(name) for name in cases] + [0])
    counts = {"passed": 0, "failed": 0, "skipped": 0}
    for name, fn in cases.items():
        if args.k and not any(k in name for k in args.k):
            continue
        scratch = os.path.join(base, name)
        os.mkdir(scratch)
        os.chdir(scratch)
        start = time.time()
        outcome, detail = "passed", ""
        try:
            fn(make_context(scratch))
        except Skip as e:
            outcome, detail = "skipped", str(e)
        except Failure as e:
            outcome, detail = "failed", str(e)
        except Exception:
            outcome, detail = "failed", traceback.format_exc()
        os.chdir(base)
        counts[outcome] += 1
        print("%-7s %-*s %6.1fs %s" % (outcome.upper(), width, name, time.time() - start,
                                       detail.replace("\n", "\n" + " " * 8)), flush=True)
        if outcome == "failed" and args.keep:
            print("        kept " + scratch)
        else:
            remove_tree(scratch)
    if not os.listdir(base):
        os.rmdir(base)
    print("%d passed, %d failed, %d skipped" % (counts["passed"], counts["failed"], counts["skipped"]))
    return 1 if counts["failed"] else 0
