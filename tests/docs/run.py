#!/usr/bin/env python3
"""Checks that the documentation and the packages tell the truth.

    run.py man      --source S --build B --version V --untree U [--pack P]
    run.py format   ... [--runner wine]
    run.py cli      ... [--runner wine]
    run.py packages ... [--runner wine --objdump OBJDUMP]

man:      the manual pages render without a single groff warning, carry the
          project version, and explain every line the extractor really prints
          (the lines are provoked here with small malformed archives); the
          safety and filter examples of untree(1) hold, and every
          line untree-pack prints about a tree it cannot pack whole matches
          a template in untree-pack(1).
format:   the hex dump in docs/format.md is the archive that
          format_example.py builds from the document's description; the real
          extractor restores the described tree from it (times to 100 ns),
          and the packer, given that tree, writes the same bytes but for the
          creation times.
cli:      -h/--help/--version only as the sole argument, no arguments is
          silent.
packages: `cmake --install` and `cpack` of this build directory: the .deb
          holds exactly the expected files and its untree runs from a scratch
          root; the Windows zip holds both programs and the documentation and
          needs no DLL beside them.

Prints one line per check and "N passed, N failed, N skipped" at the end.
"""
import gzip
import os
import re
import struct
import subprocess
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.dirname(HERE)]
import format_example  # noqa: E402
import harness  # noqa: E402
from harness import Skip, expect, expect_eq, text_lines  # noqa: E402


class Context(harness.Context):
    def __init__(self, args, scratch):
        super().__init__(args, scratch)
        self.newline = b"\r\n" if self.wine else b"\n"

    def run(self, program, *args, cwd=None):
        """Runs a program of the build from `cwd` (default: the scratch dir),
        passing relative paths so that the same call holds under Wine."""
        return self.run_program(program, args, cwd=cwd or self.scratch, timeout=300)

    def fresh_dir(self, name):
        path = os.path.join(self.scratch, name)
        if os.path.exists(path):
            harness.remove_tree(path)
        os.makedirs(path)
        return path


def lines(ctx, raw):
    expect(raw.endswith(ctx.newline) or raw == b"", f"output does not end with a line end: {raw[-20:]!r}")
    text = text_lines(raw, ctx.wine, "output")
    return text.split(b"\n")[:-1] if text else []


# --- man -----------------------------------------------------------------------

MAN_PAGES = ["untree", "untree-pack"]


def man_path(ctx, page):
    return os.path.join(ctx.args.source, "man", page + ".1")


def render(ctx, page, device="ascii"):
    # Without hyphenation, and joined into one paragraph of words, so that a
    # phrase is found however the lines were broken.
    p = subprocess.run(["groff", "-man", "-ww", "-rHY=0", "-T" + device, "-P-cbou", man_path(ctx, page)],
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    expect(p.returncode == 0 and p.stderr == b"",
           f"groff on {page}.1 (exit {p.returncode}): {p.stderr.decode(errors='replace')}")
    return re.sub(r"\s+", " ", p.stdout.decode())


ROFF_ESCAPES = [("\\(dq", '"'), ("\\-", "-"), ("\\e", "\\"), ("\\c", ""), ("\\&", "")]


def roff_words(text):
    """The arguments of a roff macro line: blank-separated, "quoted" ones
    kept whole."""
    return [m.group(1) if m.group(1) is not None else m.group(2)
            for m in re.finditer(r'"((?:[^"]|"")*)"|(\S+)', text)]


def unescape(word):
    for escape, plain in ROFF_ESCAPES:
        word = word.replace(escape, plain)
    return word


def line_templates(ctx, page):
    """Every output line a page shows as a .BI template (bold text,
    italic placeholders) as a regular expression."""
    templates = []
    section = None
    with open(man_path(ctx, page), encoding="utf-8") as f:
        for line in f:
            if line.startswith(".SH "):
                section = line[4:].strip()
            if not line.startswith(".BI ") or section not in ("OUTPUT", "MESSAGES"):
                continue
            words = roff_words(line[4:].strip())
            pattern = "".join(re.escape(unescape(w)) if i % 2 == 0 else ".*" for i, w in enumerate(words))
            templates.append(re.compile(pattern))
    return templates


def documented(templates, line):
    return any(t.fullmatch(line) for t in templates)


def check_man_renders(ctx):
    for page in MAN_PAGES:
        p = subprocess.run(["groff", "-man", "-ww", "-z", man_path(ctx, page)],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        expect(p.returncode == 0, f"groff -z on {page}.1 exited {p.returncode}")
        expect(p.stderr == b"", f"groff warns on {page}.1:\n{p.stderr.decode(errors='replace')}")
        render(ctx, page)


def check_man_version(ctx):
    for page in MAN_PAGES:
        with open(man_path(ctx, page), encoding="utf-8") as f:
            th = f.readline()
        expect(th.startswith(".TH "), f"{page}.1 does not start with .TH")
        expect(f'"untree {ctx.args.version}"' in th, f"{page}.1 names another version than {ctx.args.version}: {th}")


def check_man_sections(ctx):
    wanted = {
        "untree": ["NAME", "SYNOPSIS", "ARGUMENTS", "OUTPUT", "EXIT STATUS", "SELECTING A SUBTREE",
                   "WHAT IS RESTORED", "SAFETY", "WHY WAS A FILE NOT EXTRACTED?", "EXAMPLES", "SEE ALSO"],
        "untree-pack": ["NAME", "SYNOPSIS", "ARGUMENTS", "WHAT IS PACKED", "WHAT IS LEFT OUT", "EXIT STATUS",
                        "EXAMPLES", "SEE ALSO"],
    }
    for page, sections in wanted.items():
        with open(man_path(ctx, page), encoding="utf-8") as f:
            present = [line[4:].strip().strip('"') for line in f if line.startswith(".SH ")]
        missing = [s for s in sections if s not in present]
        expect(not missing, f"{page}.1 lacks the sections {missing}")


def provoke(ctx, name, blob, *extra):
    """Extracts a hand-made archive into a fresh directory; returns the result."""
    with open(os.path.join(ctx.scratch, name + ".tree"), "wb") as f:
        f.write(blob)
    ctx.fresh_dir(name)
    return ctx.run(ctx.args.untree, name + ".tree", name, *extra)


def record(depth, attributes, length=0):
    return format_example.record(depth, attributes, length, 1, 2, 3)


def archive(names, records, data=b""):
    names_blob = b"".join(n + b"\n" for n in names)
    records_blob = b"".join(records)
    return data + names_blob + records_blob + struct.pack("<II", len(names_blob), len(records_blob))


D, F = format_example.DIRECTORY, format_example.ARCHIVE


def check_man_explains_every_report(ctx):
    """Every kind of line the extractor prints on standard error, and every
    reason it gives for a corrupt archive, is in the manual."""
    cases = [
        ("createfile", archive([b"d", b"d"], [record(0, D), record(0, F)])),
        ("createdirectory", archive([b"d", b"d"], [record(0, F), record(0, D)])),
        ("short", archive([b"a"], [record(0, F, 10)], b"abc")),
        ("unsafe", archive([b"..", b"x"], [record(0, D), record(1, F)])),
        ("index", archive([b"a"], [record(0, F)])[:-8] + struct.pack("<II", 100, 40)),
        ("remainder", archive([b"a"], [record(0, F), b"\0" * 35])[:-8] + struct.pack("<II", 2, 75)),
        ("first", archive([b"a"], [record(1, F)])),
        ("rises", archive([b"a", b"b"], [record(0, D), record(2, F)])),
        ("depth255", archive([b"a"], [record(255, F)])),
        ("names", archive([b"a"], [record(0, D), record(1, F)])),
        ("longname", archive([b"n" * 65536], [record(0, F)])),
        ("longpath", archive([b"p" * 30000] * 3, [record(0, D), record(1, D), record(2, F)])),
    ]
    text = render(ctx, "untree")
    kinds = [(r"createfile error with <", "createfile error with <"),
             (r"createdirectory error with <", "createdirectory error with <"),
             (r"short content in <", "short content in <"),
             (r"unsafe name skipped: <", "unsafe name skipped: <"),
             (r"archive corrupt at entry \d+: ", "archive corrupt at entry N: ")]
    templates = line_templates(ctx, "untree")
    seen = set()
    for name, blob in cases:
        r = provoke(ctx, name, blob)
        expect_eq(r.returncode, 2, f"exit status of the {name} case")
        err = lines(ctx, r.stderr)
        expect(err, f"the {name} case printed no report line")
        for line in err:
            line = line.decode("utf-8", errors="replace")
            expect(documented(templates, line), f"untree(1) shows no template for the line: {line}")
            match = [(m, phrase) for pattern, phrase in kinds for m in [re.match(pattern, line)] if m]
            expect(match, f"a report line the manual does not know: {line}")
            m, phrase = match[0]
            seen.add(phrase)
            expect(phrase in text, f"the manual does not show the line '{phrase}...'")
            if phrase.startswith("archive corrupt"):
                reason = line[m.end():]
                expect(reason in text, f"the manual does not explain the reason '{reason}'")
    expect_eq(len(seen), 5, "kinds of report lines provoked")

    # What the extractor refuses of its own accord, with texts of its own: a
    # destination holding the archive, a link and a FIFO, and a name twice.
    dest = ctx.fresh_dir("refusals")
    os.symlink(os.path.join(ctx.scratch, "refusals.tree"), os.path.join(dest, "link"))
    os.mkfifo(os.path.join(dest, "fifo"))
    with open(os.path.join(dest, "self.tree"), "wb") as f:
        f.write(archive([b"self.tree", b"link", b"fifo", b"twice", b"twice"], [record(0, F)] * 5))
    r = ctx.run(ctx.args.untree, "refusals/self.tree", "refusals")
    expect_eq(r.returncode, 2, "exit status of the refusals")
    err = lines(ctx, r.stderr)
    messages = {re.sub(rb"^createfile error with <.*>, attr=0020, size=0: ", b"", line).decode() for line in err}
    expect_eq(len(err), 4, f"refusals reported: {err}")
    expect_eq(len(messages), 4, f"texts of the refusals: {messages}")
    for message in messages:
        expect(message in text, f"the manual does not explain the message '{message}'")


def check_man_explains_packer_lines(ctx):
    """Every line untree-pack prints about a tree it cannot pack whole
    matches a line template of untree-pack(1)."""
    if not ctx.args.pack:
        raise Skip("no untree-pack in this build")
    import socket
    src = ctx.fresh_dir("odd")
    os.symlink("elsewhere", os.path.join(src, "link"))
    os.mkfifo(os.path.join(src, "fifo"))
    sock = socket.socket(socket.AF_UNIX)
    sock.bind(os.path.join(src, "sock"))
    try:
        os.mknod(os.path.join(src, "null"), 0o600 | 0o020000, os.makedev(1, 3))
        device = True
    except OSError:
        device = False  # not permitted here; the other kinds still count
    for name in [b"bad\xff", b"back\\slash", b"co:lon", b"line\nfeed"]:
        open(os.path.join(src.encode(), name), "wb").close()
    os.makedirs(os.path.join(src, "fine"))
    try:
        r = ctx.run(ctx.args.pack, "odd", "odd.tree")
    finally:
        sock.close()
    expect_eq(r.returncode, 2, "exit status of untree-pack over a tree with things it cannot carry")
    templates = line_templates(ctx, "untree-pack")
    err = lines(ctx, r.stderr)
    expect_eq(len(err), 7 + device, "lines about left-out entries")
    for line in err:
        line = line.decode("utf-8", errors="replace")
        expect(documented(templates, line), f"untree-pack(1) shows no template for the line: {line}")

    deep = ctx.fresh_dir("deep")
    os.makedirs(os.path.join(deep, *(["d"] * 256)))
    failures = [ctx.run(ctx.args.pack, "deep", "deep.tree"), ctx.run(ctx.args.pack, "missing", "x.tree"),
                ctx.run(ctx.args.pack, "deep", "deep")]
    for r in failures:
        expect_eq(r.returncode, 1, "exit status of a refused pack")
        err = lines(ctx, r.stderr)
        expect_eq(len(err), 1, f"lines of a refused pack: {err}")
        line = err[0].decode("utf-8", errors="replace")
        expect(documented(templates, line), f"untree-pack(1) shows no template for the line: {line}")
    expect(not os.path.exists(os.path.join(ctx.scratch, "deep.tree")), "a refused pack left an archive")


def check_man_safety_examples(ctx):
    """The names SAFETY says are refused are refused, the disguised forms it
    gives included, and nothing lands beside the destination."""
    names = [b"", b".", b"..", b"a/b", b"a\\b", b"a:b", b"a\0b", b"\xc0\xae\xc0\xae", b"a\xc0\xafb",
             b"a\xc1\x9cb", b"..\x80"]
    for i, name in enumerate(names):
        before = set(os.listdir(ctx.scratch)) | {f"unsafe{i}", f"unsafe{i}.tree"}
        r = provoke(ctx, f"unsafe{i}", archive([name, b"inside"], [record(0, D), record(1, F, 1)], b"x"))
        shown = name.split(b"\0")[0]  # a C string ends at the NUL
        expect_eq((r.returncode, lines(ctx, r.stderr)), (2, [b"unsafe name skipped: <" + shown + b">"]),
                  f"extracting an entry named {name!r}")
        expect_eq(os.listdir(os.path.join(ctx.scratch, f"unsafe{i}")), [], f"what {name!r} left in the destination")
        expect_eq(set(os.listdir(ctx.scratch)), before, f"what {name!r} left beside the destination")


def check_man_filter_examples(ctx):
    """The selection examples of the manual, run for real: the entries the
    manual calls extracted are, the others are not, and the listing numbers
    are the ones it gives."""
    names = [b"doc", b"docs", b"api", b"index.html", b"apiary", b"guide", b"readme.txt"]
    records = [record(0, F), record(0, D), record(1, D), record(2, F), record(1, D), record(1, D), record(0, F)]
    blob = archive(names, records)
    r = provoke(ctx, "filter", blob, "docs\\api")
    expect_eq(r.returncode, 0, "exit status with a filter")
    listed = lines(ctx, r.stdout)
    expect_eq(listed[:-1], [b"doc -1", b"docs -1", b"docs\\api 0", b"docs\\api\\index.html 0", b"docs\\apiary 0",
                            b"docs\\guide 1", b"readme.txt 1"], "listing under filter docs\\api")
    root = os.path.join(ctx.scratch, "filter")
    for path, present in [("doc", True), ("docs", True), ("docs/api", True), ("docs/api/index.html", True),
                          ("docs/apiary", True), ("docs/guide", False), ("readme.txt", False)]:
        expect_eq(os.path.lexists(os.path.join(root, path)), present, f"{path} extracted under docs\\api")
    r = provoke(ctx, "filter2", blob, "docs\\api\\")
    present = sorted(os.path.relpath(os.path.join(d, n), os.path.join(ctx.scratch, "filter2"))
                     for d, ds, fs in os.walk(os.path.join(ctx.scratch, "filter2")) for n in ds + fs)
    expect_eq(present, ["doc", "docs", "docs/api", "docs/api/index.html"], "extracted under docs\\api\\")
    # The listing recipe of the EXAMPLES section: a slash selects nothing.
    r = provoke(ctx, "listonly", blob, "/")
    expect_eq((r.returncode, os.listdir(os.path.join(ctx.scratch, "listonly"))), (0, []), "list-only run")
    expect_eq(len(lines(ctx, r.stdout)), len(names) + 1, "lines of a list-only run")


# --- format --------------------------------------------------------------------

def dump_in_document(ctx):
    with open(os.path.join(ctx.args.source, "docs", "format.md"), encoding="utf-8") as f:
        doc = f.read()
    m = re.search(r"<!-- example dump begins -->\n```\n(.*?)```\n<!-- example dump ends -->", doc, re.S)
    expect(m, "docs/format.md has no marked example dump")
    return m.group(1)


def bytes_of_dump(dump):
    out = bytearray()
    for n, line in enumerate(dump.splitlines()):
        m = re.match(r"([0-9a-f]{8}): ((?:[0-9a-f]{2,4} ?){1,8}) ", line)
        expect(m, f"unreadable dump line: {line}")
        expect_eq(int(m.group(1), 16), len(out), f"offset of dump line {n + 1}")
        out += bytes.fromhex(m.group(2).replace(" ", ""))
    return bytes(out)


def check_format_dump(ctx):
    dump = dump_in_document(ctx)
    built = format_example.build()
    expect_eq(dump, format_example.hex_dump(built), "the dump in docs/format.md")
    expect_eq(bytes_of_dump(dump), built, "the bytes of the dump")


def check_format_extracts(ctx):
    blob = bytes_of_dump(dump_in_document(ctx))
    with open(os.path.join(ctx.scratch, "example.tree"), "wb") as f:
        f.write(blob)
    out = ctx.fresh_dir("out")
    r = ctx.run(ctx.args.untree, "example.tree", "out")
    expect_eq((r.returncode, r.stderr), (0, b""), "extracting the example")
    listed = lines(ctx, r.stdout)
    smile = format_example.cesu8("\U0001F600")
    expect_eq(listed[:4], [b"docs 0", b"docs\\note.txt 0", b"hello.txt 0", smile + b" 0"], "listing")
    expect_eq(listed[4], b"dirs=1 files=3 outbytes=9 speed=0".ljust(78) + b"\r", "status line")

    # Times first: reading a file would move its last-access time.
    to_ns = lambda ft: (ft - format_example.FILETIME_UNIX_EPOCH) * 100  # noqa: E731
    for path in [("docs",), ("docs", "note.txt"), ("hello.txt",), ("\U0001F600",)]:
        st = os.stat(os.path.join(out, *path))
        expect_eq((st.st_mtime_ns, st.st_atime_ns),
                  (to_ns(format_example.WRITTEN), to_ns(format_example.ACCESSED)), "times of " + "/".join(path))

    def read(*path):
        with open(os.path.join(out, *path), "rb") as f:
            return f.read()
    expect_eq(read("docs", "note.txt"), b"hi\n", "docs/note.txt")
    expect_eq(read("hello.txt"), b"Hello\n", "hello.txt")
    expect_eq(read("\U0001F600"), b"", "the empty file")
    expect_eq(sorted(os.listdir(out)), sorted(["docs", "hello.txt", "\U0001F600"]), "top of the tree")
    expect_eq(os.stat(os.path.join(out, "hello.txt")).st_mode & 0o222, 0, "write bits of hello.txt")
    expect(os.stat(os.path.join(out, "docs", "note.txt")).st_mode & 0o200, "note.txt lost its write bit")


def check_format_matches_packer(ctx):
    """untree-pack, given the tree the example describes, writes the
    document's bytes, but for the creation times, which Linux cannot set."""
    if not ctx.args.pack:
        raise Skip("no untree-pack in this build")
    src = ctx.fresh_dir("src")
    os.makedirs(os.path.join(src, "docs"))
    files = {("docs", "note.txt"): b"hi\n", ("hello.txt",): b"Hello\n", ("\U0001F600",): b""}
    for path, content in files.items():
        with open(os.path.join(src, *path), "wb") as f:
            f.write(content)
    os.chmod(os.path.join(src, "hello.txt"), 0o444)
    to_ns = lambda ft: (ft - format_example.FILETIME_UNIX_EPOCH) * 100  # noqa: E731
    times = (to_ns(format_example.ACCESSED), to_ns(format_example.WRITTEN))
    for path in list(files) + [("docs",)]:
        os.utime(os.path.join(src, *path), ns=times)
    r = ctx.run(ctx.args.pack, "src", "packed.tree")
    expect_eq((r.returncode, r.stderr), (0, b""), "packing the example tree")
    with open(os.path.join(ctx.scratch, "packed.tree"), "rb") as f:
        packed = f.read()
    wanted = format_example.build()
    expect_eq(len(packed), len(wanted), "length of the packed example")
    records_at = len(wanted) - 8 - 160

    def without_creation_times(blob):
        blob = bytearray(blob)
        for k in range(4):
            at = records_at + k * 40 + 8
            blob[at:at + 8] = bytes(8)
        return bytes(blob)
    expect_eq(format_example.hex_dump(without_creation_times(packed)),
              format_example.hex_dump(without_creation_times(wanted)), "the packed example, creation times aside")


# --- cli -----------------------------------------------------------------------

def check_cli_help_and_version(ctx):
    programs = [("untree", ctx.args.untree)] + ([("untree-pack", ctx.args.pack)] if ctx.args.pack else [])
    for name, program in programs:
        r = ctx.run(program, "--version")
        expect_eq((r.returncode, r.stdout, r.stderr),
                  (0, f"{name} {ctx.args.version}".encode() + ctx.newline, b""), f"{name} --version")
        for option in ["-h", "--help"]:
            r = ctx.run(program, option)
            expect_eq((r.returncode, r.stderr), (0, b""), f"{name} {option}")
            text = lines(ctx, r.stdout)
            expect(text and text[0].startswith(b"Usage: " + name.encode() + b" "),
                   f"{name} {option} does not start with its usage: {r.stdout[:80]!r}")
    r = ctx.run(ctx.args.untree)
    expect_eq((r.returncode, r.stdout, r.stderr), (0, b"", b""), "untree without arguments")
    help_text = ctx.run(ctx.args.untree, "--help").stdout
    for needle in [b"ARCHIVE [DESTINATION [FILTER]]", b"Exit status", b"untree(1)"]:
        expect(needle in help_text, f"the help text lacks {needle!r}")


def check_cli_only_sole_argument(ctx):
    """With more than one argument, --help and --version are archive names."""
    with open(os.path.join(ctx.scratch, "--help"), "wb") as f:
        f.write(format_example.build())
    ctx.fresh_dir("d1")
    r = ctx.run(ctx.args.untree, "--help", "d1")
    expect_eq(r.returncode, 0, "untree --help d1 (an archive named --help)")
    expect(os.path.exists(os.path.join(ctx.scratch, "d1", "docs", "note.txt")), "--help was not extracted into d1")
    here = ctx.fresh_dir("d2")
    r = ctx.run(ctx.args.untree, os.path.join("..", "--help"), cwd=here)
    expect_eq(r.returncode, 0, "untree ../--help")
    expect(os.path.exists(os.path.join(here, "hello.txt")), "../--help was not extracted into the current dir")
    r = ctx.run(ctx.args.untree, "./--help")
    expect_eq(r.returncode, 0, "untree ./--help")
    r = ctx.run(ctx.args.untree, "--help")
    expect(r.stdout.startswith(b"Usage: untree "), "the sole --help must stay the help, also when a file has its name")
    r = ctx.run(ctx.args.untree, "--version", "d1")
    expect_eq((r.returncode, r.stdout, r.stderr), (1, b"", b""), "untree --version d1 (no such archive)")
    r = ctx.run(ctx.args.untree, "example", "d1", "--help")
    expect_eq((r.returncode, r.stdout), (1, b""), "untree example d1 --help (no such archive)")


# --- packages ------------------------------------------------------------------

def expected_programs(ctx):
    return ["untree"] + (["untree-pack"] if ctx.args.pack else [])


def check_packages_install(ctx):
    """cmake --install into a prefix of our own."""
    prefix = ctx.fresh_dir("prefix")
    p = subprocess.run(["cmake", "--install", ctx.args.build, "--prefix", prefix],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    expect(p.returncode == 0, "cmake --install failed:\n" + p.stdout.decode(errors="replace"))
    found = sorted(os.path.relpath(os.path.join(d, n), prefix) for d, _, fs in os.walk(prefix) for n in fs)
    if ctx.wine:
        wanted = [p + ".exe" for p in expected_programs(ctx)] + ["README.md", "doc/format.md"] + \
            [f"doc/{m}.txt" for m in MAN_PAGES]
    else:
        wanted = [f"bin/{p}" for p in expected_programs(ctx)] + \
            [f"share/man/man1/{m}.1.gz" for m in MAN_PAGES] + \
            ["share/doc/untree/README.md", "share/doc/untree/format.md"]
    expect_eq(found, sorted(wanted), "files installed")


def cpack(ctx):
    out = ctx.fresh_dir("cpack")
    p = subprocess.run(["cpack", "--config", os.path.join(ctx.args.build, "CPackConfig.cmake"), "-B", out],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    expect(p.returncode == 0, "cpack failed:\n" + p.stdout.decode(errors="replace"))
    made = [n for n in os.listdir(out) if os.path.isfile(os.path.join(out, n))]
    expect_eq(len(made), 1, f"packages made ({made})")
    return os.path.join(out, made[0])


def check_packages_deb(ctx):
    deb = cpack(ctx)
    expect(deb.endswith(".deb"), f"not a Debian package: {deb}")
    field = lambda f: subprocess.run(["dpkg-deb", "-f", deb, f], stdout=subprocess.PIPE,  # noqa: E731
                                     check=True).stdout.decode().strip()
    expect_eq(field("Package"), "untree", "Package")
    expect_eq(field("Version"), ctx.args.version, "Version")
    arch = subprocess.run(["dpkg", "--print-architecture"], stdout=subprocess.PIPE).stdout.decode().strip()
    expect_eq(field("Architecture"), arch, "Architecture")
    expect("libc6" in field("Depends"), f"Depends does not name libc6: {field('Depends')}")

    root = ctx.fresh_dir("root")
    subprocess.run(["dpkg", "-x", deb, root], check=True)
    found = sorted(os.path.relpath(os.path.join(d, n), root) for d, _, fs in os.walk(root) for n in fs)
    wanted = sorted([f"usr/bin/{p}" for p in expected_programs(ctx)] +
                    [f"usr/share/man/man1/{m}.1.gz" for m in MAN_PAGES] +
                    ["usr/share/doc/untree/README.md", "usr/share/doc/untree/format.md"])
    expect_eq(found, wanted, "files in the .deb")
    for program in expected_programs(ctx):
        r = subprocess.run([os.path.join(root, "usr", "bin", program), "--version"], stdout=subprocess.PIPE)
        expect_eq((r.returncode, r.stdout), (0, f"{program} {ctx.args.version}\n".encode()),
                  f"{program} --version from the unpacked .deb")
    for m in MAN_PAGES:
        with gzip.open(os.path.join(root, "usr", "share", "man", "man1", m + ".1.gz")) as f:
            packed = f.read()
        with open(man_path(ctx, m), "rb") as f:
            expect_eq(packed == f.read(), True, f"{m}.1.gz in the .deb is the current page")
    # The unpacked extractor does its job, too.
    with open(os.path.join(ctx.scratch, "example.tree"), "wb") as f:
        f.write(format_example.build())
    out = ctx.fresh_dir("debout")
    r = subprocess.run([os.path.join(root, "usr", "bin", "untree"), "example.tree", out], cwd=ctx.scratch,
                       stdout=subprocess.PIPE)
    expect_eq(r.returncode, 0, "the unpacked untree on the example archive")
    with open(os.path.join(out, "docs", "note.txt"), "rb") as f:
        expect_eq(f.read(), b"hi\n", "docs/note.txt from the unpacked untree")


SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "shell32.dll", "user32.dll", "advapi32.dll", "ntdll.dll"}


def check_packages_zip(ctx):
    package = cpack(ctx)
    expect(package.endswith(".zip"), f"not a zip: {package}")
    top = f"untree-{ctx.args.version}-win32/"
    with zipfile.ZipFile(package) as z:
        names = sorted(n for n in z.namelist() if not n.endswith("/"))
        wanted = sorted([top + p + ".exe" for p in expected_programs(ctx)] + [top + "README.md", top + "doc/format.md"] +
                        [top + f"doc/{m}.txt" for m in MAN_PAGES])
        expect_eq(names, wanted, "files in the zip")
        unpacked = ctx.fresh_dir("zip")
        z.extractall(unpacked)
    for m in MAN_PAGES:
        with open(os.path.join(unpacked, top, "doc", m + ".txt"), "rb") as f:
            text = f.read()
        expect(b"SYNOPSIS" in text and b"\x1b" not in text and b"\x08" not in text,
               f"doc/{m}.txt is not plain text")
        expect(b"\n" not in text.replace(b"\r\n", b""), f"doc/{m}.txt has bare LF line ends")
    for program in expected_programs(ctx):
        exe = os.path.join(unpacked, top, program + ".exe")
        r = ctx.run(exe, "--version")
        expect_eq((r.returncode, r.stdout), (0, f"{program} {ctx.args.version}\r\n".encode()),
                  f"{program}.exe --version from the zip")
        if ctx.args.objdump:
            dump = subprocess.run([ctx.args.objdump, "-p", exe], stdout=subprocess.PIPE, check=True).stdout.decode()
            dlls = {d.lower() for d in re.findall(r"DLL Name: (\S+)", dump)}
            expect(dlls and dlls <= SYSTEM_DLLS, f"{program}.exe needs DLLs beyond the system's: {dlls - SYSTEM_DLLS}")


# --- runner --------------------------------------------------------------------

GROUPS = {
    "man": [check_man_renders, check_man_version, check_man_sections, check_man_explains_every_report,
            check_man_safety_examples, check_man_filter_examples, check_man_explains_packer_lines],
    "format": [check_format_dump, check_format_extracts, check_format_matches_packer],
    "cli": [check_cli_help_and_version, check_cli_only_sole_argument],
    "packages": [check_packages_install],
}


def main():
    parser = harness.argument_parser(__doc__)
    parser.add_argument("group", choices=sorted(GROUPS))
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--pack")
    parser.add_argument("--objdump")
    args = harness.parse_arguments(parser)
    checks = list(GROUPS[args.group])
    if args.group == "packages":
        checks.append(check_packages_zip if args.runner == "wine" else check_packages_deb)
    cases = {check.__name__[len("check_"):]: check for check in checks}
    return harness.run_cases(cases, args, lambda scratch: Context(args, scratch), "untree-docs-")


if __name__ == "__main__":
    sys.exit(main())
