#!/usr/bin/env python3
"""Checks that the documentation and the packages tell the truth.

    run.py man      --source S --build B --version V --untree U [--pack P] [--list L]
    run.py format   ... [--runner wine]
    run.py cli      ... [--runner wine]
    run.py readme   ... [--runner wine]
    run.py packages ... [--runner wine --objdump OBJDUMP]

man:      the manual pages render without a single groff warning, carry the
          project version and the release date, and explain every line the
          extractor really prints (the lines are provoked here with small
          malformed archives); the safety and filter examples of untree(1)
          hold, every line untree-pack prints about a tree it cannot pack
          whole matches a template in untree-pack(1); every line untree-list
          prints, and every problem its check names, is in untree-list(1),
          and every problem that page names is found in a damaged archive.
format:   the hex dump in docs/format.md is the archive that
          format_example.py builds from the document's description; the real
          extractor restores the described tree from it (times to 100 ns),
          and the packer, given that tree, writes the same bytes but for the
          creation times.
cli:      -h/--help/--version (untree-pack: only as the sole argument),
          untree's options before ARCHIVE only, each in its help, its
          manual page, the README and the completion; no arguments is a
          short usage on standard error; the bash completion.
readme:   the README's example sessions print what the README shows: the
          shell ones natively, the cmd.exe and PowerShell ones under Wine.
packages: `cmake --install` and `cpack` of this build directory: the .deb
          holds exactly the expected files, passes lintian, is dated by the
          changelog and its untree runs from a scratch root; the Windows zip
          holds the programs and the documentation, needs no DLL beside the
          programs, and every program in it has its version block and
          manifest.

Prints one line per check and "N passed, N failed, N skipped" at the end.
"""
import email.utils
import gzip
import io
import os
import re
import struct
import subprocess
import sys
import tarfile
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

    def run(self, program, *args, cwd=None, **options):
        """Runs a program of the build from `cwd` (default: the scratch dir),
        passing relative paths so that the same call holds under Wine."""
        return self.run_program(program, args, cwd=cwd or self.scratch, timeout=300, **options)

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

MAN_PAGES = ["untree", "untree-pack", "untree-list"]


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


def line_templates(ctx, page, sections=("OUTPUT", "MESSAGES"), bold=False, after_tp=False):
    """Every output line a page shows as a .BI template (bold text,
    italic placeholders) as a regular expression; with `bold`, a .B line
    is a template too; with `after_tp`, only the tags of .TP and .TQ items
    count."""
    templates = []
    section = None
    previous = ""
    with open(man_path(ctx, page), encoding="utf-8") as f:
        for line in f:
            if line.startswith(".SH "):
                section = line[4:].strip()
            tagged = previous.strip() in (".TP", ".TQ")
            previous = line
            macro = line.split(" ")[0]
            if section not in sections or not (macro == ".BI" or (bold and macro == ".B")) or (after_tp and not tagged):
                continue
            words = roff_words(line[len(macro) + 1:].strip())
            if macro == ".B":  # all of it bold: one literal text
                words = [" ".join(words)]
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
        date = changelog_release(ctx)[2]
        expect(f' "{date}" ' in th, f"{page}.1 is not dated {date}, as the newest changelog entry: {th}")


def changelog_release(ctx):
    """(version, time stamp, ISO date) of the newest entry of packaging/changelog."""
    with open(os.path.join(ctx.args.source, "packaging", "changelog"), encoding="utf-8") as f:
        text = f.read()
    version = re.match(r"untree \(([^)]+)\) ", text)
    signed = re.search(r"^ -- .+>  (.+)$", text, re.M)
    expect(version and signed, "packaging/changelog does not start with a Debian changelog entry")
    when = email.utils.parsedate_to_datetime(signed.group(1))
    return version.group(1), int(when.timestamp()), when.date().isoformat()


def check_man_sections(ctx):
    wanted = {
        "untree": ["NAME", "SYNOPSIS", "ARGUMENTS", "OUTPUT", "EXIT STATUS", "SELECTING A SUBTREE",
                   "WHAT IS RESTORED", "SAFETY", "WHY WAS A FILE NOT EXTRACTED?", "EXAMPLES", "SEE ALSO",
                   "AUTHORS", "COPYRIGHT"],
        "untree-pack": ["NAME", "SYNOPSIS", "ARGUMENTS", "WHAT IS PACKED", "WHAT IS LEFT OUT", "MESSAGES",
                        "SIGNALS", "EXIT STATUS", "EXAMPLES", "SEE ALSO", "AUTHORS", "COPYRIGHT"],
        "untree-list": ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "OUTPUT", "CHECKS", "MESSAGES", "EXIT STATUS",
                        "EXAMPLES", "SEE ALSO", "AUTHORS", "COPYRIGHT"],
        "untree-mount": ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "UNMOUNTING", "READS AND WRITES", "MESSAGES",
                         "EXIT STATUS", "EXAMPLES", "SEE ALSO", "AUTHORS", "COPYRIGHT"],
    }
    for page, sections in wanted.items():
        with open(man_path(ctx, page), encoding="utf-8") as f:
            present = [line[4:].strip().strip('"') for line in f if line.startswith(".SH ")]
        missing = [s for s in sections if s not in present]
        expect(not missing, f"{page}.1 lacks the sections {missing}")


def provoke(ctx, name, blob, *extra, **options):
    """Extracts a hand-made archive into a fresh directory; returns the result."""
    with open(os.path.join(ctx.scratch, name + ".tree"), "wb") as f:
        f.write(blob)
    ctx.fresh_dir(name)
    return ctx.run(ctx.args.untree, name + ".tree", name, *extra, **options)


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
        # Names longer than Linux takes.
        ("createfile", archive([b"f" * 300], [record(0, F)])),
        ("createdirectory", archive([b"d" * 300], [record(0, D)])),
        ("short", archive([b"a"], [record(0, F, 10)], b"abc")),
        ("lengths", archive([b"a"], [record(0, F, 2)], b"abc")),
        ("unsafe", archive([b"..", b"x"], [record(0, D), record(1, F)])),
        ("duplicate", archive([b"d", b"d"], [record(0, D), record(0, F)])),
        ("index", archive([b"a"], [record(0, F)])[:-8] + struct.pack("<II", 100, 40)),
        ("remainder", archive([b"a"], [record(0, F), b"\0" * 35])[:-8] + struct.pack("<II", 2, 75)),
        ("first", archive([b"a"], [record(1, F)])),
        ("rises", archive([b"a", b"b"], [record(0, D), record(2, F)])),
        ("depth255", archive([b"a"], [record(255, F)])),
        ("names", archive([b"a"], [record(0, D), record(1, F)])),
        ("longname", archive([b"n" * 65536], [record(0, F)])),
        ("longpath", archive([b"p" * 30000] * 3, [record(0, D), record(1, D), record(2, F)])),
        ("output", archive([b"a"], [record(0, F, 3)], b"abc")),  # into a full device
    ]
    text = render(ctx, "untree")
    kinds = [(r"createfile error with <", "createfile error with <"),
             (r"createdirectory error with <", "createdirectory error with <"),
             (r"short content in <", "short content in <"),
             (r"unsafe name skipped: <", "unsafe name skipped: <"),
             (r"duplicate name skipped: <", "duplicate name skipped: <"),
             (r"archive corrupt: the contents of the files add up to ",
              "archive corrupt: the contents of the files add up to "),
             (r"not a tree archive: <", "not a tree archive: <"),
             (r"archive corrupt at entry \d+: ", "archive corrupt at entry N: "),
             (r"standard output: ", "standard output: ")]
    templates = line_templates(ctx, "untree")
    seen = set()
    for name, blob in cases:
        with open("/dev/full", "wb") as full:
            r = provoke(ctx, name, blob, **({"stdout": full} if name == "output" else {}))
        # What is no tree archive is refused before anything is done.
        expect_eq(r.returncode, 1 if name == "index" else 2, f"exit status of the {name} case")
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
            if phrase.startswith("archive corrupt at entry"):
                reason = line[m.end():]
                expect(reason in text, f"the manual does not explain the reason '{reason}'")
    expect_eq(len(seen), 9, "kinds of report lines provoked")

    # What the extractor refuses of its own accord, with texts of its own: a
    # destination holding the archive, a link and a FIFO.
    dest = ctx.fresh_dir("refusals")
    os.symlink(os.path.join(ctx.scratch, "refusals.tree"), os.path.join(dest, "link"))
    os.mkfifo(os.path.join(dest, "fifo"))
    with open(os.path.join(dest, "self.tree"), "wb") as f:
        f.write(archive([b"self.tree", b"link", b"fifo"], [record(0, F)] * 3))
    r = ctx.run(ctx.args.untree, "refusals/self.tree", "refusals")
    expect_eq(r.returncode, 2, "exit status of the refusals")
    err = lines(ctx, r.stderr)
    messages = {re.sub(rb"^createfile error with <.*>, attr=0020, size=0: ", b"", line).decode() for line in err}
    expect_eq(len(err), 3, f"refusals reported: {err}")
    expect_eq(len(messages), 3, f"texts of the refusals: {messages}")
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
        r = ctx.run(ctx.args.pack, "--plain", "odd", "odd.tree")  # links too are left out
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
    r = ctx.run(ctx.args.pack, "deep", "deep.tree")
    expect_eq(r.returncode, 2, "exit status of a tree deeper than an archive holds")
    for line in lines(ctx, r.stderr):
        line = line.decode("utf-8", errors="replace")
        expect(documented(templates, line), f"untree-pack(1) shows no template for the line: {line}")
    failures = [ctx.run(ctx.args.pack, "missing", "x.tree"), ctx.run(ctx.args.pack, "deep", "deep"),
                ctx.run(ctx.args.pack, "deep")]
    for r in failures:
        expect_eq(r.returncode, 1, "exit status of a refused pack")
        err = lines(ctx, r.stderr)
        expect_eq(len(err), 1, f"lines of a refused pack: {err}")
        line = err[0].decode("utf-8", errors="replace")
        expect(documented(templates, line), f"untree-pack(1) shows no template for the line: {line}")


def check_man_safety_examples(ctx):
    """The names SAFETY says are refused are refused, the disguised forms it
    gives included, and nothing lands beside the destination."""
    names = [b"", b".", b"..", b"a/b", b"a\\b", b"a:b", b"a\0b", b"\xc0\xae\xc0\xae", b"a\xc0\xafb",
             b"a\xc1\x9cb", b"..\x80"]
    for i, name in enumerate(names):
        before = set(os.listdir(ctx.scratch)) | {f"unsafe{i}", f"unsafe{i}.tree"}
        r = provoke(ctx, f"unsafe{i}", archive([name, b"inside"], [record(0, D), record(1, F, 1)], b"x"))
        shown = name.replace(b"\0", b"\\x00")  # shown, never cutting the name
        expect_eq((r.returncode, lines(ctx, r.stderr)), (2, [b"unsafe name skipped: <" + shown + b">"]),
                  f"extracting an entry named {name!r}")
        expect_eq(os.listdir(os.path.join(ctx.scratch, f"unsafe{i}")), [], f"what {name!r} left in the destination")
        expect_eq(set(os.listdir(ctx.scratch)), before, f"what {name!r} left beside the destination")


def check_man_explains_the_command_line_lines(ctx):
    """Every line of a run that cannot start, and the lines options and
    FILTERs add, match a template of untree(1)."""
    blob = archive([b"a"], [record(0, F)])
    with open(os.path.join(ctx.scratch, "cl.tree"), "wb") as f:
        f.write(blob)
    dest = ctx.fresh_dir("cl")
    os.mkfifo(os.path.join(ctx.scratch, "cl.fifo"))
    runs = [["missing.tree"], ["cl", "cl.tree"], ["cl.fifo"], ["-"], ["cl.tree", "missing"], ["cl.tree", "cl.tree"],
            ["cl.tree", "cl", "x" * 1024], ["-v", "cl.tree"], ["-q"], ["-q", "cl.tree", "cl", "nothing/here"]]
    templates = line_templates(ctx, "untree")
    for args in runs:
        r = ctx.run(ctx.args.untree, *args)
        err = lines(ctx, r.stderr)
        expect(len(err) == 1, f"untree {args[:3]}: one line, not {err}")
        for line in err:
            line = line.decode("utf-8", errors="replace")
            expect(documented(templates, line), f"untree(1) shows no template for the line: {line}")
    expect_eq(ctx.run(ctx.args.untree, "cl.tree", "cl").returncode, 0, "extracting cl.tree")
    os.utime(os.path.join(dest, "a"), (4102444800, 4102444800))  # 2100: newer than the entry
    r = ctx.run(ctx.args.untree, "--keep-newer-files", "cl.tree", "cl")
    err = lines(ctx, r.stderr)
    expect_eq((r.returncode, len(err)), (0, 1), f"--keep-newer-files over a newer file: {err}")
    expect(documented(templates, err[0].decode()), f"untree(1) shows no template for the line: {err[0]}")


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
    # A filter no path agrees with (a lone separator) selects nothing, lists
    # all, and says it found nothing.
    r = provoke(ctx, "listonly", blob, "/")
    expect_eq((r.returncode, os.listdir(os.path.join(ctx.scratch, "listonly"))), (2, []), "list-only run")
    expect_eq(lines(ctx, r.stderr), [b"untree: FILTER </> is not in the archive"], "list-only run: stderr")
    expect_eq(len(lines(ctx, r.stdout)), len(names) + 1, "lines of a list-only run")


def lister_archives():
    """Archives with every problem untree-list(1) names, by name."""
    a = archive
    chain = [record(k, D) for k in range(255)] + [record(255, F)]
    long_names = [b"p" * 11000, b"q" * 11000, b"r" * 11000]
    good = a([b"a", b"b"], [record(0, F, 2), record(0, F, 1)], b"aab")
    return {
        "names": a([b"d", b"..", b"in", b"a<b", b"t\tx", b"dot.", b"CON", "\u00e9".encode() * 128, b"x" * 256,
                    b"b\xff", b"A", b"a", b"a", b"e", b"e", b"E"],
                   [record(0, D), record(1, D), record(2, F)] + [record(1, F)] * 10 + [record(1, D)] * 3),
        "nesting": a([b"f", b"d", b"x", b"y", b"w"], [record(1, F), record(0, D), record(2, F), record(1, F),
                                                     record(2, F)]),
        "depth255": a([b"a"] * 255 + [b"z"], chain),
        "longname": a([b"n" * 65536], [record(0, F)]),
        "names_end": a([b"d"], [record(0, D), record(1, F)]),
        "longpath": a(long_names, [record(0, D), record(1, D), record(2, F)]),
        "short": b"tree?",
        "zeros": bytes(4096),
        "index": good[:-1],
        "stray": good[:-8] + b"\x7f" * 5 + struct.pack("<II", 4, 85),
        "more_names": b"aab" + b"a\nb\nc\n" + record(0, F, 2) + record(0, F, 1) + struct.pack("<II", 6, 80),
        "more": a([b"a"], [record(0, F, 4)], b"abc"),
        "fewer": a([b"a"], [record(0, F, 2)], b"abc"),
    } | extended_archives()


def flipped(blob, at):
    return blob[:at] + bytes([blob[at] ^ 0x20]) + blob[at + 1:]


def extended_archives():
    """The extended example with each kind of damage the extension shows."""
    ext = format_example.build_extended()
    names_size, records_size = struct.unpack_from("<II", ext, len(ext) - 8)
    records_at = len(ext) - 8 - records_size
    footer_at = records_at - 65
    # A record whose own check was made to fit again: only the index
    # checksum tells.
    head = bytearray(ext[records_at:records_at + 38])
    head[16] ^= 1
    name = b"docs"
    resealed = bytes(head) + struct.pack("<H", format_example.crc16(bytes(head) + name))
    data_end = 13
    # A line between the last record's and a footer that holds together.
    names = ext[data_end:footer_at] + b"x\n"
    records = ext[records_at:len(ext) - 8]
    crc = format_example.crc32c
    fields = b"\\untree:01" + b"".join(b" %08x" % v for v in (len(names) + 65, len(records), crc(names), crc(records)))
    footer = fields + b" %08x :eertnu\\\n" % crc(fields)
    return {
        "ext_content": flipped(ext, 1),
        "ext_cut": ext[:data_end - 2] + ext[data_end:],
        "ext_record": flipped(ext, records_at + 40 + 9),
        "ext_footer": flipped(ext, footer_at + 3),
        "ext_index": ext[:records_at] + resealed + ext[records_at + 40:],
        "ext_extra_line": ext[:data_end] + names + footer + ext[records_at:len(ext) - 8] + struct.pack(
            "<II", len(names) + 65, records_size),
        "ext_trailer": ext[:len(ext) - 8] + struct.pack("<II", names_size - 1, records_size),
    }


def check_man_explains_list_lines(ctx):
    """Every line untree-list prints, on a damaged archive, with wrong
    arguments or when it cannot do its work, matches a template of
    untree-list(1); every problem its check reports is one the page names,
    and every problem the page names is found in one of these archives."""
    if not ctx.args.list:
        raise Skip("no untree-list in this build")
    lines_of = line_templates(ctx, "untree-list", bold=True)
    reasons = line_templates(ctx, "untree-list", sections=("CHECKS",), bold=True, after_tp=True)
    seen = set()

    def expect_known(line, templates, what):
        expect(documented(templates, line), f"untree-list(1) shows no template for the {what}: {line}")
        m = re.search(r": (error|warning): (.*)", line)
        if m:
            matching = [t for t in reasons if t.fullmatch(m.group(2))]
            expect(matching, f"untree-list(1) does not name the problem: {m.group(2)}")
            seen.update(t.pattern for t in matching)

    for name, blob in lister_archives().items():
        with open(os.path.join(ctx.scratch, name + ".tree"), "wb") as f:
            f.write(blob)
        r = ctx.run(ctx.args.list, "--check", name + ".tree")
        expect_eq((r.returncode, r.stderr), (2, b""), f"--check of the {name} archive")
        for line in lines(ctx, r.stdout):
            expect_known(line.decode("utf-8", errors="replace"), lines_of, "check line")
        r = ctx.run(ctx.args.list, name + ".tree")
        for line in lines(ctx, r.stderr):
            expect_known(line.decode("utf-8", errors="replace"), lines_of, "message")
    missed = sorted(t.pattern for t in reasons if t.pattern not in seen)
    expect(not missed, f"problems untree-list(1) names but no damaged archive showed: {missed}")

    os.mkdir(os.path.join(ctx.scratch, "folder"))
    wrong = [["--bogus", "a.tree"], [], ["a", "b", "c"], ["--names", "--json", "a"], ["--summary", "--check", "a"],
             ["--check", "names.tree", "x"], ["names.tree", "x" * 1024], ["missing.tree"], ["folder"]]
    for args in wrong:
        r = ctx.run(ctx.args.list, *args)
        err = lines(ctx, r.stderr)
        expect_eq((r.returncode, r.stdout, len(err) > 0), (1, b"", True), f"untree-list {' '.join(args)[:40]}")
        for line in err:
            expect_known(line.decode("utf-8", errors="replace"), lines_of, "message")
    with open("/dev/full", "wb") as full:
        r = subprocess.run([ctx.args.list, os.path.join(ctx.scratch, "names.tree")], stdout=full,
                           stderr=subprocess.PIPE)
    expect_eq(r.returncode, 1, "untree-list > /dev/full")
    for line in lines(ctx, r.stderr):
        expect_known(line.decode("utf-8", errors="replace"), lines_of, "message")


# --- format --------------------------------------------------------------------

def dump_in_document(ctx, which="example"):
    with open(os.path.join(ctx.args.source, "docs", "format.md"), encoding="utf-8") as f:
        doc = f.read()
    m = re.search(r"<!-- %s dump begins -->\n```\n(.*?)```\n<!-- %s dump ends -->" % (which, which), doc, re.S)
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
    r = ctx.run(ctx.args.pack, "--plain", "src", "packed.tree")
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


def check_extended_dump(ctx):
    dump = dump_in_document(ctx, "extended")
    built = format_example.build_extended()
    expect_eq(dump, format_example.hex_dump(built), "the extended dump in docs/format.md")
    expect_eq(bytes_of_dump(dump), built, "the bytes of the extended dump")


def check_extended_extracts(ctx):
    """untree restores the extended example's modes and link (Linux), or
    checks its contents and makes or refuses the link (Windows)."""
    with open(os.path.join(ctx.scratch, "extended.tree"), "wb") as f:
        f.write(bytes_of_dump(dump_in_document(ctx, "extended")))
    out = ctx.fresh_dir("out-extended")
    os.umask(0o022)
    r = ctx.run(ctx.args.untree, "extended.tree", "out-extended")
    link = os.path.join(out, "link")
    if ctx.args.runner and not os.path.islink(link):
        expect_eq(r.returncode, 2, "exit status, the link refused")
        expect(b"symlink error with <" in r.stderr, "no line for the refused link: %r" % r.stderr)
    else:
        expect_eq((r.returncode, r.stderr), (0, b""), "extracting the extended example")
        expect_eq(os.readlink(link), "docs", "the link")
    if not ctx.args.runner:
        modes = {p: os.stat(os.path.join(out, p)).st_mode & 0o7777
                 for p in ["docs", "docs/note.txt", "hello.txt", "\U0001F600"]}
        expect_eq(modes, {"docs": 0o755, "docs/note.txt": 0o644, "hello.txt": 0o444, "\U0001F600": 0o644}, "modes")
    bad = bytearray(bytes_of_dump(dump_in_document(ctx, "extended")))
    bad[1] ^= 0x20  # in the content of docs/note.txt
    with open(os.path.join(ctx.scratch, "bad.tree"), "wb") as f:
        f.write(bad)
    ctx.fresh_dir("out-bad")
    r = ctx.run(ctx.args.untree, "bad.tree", "out-bad")
    expect_eq(r.returncode, 2, "exit status of a damaged content")
    expect(b"checksum mismatch in <" in r.stderr and b"note.txt>" in r.stderr, "the line: %r" % r.stderr)


def check_extended_matches_packer(ctx):
    """untree-pack writes the extended example's bytes for its tree, given
    the creation times it found."""
    if not ctx.args.pack or ctx.args.runner:
        raise Skip("the extended example holds a link and Linux modes: the Linux packer")
    src = ctx.fresh_dir("src-extended")
    os.makedirs(os.path.join(src, "docs"))
    files = {("docs", "note.txt"): b"hi\n", ("hello.txt",): b"Hello\n", ("\U0001F600",): b""}
    for path, content in files.items():
        with open(os.path.join(src, *path), "wb") as f:
            f.write(content)
    os.symlink("docs", os.path.join(src, "link"))
    for path, mode in [(("docs",), 0o755), (("docs", "note.txt"), 0o644), (("hello.txt",), 0o444),
                       (("\U0001F600",), 0o644)]:
        os.chmod(os.path.join(src, *path), mode)
    to_ns = lambda ft: (ft - format_example.FILETIME_UNIX_EPOCH) * 100  # noqa: E731
    times = (to_ns(format_example.ACCESSED), to_ns(format_example.WRITTEN))
    for path in list(files) + [("docs",), ("link",)]:
        os.utime(os.path.join(src, *path), ns=times, follow_symlinks=False)
    r = ctx.run(ctx.args.pack, "src-extended", "packed-extended.tree")
    expect_eq((r.returncode, r.stderr), (0, b""), "packing the extended example tree")
    with open(os.path.join(ctx.scratch, "packed-extended.tree"), "rb") as f:
        packed = f.read()
    records_at = len(packed) - 8 - 200
    creations = [struct.unpack_from("<Q", packed, records_at + 40 * k + 8)[0] for k in range(5)]
    expect_eq(format_example.hex_dump(packed), format_example.hex_dump(format_example.build_extended(creations)),
              "the packed extended example, with the creation times it found")


# --- cli -----------------------------------------------------------------------

def check_cli_help_and_version(ctx):
    programs = [("untree", ctx.args.untree)] + ([("untree-pack", ctx.args.pack)] if ctx.args.pack else []) + \
        ([("untree-list", ctx.args.list)] if ctx.args.list else []) + \
        ([("untree-mount", ctx.args.mount)] if ctx.args.mount else [])
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
    expect_eq((r.returncode, r.stdout), (0, b""), "untree without arguments")
    expect(lines(ctx, r.stderr)[:1] == [b"Usage: untree [OPTION...] ARCHIVE [DESTINATION [FILTER...]]"],
           f"untree without arguments: {r.stderr!r}")
    help_text = ctx.run(ctx.args.untree, "--help").stdout
    for needle in [b"ARCHIVE [DESTINATION [FILTER...]]", b"Exit status", b"untree(1)"]:
        expect(needle in help_text, f"the help text lacks {needle!r}")


def check_cli_every_option_told(ctx):
    """Every option untree's help names is taken, and is in untree(1), the
    README and the bash completion."""
    help_text = text_lines(ctx.run(ctx.args.untree, "--help").stdout, ctx.wine, "help").decode()
    # The option column of the lines that start with one.
    columns = [line.strip().split("  ")[0] for line in help_text.split("\n") if line.strip().startswith("-")]
    options = sorted({o for column in columns for o in re.findall(r"--?[A-Za-z][\w-]*", column)})
    expect(len(options) >= 11, f"options found in the help: {options}")
    manual = render(ctx, "untree")
    with open(os.path.join(ctx.args.source, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    with open(os.path.join(ctx.args.source, "packaging", "completion", "untree.bash"), encoding="utf-8") as f:
        completion = f.read()
    for option in options:
        alone = r"(?<![\w-])" + re.escape(option) + r"(?![\w-])"
        expect(re.search(alone, manual), f"untree(1) lacks {option}")
        expect("`%s`" % option in readme, f"the README lacks {option}")
        expect(re.search(alone, completion), f"the completion lacks {option}")
        if option not in ("-h", "--help", "--version", "--"):
            # Taken: an unknown one would end the run with 1 and a line.
            r = ctx.run(ctx.args.untree, option, "missing.tree")
            expect(b"unknown option" not in r.stderr, f"untree {option} is not taken: {r.stderr!r}")


def check_cli_only_sole_argument(ctx):
    """untree-pack's --help counts only as the sole argument; untree's
    options come before ARCHIVE: --help there wins, an archive named
    --help is reached after -- or as ./--help, and after ARCHIVE --help is
    an operand like any other."""
    with open(os.path.join(ctx.scratch, "--help"), "wb") as f:
        f.write(format_example.build())
    ctx.fresh_dir("d1")
    r = ctx.run(ctx.args.untree, "--help", "d1")
    expect(r.returncode == 0 and r.stdout.startswith(b"Usage: untree "), "untree --help d1: the help")
    expect_eq(os.listdir(os.path.join(ctx.scratch, "d1")), [], "untree --help d1 extracted something")
    r = ctx.run(ctx.args.untree, "--", "--help", "d1")
    expect_eq(r.returncode, 0, "untree -- --help d1 (an archive named --help)")
    expect(os.path.exists(os.path.join(ctx.scratch, "d1", "docs", "note.txt")), "--help was not extracted into d1")
    here = ctx.fresh_dir("d2")
    r = ctx.run(ctx.args.untree, os.path.join("..", "--help"), cwd=here)
    expect_eq(r.returncode, 0, "untree ../--help")
    expect(os.path.exists(os.path.join(here, "hello.txt")), "../--help was not extracted into the current dir")
    ctx.fresh_dir("d3")
    r = ctx.run(ctx.args.untree, "./--help", "d3")
    expect_eq(r.returncode, 0, "untree ./--help d3")
    r = ctx.run(ctx.args.untree, "--version", "d1")
    expect_eq((r.returncode, r.stdout, r.stderr), (0, f"untree {ctx.args.version}".encode() + ctx.newline, b""),
              "untree --version d1")
    r = ctx.run(ctx.args.untree, "example", "d1", "--help")
    expect_eq((r.returncode, r.stdout), (1, b""), "untree example d1 --help (no such archive)")
    if ctx.args.pack:
        r = ctx.run(ctx.args.pack, "--help", "d1")
        expect(r.returncode == 1 and not r.stdout, "untree-pack --help d1: wrong arguments")


def check_cli_bash_completion(ctx):
    """The bash completion, called as bash calls it: ARCHIVE, DESTINATION,
    and FILTER from the archive's paths, quoted the way the word was begun;
    listing the archive creates nothing."""
    ctx.linux_only("bash completes the Linux programs")
    names = [b"docs", b"api", b"index.md", b"apiary", b"my docs", b"notes.txt", b"readme.txt"]
    records = [record(0, D), record(1, D), record(2, F), record(1, F), record(0, D), record(1, F), record(0, F)]
    with open(os.path.join(ctx.scratch, "project.tree"), "wb") as f:
        f.write(archive(names, records))
    for made in ["out", "other.tree.d"]:
        os.mkdir(os.path.join(ctx.scratch, made))
    open(os.path.join(ctx.scratch, "notes.txt"), "wb").close()
    before = sorted(os.listdir(ctx.scratch))
    script = os.path.join(ctx.args.source, "packaging", "completion", "untree.bash")
    rows = [
        (["untree", ""], ["other.tree.d", "out", "project.tree"]),
        (["untree", "project.tree", ""], ["other.tree.d", "out"]),
        (["untree", "project.tree", "out", ""], ["docs\\\\", "my\\ docs\\\\", "readme.txt"]),
        (["untree", "project.tree", "out", "'docs\\a"], ["docs\\api\\", "docs\\apiary"]),
        (["untree", "project.tree", "out", "'docs\\api\\'"], ["docs\\api\\index.md"]),
        (["untree", "project.tree", "out", '"docs\\\\'], ["docs\\\\api\\\\", "docs\\\\apiary"]),
        (["untree", "project.tree", "out", "docs\\\\api\\\\i"], ["docs\\\\api\\\\index.md"]),
        (["untree", "project.tree", "out", "my\\ d"], ["my\\ docs\\\\"]),
        (["untree", "project.tree", "out", "'my docs\\"], ["my docs\\notes.txt"]),
        (["untree", "project.tree", "out", "x"], []),
        (["untree", "missing.tree", "out", ""], []),
        (["untree", "-"], ["-q", "-O", "-k", "-h", "--quiet", "--to-stdout", "--keep-old-files", "--skip-old-files",
                           "--keep-newer-files", "--overwrite-read-only", "--help", "--version", "--"]),
        (["untree", "--s"], ["--skip-old-files"]),
        (["untree", "-q", "--skip-old-files", "project.tree", "out", "'docs\\a"], ["docs\\api\\", "docs\\apiary"]),
        (["untree", "-k", "project.tree", "out", "readme.txt", "'docs\\a"], ["docs\\api\\", "docs\\apiary"]),
        (["untree", "-O", "project.tree", "'docs\\a"], ["docs\\api\\", "docs\\apiary"]),
        (["untree", "-qO", "project.tree", "readme.txt", "r"], ["readme.txt"]),
        (["untree", "--", "project.tree", ""], ["other.tree.d", "out"]),
        (["untree", "-q", ""], ["other.tree.d", "out", "project.tree"]),
        (["untree-pack", ""], ["other.tree.d", "out"]),
        (["untree-mount", ""], ["other.tree.d", "out", "project.tree"]),
        (["untree-mount", "-f", "-o", "allow_other", "project.tree", ""], ["other.tree.d", "out"]),
        (["untree-mount", "-o", "allow_o"], ["allow_other"]),
        (["untree-mount", "-"], ["-f", "-o", "--", "-h", "--help", "--version"]),
        (["untree-mount", "project.tree", "out", ""], []),
    ]
    # FILTER's paths come from untree-list where it is installed, from the
    # listing trick where it is not: both ways give the same completions.
    lister = [os.path.dirname(ctx.args.list)] if ctx.args.list else []
    for programs in ([os.path.dirname(ctx.args.untree)], [os.path.dirname(ctx.args.untree)] + lister):
        env = dict(os.environ, PATH=os.pathsep.join(programs + [os.environ["PATH"]]))
        complete_rows(script, rows, env, ctx.scratch)
    expect_eq(sorted(os.listdir(ctx.scratch)), before, "the directory after completing (nothing extracted)")


def complete_rows(script, rows, env, scratch):
    for words, wanted in rows:
        function = {"untree-pack": "_untree_pack", "untree-mount": "_untree_mount"}.get(words[0], "_untree")
        p = subprocess.run(["bash", "-c", 'source "$1"; shift; compopt() { :; }; COMP_WORDS=("$@"); '
                            f'COMP_CWORD=$(($# - 1)); {function}; printf "%s\\n" "${{COMPREPLY[@]}}"',
                            "bash", script] + words, cwd=scratch, env=env, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=60)
        expect_eq(p.stderr, b"", f"bash's complaints completing {words} (PATH {env['PATH'][:200]})")
        got = sorted(line for line in p.stdout.decode().split("\n") if line)
        expect_eq(got, sorted(wanted), f"completions of {words} (PATH {env['PATH'][:200]})")


# --- readme ----------------------------------------------------------------------
# A fenced block after <!-- run: sh DIR -->, <!-- run: cmd --> or
# <!-- run: ps --> is a session: commands after their prompt, each followed
# by the lines a reader sees. The sh sessions run in bash natively, in one
# directory, in README order; the cmd and ps sessions likewise, in one cmd.exe
# script under Wine. DIR, or the path in the prompt, stands for the directory
# they ran in wherever it shows in the output.

SESSION = re.compile(r"<!-- run: (sh|cmd|ps)(?: (\S+))? -->\n```[a-z]*\n(.*?)```", re.S)
PROMPT = {"sh": re.compile(r"\$ "), "cmd": re.compile(r"([A-Z]:\\[^>]*)> ?"), "ps": re.compile(r"PS ([A-Z]:\\[^>]*)> ?")}
SEPARATOR = "::untree-readme-next::"


def readme_sessions(ctx, kinds):
    """[(kind, directory, [(command, [expected lines])])] of the README."""
    with open(os.path.join(ctx.args.source, "README.md"), encoding="utf-8") as f:
        text = f.read()
    stale = {v for v in re.findall(r"untree[-_](\d+\.\d+\.\d+)", text) if v != ctx.args.version}
    expect(not stale, f"README names packages of another version than {ctx.args.version}: {sorted(stale)}")
    sessions = []
    for kind, directory, body in SESSION.findall(text):
        if kind not in kinds:
            continue
        directory = directory or (sessions[-1][1] if sessions else "")
        steps = []
        for line in body.splitlines():
            m = PROMPT[kind].match(line)
            if m:
                directory = directory or m.group(1)
                steps.append((line[m.end():], []))
            else:
                expect(steps, f"README: a {kind} session starts with output: {line}")
                steps[-1][1].append(line)
        sessions.append((kind, directory, steps))
    expect(sessions, f"README has no {' or '.join(kinds)} session")
    return sessions


def screen(raw):
    """What a terminal shows of some output: a carriage return goes back to
    the start of the line, so the text after it overwrites what came before."""
    shown = []
    for line in raw.replace("\r\n", "\n").rstrip("\n").split("\n"):
        row = ""
        for part in line.split("\r"):
            row = part + row[len(part):]
        shown.append(row.rstrip())
    return shown if raw else []


def compare_sessions(sessions, output, here):
    """The output of all commands, cut at the separators, against the README."""
    parts = output.split(SEPARATOR)
    commands = [(kind, step, directory) for kind, directory, steps in sessions for step in steps]
    expect_eq(len(parts), len(commands) + 1, "commands that ran to their end")
    for (kind, (command, expected), directory), part in zip(commands, parts):
        shown = [line.replace(here, directory) for line in screen(part.strip("\r\n"))]
        expect_eq(shown, expected, f"the README's {kind} command `{command}` printed")


def check_readme_posix(ctx):
    """The README's shell sessions, run in bash."""
    sessions = readme_sessions(ctx, ["sh"])
    here = ctx.fresh_dir("session")
    script = ["set +e"]
    for _, _, steps in sessions:
        for command, _ in steps:
            # $? after the separator is still the command's own status.
            script += [command, f"status=$?; printf '\\n{SEPARATOR}'; (exit $status)"]
    env = dict(os.environ, LC_ALL="C.UTF-8", TZ=os.environ.get("TZ", "UTC"),
               PATH=os.pathsep.join([os.path.dirname(ctx.args.untree), os.path.dirname(ctx.args.pack or "."),
                                     os.path.dirname(ctx.args.list or "."), os.environ["PATH"]]))
    p = subprocess.run(["bash", "-c", "\n".join(script)], cwd=here, env=env, stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, timeout=300)
    compare_sessions(sessions, p.stdout.decode("utf-8", errors="replace"), here)


def powershell_line(line, mode):
    """The cmd.exe line that runs what a PowerShell line does, for the few
    kinds of line the README shows. mode "legacy" builds the program's
    command line as Windows PowerShell 5.1 does (an argument with a blank is
    put in quotes, nothing escaped), "standard" as PowerShell 7.3 and later
    do (backslashes before a quote doubled)."""
    if line == "$LASTEXITCODE":
        return "echo %ERRORLEVEL%"
    m = re.fullmatch(r"mkdir (\S+) \| Out-Null", line)
    if m:
        return "mkdir " + m.group(1)
    m = re.match(r"(untree(?:-\w+)?) ", line)
    expect(m, f"the docs test cannot run the PowerShell line: {line}")
    words, rest, verbatim = [], line[m.end():], ""
    while rest:
        token = re.match(r"\s*(?:'((?:[^']|'')*)'|\"([^\"$`]*)\"|(--%)(.*)|(2?>) \$null|([^\s'\"$`|>]+))", rest)
        expect(token, f"the docs test cannot read the PowerShell arguments: {rest}")
        rest = rest[token.end():]
        single, double, stop, after, redirect, bare = token.groups()
        if stop:
            verbatim = after  # passed to the program as it stands
            break
        if redirect:
            verbatim += f" {redirect} NUL"
            continue
        word = single.replace("''", "'") if single is not None else double if double is not None else bare
        if re.search(r"\s", word):
            if mode == "standard":
                word = re.sub(r'(\\*)$', r'\1\1', word)
            word = f'"{word}"'
        words.append(word)
    return " ".join([m.group(1)] + words) + verbatim


def check_readme_windows(ctx):
    """The README's cmd.exe and PowerShell sessions, run under Wine's cmd.exe,
    the PowerShell lines once as each kind of PowerShell passes arguments on."""
    sessions = readme_sessions(ctx, ["cmd", "ps"])
    here = ctx.fresh_dir("session")
    windows_here = "Z:" + os.path.realpath(here).replace("/", "\\")
    programs = ";".join("Z:" + os.path.dirname(p).replace("/", "\\")
                        for p in [ctx.args.untree, ctx.args.pack, ctx.args.list] if p)
    scripts = {}
    for mode in ["standard", "legacy"]:
        script = ["@echo off", f"set PATH={programs};%PATH%"]
        for kind, _, steps in sessions:
            for command, _ in steps:
                script += [powershell_line(command, mode) if kind == "ps" else command, f"echo {SEPARATOR}"]
        if script not in scripts.values():
            scripts[mode] = script
    for mode, script in scripts.items():
        for name in os.listdir(here):
            harness.remove_tree(os.path.join(here, name))
        with open(os.path.join(ctx.scratch, "session.cmd"), "w", newline="\r\n") as f:
            f.write("\n".join(script) + "\n")
        r = ctx.run_program("cmd", ["/c", os.path.join(ctx.scratch, "session.cmd")], cwd=here,
                            stderr=subprocess.STDOUT, timeout=600)
        try:
            compare_sessions(sessions, r.stdout.decode("utf-8", errors="replace"), windows_here)
        except harness.Failure as e:
            raise harness.Failure(f"with arguments passed on as {mode} PowerShell does: {e}")


# --- packages ------------------------------------------------------------------

def expected_programs(ctx):
    return ["untree"] + (["untree-pack"] if ctx.args.pack else []) + (["untree-list"] if ctx.args.list else []) + \
        (["untree-mount"] if ctx.args.mount else [])


def check_packages_install(ctx):
    """cmake --install into a prefix of our own."""
    prefix = ctx.fresh_dir("prefix")
    p = subprocess.run(["cmake", "--install", ctx.args.build, "--prefix", prefix],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    expect(p.returncode == 0, "cmake --install failed:\n" + p.stdout.decode(errors="replace"))
    found = sorted(os.path.relpath(os.path.join(d, n), prefix) for d, _, fs in os.walk(prefix) for n in fs)
    expect_eq(found, sorted(installed_files(ctx)), "files installed")


def installed_files(ctx):
    if ctx.wine:
        return [p + ".exe" for p in expected_programs(ctx)] + ["README.md", "LICENSE.txt", "doc/format.md"] + \
            [f"doc/{m}.txt" for m in MAN_PAGES]
    return [f"bin/{p}" for p in expected_programs(ctx)] + [f"share/man/man1/{m}.1.gz" for m in MAN_PAGES] + \
        [f"share/bash-completion/completions/{p}" for p in expected_programs(ctx)] + \
        [f"share/doc/untree/{n}" for n in ["README.md", "format.md", "copyright", "changelog.gz"]]


def cpack(ctx):
    out = ctx.fresh_dir("cpack")
    # Without SOURCE_DATE_EPOCH from outside, the package takes its dates
    # from the changelog.
    env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
    p = subprocess.run(["cpack", "--config", os.path.join(ctx.args.build, "CPackConfig.cmake"), "-B", out],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
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
    if ctx.args.mount:
        for package in ("libfuse3-3", "fuse3"):
            expect(package in field("Depends"), f"Depends does not name {package}: {field('Depends')}")
    # Without bash-completion the completion files are never loaded.
    expect_eq(field("Recommends"), "bash-completion", "Recommends")

    p = subprocess.run(["lintian", "--fail-on", "error,warning", deb], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    expect(p.returncode == 0, f"lintian on the .deb (exit {p.returncode}):\n{p.stdout.decode(errors='replace')}")

    # Every time stamp in the package is the release's: the date of the
    # newest changelog entry, whose version is the package's.
    newest = changelog_release(ctx)
    expect_eq(newest[0], ctx.args.version, "version of the newest entry of packaging/changelog")
    with open(deb, "rb") as f:
        blob = f.read()
    at, stamps = 8, set()
    while at < len(blob):
        name, mtime, size = blob[at:at + 16].strip(), int(blob[at + 16:at + 28]), int(blob[at + 48:at + 58])
        stamps.add((name.decode(), mtime))
        if name.startswith(b"control.tar") or name.startswith(b"data.tar"):
            with tarfile.open(fileobj=io.BytesIO(blob[at + 60:at + 60 + size])) as t:
                stamps |= {(m.name, m.mtime) for m in t.getmembers()}
        at += 60 + size + size % 2
    expect_eq({what for what, mtime in stamps if mtime != newest[1]}, set(),
              f"entries of the .deb not dated {newest[1]} (the newest changelog entry)")

    root = ctx.fresh_dir("root")
    subprocess.run(["dpkg", "-x", deb, root], check=True)
    found = sorted(os.path.relpath(os.path.join(d, n), root) for d, _, fs in os.walk(root) for n in fs)
    expect_eq(found, sorted("usr/" + n for n in installed_files(ctx)), "files in the .deb")
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
        expect_eq(names, sorted(top + n for n in installed_files(ctx)), "files in the zip")
        unpacked = ctx.fresh_dir("zip")
        z.extractall(unpacked)
    for m in MAN_PAGES:
        with open(os.path.join(unpacked, top, "doc", m + ".txt"), "rb") as f:
            text = f.read()
        expect(b"SYNOPSIS" in text and b"\x1b" not in text and b"\x08" not in text,
               f"doc/{m}.txt is not plain text")
        expect(b"\n" not in text.replace(b"\r\n", b""), f"doc/{m}.txt has bare LF line ends")
        # Hyphens a reader can search for and copy, and no word broken in two.
        for dash in ("\u2010", "\u2011", "\u2212"):
            expect(dash.encode() not in text, f"doc/{m}.txt holds U+{ord(dash):04X}")
        with open(man_path(ctx, m), encoding="utf-8") as f:
            words = set(re.findall(r"[A-Za-z]+", f.read()))
        rows = text.decode("utf-8").split("\r\n")
        for row, after in zip(rows, rows[1:]):
            start, rest = re.search(r"([A-Za-z]+)-$", row), re.match(r"\s*([a-z]+)", after)
            expect(not (start and rest and start.group(1) + rest.group(1) in words),
                   f"doc/{m}.txt breaks a word: {row.strip()!r} / {after.strip()!r}")
    with open(os.path.join(unpacked, top, "README.md"), "rb") as f, \
            open(os.path.join(ctx.args.source, "README.md"), "rb") as source:
        expect_eq(f.read() == source.read().replace(b"\n", b"\r\n"), True, "README.md in the zip, with CR LF")
    for program in expected_programs(ctx):
        exe = os.path.join(unpacked, top, program + ".exe")
        r = ctx.run(exe, "--version")
        expect_eq((r.returncode, r.stdout), (0, f"{program} {ctx.args.version}\r\n".encode()),
                  f"{program}.exe --version from the zip")
        if ctx.args.objdump:
            dump = subprocess.run([ctx.args.objdump, "-p", exe], stdout=subprocess.PIPE, check=True).stdout.decode()
            dlls = {d.lower() for d in re.findall(r"DLL Name: (\S+)", dump)}
            expect(dlls and dlls <= SYSTEM_DLLS, f"{program}.exe needs DLLs beyond the system's: {dlls - SYSTEM_DLLS}")
    # Every program in the zip, also one added later, carries both resources.
    for exe in sorted(n for n in names if n.endswith(".exe")):
        check_windows_resources(ctx, os.path.join(unpacked, exe))


RT_VERSION, RT_MANIFEST = 16, 24
SUPPORTED_OS = {"{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}


def pe_resources(blob):
    """{(type, id): bytes} of a PE file's resource tree (numeric ids only,
    first language of each)."""
    pe = struct.unpack_from("<I", blob, 0x3C)[0]
    expect(blob[pe:pe + 4] == b"PE\0\0", "not a PE file")
    sections, optional_size = struct.unpack_from("<H12xH", blob, pe + 6)
    optional = pe + 24
    directories = optional + (96 if struct.unpack_from("<H", blob, optional)[0] == 0x10B else 112)
    root_rva = struct.unpack_from("<I", blob, directories + 2 * 8)[0]
    expect(root_rva, "no resource directory")
    table = optional + optional_size
    spans = [struct.unpack_from("<8xII4xI", blob, table + 40 * i) for i in range(sections)]

    def offset(rva):
        for size, start, raw in spans:
            if start <= rva < start + size:
                return raw + rva - start
        raise harness.Failure(f"resource address {rva:#x} is in no section")
    root = offset(root_rva)

    def entries(at):
        named, numbered = struct.unpack_from("<12xHH", blob, root + at)
        return [struct.unpack_from("<II", blob, root + at + 16 + 8 * i) for i in range(named + numbered)]
    found = {}
    for kind, names in entries(0):
        for ident, languages in entries(names & 0x7FFFFFFF):
            leaf = entries(languages & 0x7FFFFFFF)[0][1]
            rva, size = struct.unpack_from("<II", blob, root + leaf)
            found[(kind, ident)] = blob[offset(rva):offset(rva) + size]
    return found


def version_strings(blob):
    """The fixed version numbers and the strings of a VS_VERSIONINFO block:
    each string is its key, NUL units to align it, its value."""
    at = blob.find(struct.pack("<I", 0xFEEF04BD))
    expect(at >= 0, "no fixed part in the version block")
    text = blob.decode("utf-16-le", errors="replace")
    return struct.unpack_from("<4I", blob, at + 8), dict(re.findall(r"([A-Za-z]+)\0+([^\0]+)\0", text))


def check_windows_resources(ctx, exe):
    program = os.path.basename(exe)[:-len(".exe")]
    with open(exe, "rb") as f:
        resources = pe_resources(f.read())
    expect((RT_VERSION, 1) in resources and (RT_MANIFEST, 1) in resources,
           f"{program}.exe lacks its version block or its manifest: {sorted(resources)}")
    fixed, strings = version_strings(resources[(RT_VERSION, 1)])
    n = [int(n) for n in ctx.args.version.split(".")] + [0]
    expect_eq(fixed, ((n[0] << 16) | n[1], (n[2] << 16) | n[3]) * 2, f"{program}.exe: file and product version numbers")
    expect_eq({k: strings.get(k) for k in ("ProductName", "ProductVersion", "FileVersion", "OriginalFilename")},
              {"ProductName": "untree", "ProductVersion": ctx.args.version, "FileVersion": ctx.args.version,
               "OriginalFilename": program + ".exe"}, f"{program}.exe: version strings")
    expect(strings.get("FileDescription", "").startswith(program + ": "),
           f"{program}.exe: description {strings.get('FileDescription')!r}")
    import xml.etree.ElementTree as ET
    manifest = ET.fromstring(resources[(RT_MANIFEST, 1)])
    find = lambda tag: [e for e in manifest.iter() if e.tag.endswith("}" + tag)]  # noqa: E731
    expect_eq([e.get("level") for e in find("requestedExecutionLevel")], ["asInvoker"],
              f"{program}.exe: requested execution level")
    expect_eq([e.text for e in find("longPathAware")], ["true"], f"{program}.exe: longPathAware")
    expect_eq({e.get("Id") for e in find("supportedOS")}, SUPPORTED_OS, f"{program}.exe: supported systems")


# --- runner --------------------------------------------------------------------

GROUPS = {
    "man": [check_man_renders, check_man_version, check_man_sections, check_man_explains_every_report,
            check_man_safety_examples, check_man_explains_the_command_line_lines, check_man_filter_examples, check_man_explains_packer_lines,
            check_man_explains_list_lines],
    "format": [check_format_dump, check_format_extracts, check_format_matches_packer, check_extended_dump,
               check_extended_extracts, check_extended_matches_packer],
    "cli": [check_cli_help_and_version, check_cli_every_option_told, check_cli_only_sole_argument,
            check_cli_bash_completion],
    "packages": [check_packages_install],
    "readme": [],
}


def main():
    parser = harness.argument_parser(__doc__)
    parser.add_argument("group", choices=sorted(GROUPS))
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--pack")
    parser.add_argument("--list")
    parser.add_argument("--mount")
    parser.add_argument("--objdump")
    args = harness.parse_arguments(parser)
    if args.mount:
        args.mount = os.path.abspath(args.mount)
        MAN_PAGES.append("untree-mount")
    checks = list(GROUPS[args.group])
    if args.group == "packages":
        checks.append(check_packages_zip if args.runner == "wine" else check_packages_deb)
    if args.group == "readme":
        checks.append(check_readme_windows if args.runner == "wine" else check_readme_posix)
    cases = {check.__name__[len("check_"):]: check for check in checks}
    return harness.run_cases(cases, args, lambda scratch: Context(args, scratch), "untree-docs-")


if __name__ == "__main__":
    sys.exit(main())
