#!/usr/bin/env python3
"""End-to-end benchmark of nivra-sign and nivra-unsign against the I/O floor and two peers.

Usage (from anywhere; run as root to get a tmpfs):

    python3 bench/run.py [--reps 5] [--bin DIR] [--keep] [--scale 1] [--gb-reps 1]
                         [--iconv-reps N]
    python3 bench/run.py --syscalls [--bin DIR]
    python3 bench/run.py --share [--bin DIR] [--reps 3]

It builds the two programs in build-bench/ (Release) unless --bin names a folder that
holds them, then generates, always the same way, a tree of 10,000 Windows-1252 sources
(about 120 MB, CR LF lines, about 3% of the characters outside ASCII), one 200 MB source
of the same text, one 200 MB dense source (every line with accented letters, a euro sign
and curly quotes: about 16% of the characters outside ASCII) and one 200 MB source of a
single line (the first one with its line ends turned into spaces); the 1 GB source is the
first one five times over, written afresh for each of its runs. --scale multiplies every
size (0.01 tries the script out in seconds). It works on a tmpfs that it mounts itself
when it can, else in a temporary folder (and says so); at most about 4.6 GB are in use.
Each repetition runs every job once, in a rotating order, on a fresh copy:

  cp -a of the tree, nivra-sign on it, nivra-unsign on the signed result,
  cp of the 200 MB file, nivra-sign and nivra-unsign on each 200 MB file,
  cp of the 1 GB file, nivra-sign and nivra-unsign on it (the first --gb-reps repetitions),
  a one-process Python peer and a find -exec iconv peer doing the sign job on the tree
  (the latter, which takes a hundred times as long, in the first --iconv-reps only).

It prints median, min and max of each job's wall time, the median of its CPU time (user
plus system: on a busy machine the wall time also counts waiting for a core), the peak
resident memory of each program run (read by /usr/bin/time in a process of its own, so
that none of this script's memory is counted), and Markdown tables of the ratios and of
the memory against their targets. The first repetition also checks that the sign result
equals the Python peer's, byte for byte, that each signed file is the UTF-8 form of its
source, and that unsign gives back the original tree and files.

A real tree goes beside the generated one: the C and C++ sources under --real-tree (by
default /usr/share/mingw-w64, the MinGW-w64 project's Windows headers as Debian's package
mingw-w64-common installs them), laid out afresh in the workspace with every file that
is not ASCII turned from UTF-8 into Windows-1252 (one that cannot be is left out); cp -a,
nivra-sign and nivra-unsign run on it as on the tree. Where the folder is missing, the
real tree is left out, and the script says so.

--syscalls instead counts the system calls (strace -c -f) of cp -a, nivra-sign and
nivra-unsign on a tree of 1,000 of these files and prints them per file.

--share instead times a tree of 2,000 of these files (24 MB) through an sshfs mount of a
folder served by an sshd of its own on 127.0.0.1 (tests/reliability/share.sh, as root):
cp -a of the tree within the mount, and nivra-sign and nivra-unsign on a fresh copy, each
with one worker (run under taskset -c 0: with one processor a run takes no threads) and
with the number the programs choose for a share. Every copy goes into a folder of a name
not used before, so that no cache of the client holds a view of an earlier one.
"""

import argparse
import filecmp
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)

TREE_FILES = 10_000
TREE_BYTES = 120_000_000
BIG_BYTES = 200_000_000
HUGE_COPIES = 5  # the 1 GB file: the 200 MB one this many times
MEMORY_TARGET_MIB = 64
SYSCALL_FILES = 1_000
SHARE_FILES = 2_000
SHARE_SCRIPT = os.path.join(REPO, "tests", "reliability", "share.sh")
SEED = 20261208
SOURCE_EXTENSIONS = (".c", ".cpp", ".h")

# Words of comments and strings, Spanish and French, as Windows-1252 holds them.
WORDS_NON_ASCII = [
    "función", "parámetro", "código", "número", "página", "límite", "último", "según",
    "también", "está", "después", "dirección", "línea", "máximo", "mínimo", "año",
    "señal", "tamaño", "niño", "España", "déjà", "été", "très", "où", "à", "première",
    "réseau", "fenêtre", "caractère", "données", "élément", "création", "début",
    "garçon", "français", "leçon", "naïve", "coût", "précédent", "reçu", "¿qué?", "¡atención!",
    "«valor»", "“nombre”", "l’état", "€", "°C", "±", "—", "…", "µs", "§", "ü", "ß", "Ø",
]
WORDS_ASCII = [
    "el", "la", "de", "que", "en", "un", "se", "los", "por", "con", "para", "una", "valor",
    "buffer", "si", "no", "es", "le", "et", "les", "des", "pour", "dans", "est", "une",
    "the", "value", "index", "count", "file", "check", "return", "error", "size", "data",
]
IDENTS = [
    "i", "j", "n", "len", "buf", "ptr", "count", "size", "index", "result", "status", "node",
    "list", "head", "next", "value", "key", "table", "entry", "offset", "flags", "mode",
    "ctx", "state", "width", "height", "total", "cursor", "handle", "stream",
]
TYPES = ["int", "char", "long", "unsigned", "size_t", "double", "void*", "struct nodo*", "BOOL"]
# Accented words for the dense file, short ones among them, as in real comments.
WORDS_ACCENTED = [w for w in WORDS_NON_ASCII if w.isalpha()] + [
    "más", "aún", "sí", "él", "qué", "así", "ça", "là", "über", "Größe", "für", "größer",
]


def make_line(rng):
    """One line of C or C++, without its end."""
    indent = " " * (4 * rng.choice((0, 1, 1, 2, 2, 2, 3, 3, 4)))
    kind = rng.random()
    if kind < 0.22:
        words = [rng.choice(WORDS_NON_ASCII if rng.random() < 0.5 else WORDS_ASCII)
                 for _ in range(rng.randint(3, 12))]
        return indent + "// " + " ".join(words)
    if kind < 0.30:
        words = [rng.choice(WORDS_NON_ASCII if rng.random() < 0.4 else WORDS_ASCII)
                 for _ in range(rng.randint(2, 8))]
        return indent + 'printf("%s: %d\\n", "' + " ".join(words) + '", ' + rng.choice(IDENTS) + ");"
    if kind < 0.40:
        return ""
    if kind < 0.55:
        return "%s%s %s = %s;" % (indent, rng.choice(TYPES), rng.choice(IDENTS),
                                  rng.randint(0, 65535))
    if kind < 0.70:
        return "%sif (%s %s %s) {" % (indent, rng.choice(IDENTS), rng.choice(("<", ">=", "==", "!=")),
                                      rng.choice(IDENTS))
    if kind < 0.80:
        return indent + "}"
    if kind < 0.90:
        return "%s%s = %s(%s, %s + %d);" % (indent, rng.choice(IDENTS), rng.choice(IDENTS),
                                            rng.choice(IDENTS), rng.choice(IDENTS), rng.randint(1, 64))
    return "%sfor (%s = 0; %s < %s; ++%s) %s[%s] = 0;" % (
        (indent,) + tuple(rng.choice(IDENTS) for _ in range(6)))


def make_dense_line(rng):
    """One line of C or C++ with accented letters, a euro sign and curly quotes."""
    indent = " " * (4 * rng.choice((0, 1, 1, 2)))
    quoted = rng.choice(("“%s”", "‘%s’")) % rng.choice(WORDS_ACCENTED)
    words = (["%d €" % rng.randint(1, 999), quoted]
             + [rng.choice(WORDS_ASCII) for _ in range(rng.randint(0, 1))]
             + [rng.choice(WORDS_ACCENTED) for _ in range(rng.randint(4, 8))])
    rng.shuffle(words)
    text = " ".join(words) + ("…" if rng.random() < 0.5 else "")
    kind = rng.random()
    if kind < 0.4:
        return "%s%s = %s * %d; // %s" % (indent, rng.choice(IDENTS), rng.choice(IDENTS),
                                          rng.randint(1, 99), text)
    if kind < 0.7:
        return '%sputs("%s");' % (indent, text)
    return indent + "// " + text


def make_corpus(rng, size, line=make_line):
    """About `size` bytes of Windows-1252 lines ending in CR LF, and where each line starts."""
    lines, starts, total = [], [], 0
    while total < size:
        text = line(rng).encode("cp1252") + b"\r\n"
        starts.append(total)
        lines.append(text)
        total += len(text)
    return b"".join(lines), starts


def take(corpus, starts, rng, size):
    """`size` bytes or a little more, of whole lines, from a random line of the corpus on."""
    at = starts[rng.randrange(len(starts))]
    out = bytearray()
    while len(out) < size:
        want = size - len(out)
        piece = corpus[at:at + want]
        # Finish the last line.
        if at + want < len(corpus):
            end = corpus.find(b"\n", at + want - 1)
            piece = corpus[at:end + 1] if end >= 0 else corpus[at:]
        out += piece
        at = 0
    return bytes(out)


def non_ascii_share(data):
    """The share of bytes above 0x7F: of characters, since Windows-1252 has one byte each."""
    return len(data.translate(None, bytes(range(0x80)))) / len(data)


def generate(root, scale, tree_only=False):
    """The tree and, unless `tree_only`, the 200 MB files, each in a folder of its own under
    `root`, all sizes times `scale`. `tree_only` is the number of the tree's files."""
    rng = random.Random(SEED)
    corpus, starts = make_corpus(rng, 8 << 20)
    tree_files = max(10, round(TREE_FILES * scale))
    if tree_only:
        tree_files = tree_only
        scale = tree_only / TREE_FILES
    sizes = [rng.lognormvariate(0.0, 1.1) for _ in range(tree_files)]
    sizes_scale = TREE_BYTES * scale / sum(sizes)
    sizes = [max(80, int(s * sizes_scale)) for s in sizes]
    tree = os.path.join(root, "tree")
    modules = ["mod%02d" % m for m in range(25)]
    for i, size in enumerate(sizes):
        folder = os.path.join(tree, rng.choice(modules), "sub%d" % rng.randrange(8))
        if rng.random() < 0.3:
            folder = os.path.join(folder, "impl")
        os.makedirs(folder, exist_ok=True)
        ext = rng.choices(SOURCE_EXTENSIONS, weights=(20, 45, 35))[0]
        with open(os.path.join(folder, "file%05d%s" % (i, ext)), "wb") as f:
            f.write(take(corpus, starts, rng, size))
    print("corpus: %.2f%% of the characters outside ASCII" % (100 * non_ascii_share(corpus)))
    if tree_only:
        return
    big_bytes = int(BIG_BYTES * scale)
    big = take(corpus, starts, rng, big_bytes)
    for name, data in (("big", big), ("oneline", big.translate(ONE_LINE))):
        os.makedirs(os.path.join(root, name))
        with open(os.path.join(root, name, name + ".c"), "wb") as f:
            f.write(data)
    del big
    dense_corpus, dense_starts = make_corpus(rng, 8 << 20, make_dense_line)
    os.makedirs(os.path.join(root, "dense"))
    with open(os.path.join(root, "dense", "dense.c"), "wb") as f:
        f.write(take(dense_corpus, dense_starts, rng, big_bytes))
    print("dense corpus: %.2f%% of the characters outside ASCII"
          % (100 * non_ascii_share(dense_corpus)))


# CR and LF become spaces: the same text and size as one line with no line end.
ONE_LINE = bytes.maketrans(b"\r\n", b"  ")


def lay_out_real_tree(src, dst):
    """Copies the C and C++ sources under src to dst, each non-ASCII one in Windows-1252;
    returns how many were turned and how many left out."""
    turned = left_out = 0
    for folder, dirs, names in os.walk(src):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        for name in sorted(names):
            if name.startswith(".") or os.path.splitext(name)[1].lower() not in SOURCE_EXTENSIONS:
                continue
            path = os.path.join(folder, name)
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            with open(path, "rb") as f:
                data = f.read()
            if not data.isascii():
                try:
                    data = data.decode("utf-8").encode("cp1252")
                    turned += 1
                except (UnicodeDecodeError, UnicodeEncodeError):
                    left_out += 1
                    continue
            out = os.path.join(dst, os.path.relpath(path, src))
            os.makedirs(os.path.dirname(out), exist_ok=True)
            with open(out, "wb") as f:
                f.write(data)
    return turned, left_out


def tree_stats(tree):
    files, total = 0, 0
    for folder, _, names in os.walk(tree):
        for name in names:
            files += 1
            total += os.path.getsize(os.path.join(folder, name))
    return files, total


PYTHON_PEER = r'''
import os, sys
BOM = b"\xef\xbb\xbf"
for folder, dirs, names in os.walk(sys.argv[1]):
    dirs[:] = [d for d in dirs if not d.startswith(".")]
    for name in names:
        if name.startswith(".") or os.path.splitext(name)[1].lower() not in (".c", ".cpp", ".h"):
            continue
        path = os.path.join(folder, name)
        with open(path, "rb") as f:
            data = f.read()
        if data.startswith(BOM):
            continue
        text = data.decode("cp1252")
        os.replace(path, path + ".OLD")
        with open(path, "wb") as f:
            f.write(BOM + text.encode("utf-8"))
'''

FIND_ICONV = (
    "find \"$1\" -type f \\( -name '*.c' -o -name '*.cpp' -o -name '*.h' \\) -exec sh -c "
    "'mv \"$1\" \"$1.OLD\" && { printf \"\\357\\273\\277\"; iconv -f WINDOWS-1252 -t UTF-8 "
    "\"$1.OLD\"; } > \"$1\"' sh {} \\;"
)


def timed(argv, cwd=None):
    """Runs argv; returns (wall seconds, CPU seconds (user + system), peak resident KiB).
    The peak is the one /usr/bin/time reads of its child: the peak that wait4 gives for a
    child of this script counts this script's own, which a child started by vfork or
    posix_spawn shares until it runs the program."""
    with tempfile.NamedTemporaryFile("r") as peak:
        start = time.perf_counter()
        child = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", peak.name] + argv, cwd=cwd,
                                 stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        _, status, usage = os.wait4(child.pid, 0)
        seconds = time.perf_counter() - start
        code = os.waitstatus_to_exitcode(status)
        if code != 0:
            sys.exit("benchmark: %s exited with %d" % (argv[0], code))
        kib = int(peak.read().split()[-1])
    return seconds, usage.ru_utime + usage.ru_stime, kib


def copy(src, dst):
    subprocess.run(["cp", "-a", src, dst], check=True)


def same_trees(a, b):
    """True when both trees hold the same files with the same bytes."""
    for folder, _, names in os.walk(a):
        rel = os.path.relpath(folder, a)
        for name in names:
            other = os.path.join(b, rel, name)
            if not os.path.isfile(other) or not filecmp.cmp(os.path.join(folder, name), other,
                                                            shallow=False):
                print("benchmark: differs: %s" % os.path.join(rel, name))
                return False
    return tree_stats(a)[0] == tree_stats(b)[0]


def build(bin_dir):
    if bin_dir:
        return bin_dir
    out = os.path.join(REPO, "build-bench")
    subprocess.run(["cmake", "-S", REPO, "-B", out, "-DCMAKE_BUILD_TYPE=Release",
                    "-DNIVRA_BUILD_TESTS=OFF", "-DNIVRA_BUILD_BENCHMARKS=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", out, "--target", "nivra-sign", "nivra-unsign"],
                   check=True, stdout=subprocess.DEVNULL)
    return out


def mount_workspace():
    base = tempfile.mkdtemp(prefix="nivra-bench-")
    if os.geteuid() == 0:
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=6g", "tmpfs", base],
                           stderr=subprocess.DEVNULL)
        if r.returncode == 0:
            print("workspace: tmpfs mounted on %s" % base)
            return base, True
    fs = subprocess.run(["df", "-T", base], capture_output=True, text=True).stdout.split("\n")[1]
    print("workspace: NOT a tmpfs (could not mount one); temporary folder %s on %s"
          % (base, fs.split()[1] if fs else "?"))
    return base, False


def summary(values):
    return statistics.median(values), min(values), max(values)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--bin", help="folder holding nivra-sign and nivra-unsign")
    ap.add_argument("--keep", action="store_true", help="keep the workspace")
    ap.add_argument("--scale", type=float, default=1.0,
                    help="multiply every file and tree size (default 1)")
    ap.add_argument("--gb-reps", type=int, default=1, metavar="N",
                    help="run the 1 GB jobs in the first N repetitions only (0: never)")
    ap.add_argument("--iconv-reps", type=int, metavar="N",
                    help="run the find+iconv peer in the first N repetitions only (default: all)")
    ap.add_argument("--syscalls", action="store_true",
                    help="count the system calls per file on a tree of %d files" % SYSCALL_FILES)
    ap.add_argument("--generate", metavar="DIR",
                    help="only generate the files in DIR (used internally)")
    ap.add_argument("--real-tree", default="/usr/share/mingw-w64", metavar="DIR",
                    help="the sources of a real tree to lay out and convert too "
                    "(default: %(default)s)")
    ap.add_argument("--share", action="store_true",
                    help="time %d files through sshfs, with one worker and with the programs' "
                    "choice" % SHARE_FILES)
    ap.add_argument("--tree-only", type=int, default=0, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.generate:
        generate(args.generate, args.scale, args.tree_only)
        return
    if args.reps < 1:
        sys.exit("benchmark: --reps must be at least 1")
    if not 0 < args.scale <= 1:
        sys.exit("benchmark: --scale must be above 0 and at most 1")

    bins = build(args.bin)
    sign_bin = os.path.join(bins, "nivra-sign")
    unsign_bin = os.path.join(bins, "nivra-unsign")
    base, mounted = mount_workspace()
    try:
        if args.syscalls:
            count_syscalls(base, sign_bin, unsign_bin)
        elif args.share:
            share_run(args, base, sign_bin, unsign_bin)
        else:
            run(args, base, sign_bin, unsign_bin)
    finally:
        if not args.keep:
            if mounted:
                subprocess.run(["umount", base])
            else:
                shutil.rmtree(base, ignore_errors=True)
            try:
                os.rmdir(base)
            except OSError:
                pass


def sign_copy(src, dst, sign_bin):
    """Copies the folder src to dst and signs it there with nivra-sign: the input of unsign."""
    copy(src, dst)
    shutil.copy2(sign_bin, dst)
    timed([os.path.join(dst, os.path.basename(sign_bin))])
    os.remove(os.path.join(dst, os.path.basename(sign_bin)))


def write_repeated(src, dst, copies, skip=0):
    """Writes src and then copies - 1 more times src without its first `skip` bytes."""
    with open(dst, "wb") as out:
        for n in range(copies):
            with open(src, "rb") as f:
                if n:
                    f.seek(skip)
                shutil.copyfileobj(f, out, 1 << 20)


def is_utf8_form(source, signed):
    """True when the file `signed` holds the signature and the UTF-8 form of `source`."""
    with open(source, "rb") as a, open(signed, "rb") as b:
        if b.read(3) != b"\xef\xbb\xbf":
            return False
        while True:
            chunk = a.read(1 << 20)
            # One byte per character: any chunk decodes on its own.
            want = chunk.decode("cp1252").encode("utf-8")
            if b.read(len(want)) != want:
                return False
            if not chunk:
                return b.read(1) == b""


def is_repeated(src, path, copies):
    """True when the file at path holds src `copies` times over."""
    with open(path, "rb") as f:
        for _ in range(copies):
            with open(src, "rb") as a:
                while True:
                    chunk = a.read(1 << 20)
                    if f.read(len(chunk)) != chunk:
                        return False
                    if not chunk:
                        break
        return f.read(1) == b""


def run(args, base, sign_bin, unsign_bin):
    t0 = time.perf_counter()
    master = os.path.join(base, "master")
    # Generated in a process of its own, so that this one stays small.
    subprocess.run([sys.executable, os.path.abspath(__file__), "--generate", master,
                    "--scale", str(args.scale)], check=True)
    tree = os.path.join(master, "tree")
    files, total = tree_stats(tree)
    sizes = sorted(os.path.getsize(os.path.join(d, n)) for d, _, ns in os.walk(tree) for n in ns)
    singles = ("big", "dense", "oneline")
    single_file = {k: os.path.join(master, k, k + ".c") for k in singles}
    single_size = {k: os.path.getsize(single_file[k]) for k in singles}
    print("tree: %d files, %d bytes (smallest %d, median %d, largest %d); 200 MB files: %s; "
          "1 GB file: %d bytes; generated in %.1f s"
          % (files, total, sizes[0], sizes[len(sizes) // 2], sizes[-1],
             ", ".join("%s %d bytes" % (k, single_size[k]) for k in singles),
             single_size["big"] * HUGE_COPIES, time.perf_counter() - t0))

    real = None
    if os.path.isdir(args.real_tree):
        real = os.path.join(master, "real")
        turned, left_out = lay_out_real_tree(args.real_tree, real)
        real_files, real_total = tree_stats(real)
        print("real tree: %d sources of %s, %d bytes; %d turned from UTF-8 into Windows-1252, "
              "%d left out" % (real_files, args.real_tree, real_total, turned, left_out))
    else:
        print("real tree: %s is missing (Debian package mingw-w64-common): left out"
              % args.real_tree)

    # The signed forms that unsign starts from, made once by nivra-sign itself.
    signed_tree = os.path.join(master, "tree-signed")
    sign_copy(tree, signed_tree, sign_bin)
    if real:
        signed_real = os.path.join(master, "real-signed")
        sign_copy(real, signed_real, sign_bin)
    signed_dir = {}
    for k in singles:
        signed_dir[k] = os.path.join(master, k + "-signed")
        sign_copy(os.path.dirname(single_file[k]), signed_dir[k], sign_bin)
        ok = is_utf8_form(single_file[k], os.path.join(signed_dir[k], k + ".c"))
        print("check: nivra-sign gives the UTF-8 form of %s.c: %s" % (k, ok))
        if not ok:
            sys.exit(1)
    signed_big_file = os.path.join(signed_dir["big"], "big.c")
    peer = os.path.join(base, "peer.py")
    with open(peer, "w") as f:
        f.write(PYTHON_PEER)

    work = os.path.join(base, "work")

    def fresh(src, program=None):
        shutil.rmtree(work, ignore_errors=True)
        copy(src, work)
        if program:
            shutil.copy2(program, work)
        return work

    def fresh_huge(src, skip, program=None):
        """The 1 GB file, huge.c, written from src alone in a fresh work folder."""
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
        write_repeated(src, os.path.join(work, "huge.c"), HUGE_COPIES, skip)
        if program:
            shutil.copy2(program, work)
        return work

    def program(prog, src):
        return lambda: [os.path.join(fresh(src, prog), os.path.basename(prog))]

    # Each job: (name, prepare() -> argv, what it converts, its largest file in bytes)
    jobs = [
        ("cp -a tree", lambda: (shutil.rmtree(work, ignore_errors=True),
                                ["cp", "-a", tree, work])[1], None, None),
        ("nivra-sign tree", program(sign_bin, tree), "tree", sizes[-1]),
        ("nivra-unsign tree", program(unsign_bin, signed_tree), "tree",
         max(os.path.getsize(os.path.join(d, n)) for d, _, ns in os.walk(signed_tree)
             for n in ns if not n.endswith(".OLD"))),
    ]
    if real:
        jobs += [
            ("cp -a real", lambda: (shutil.rmtree(work, ignore_errors=True),
                                    ["cp", "-a", real, work])[1], None, None),
            ("nivra-sign real", program(sign_bin, real), "real", None),
            ("nivra-unsign real", program(unsign_bin, signed_real), "real", None),
        ]
    jobs += [
        ("cp big", lambda: (fresh(os.path.dirname(single_file["big"])),
                            ["cp", single_file["big"], os.path.join(work, "copy.c")])[1],
         None, None),
    ]
    for k in singles:
        jobs.append(("nivra-sign " + k, program(sign_bin, os.path.dirname(single_file[k])),
                     k, single_size[k]))
        jobs.append(("nivra-unsign " + k, program(unsign_bin, signed_dir[k]),
                     k, os.path.getsize(os.path.join(signed_dir[k], k + ".c"))))
    huge_jobs = [
        ("cp 1 GB", lambda: (fresh_huge(single_file["big"], 0),
                             ["cp", os.path.join(work, "huge.c"),
                              os.path.join(work, "copy.c")])[1], None, None),
        ("nivra-sign 1 GB", lambda: [os.path.join(fresh_huge(single_file["big"], 0, sign_bin),
                                                  "nivra-sign")],
         "huge", single_size["big"] * HUGE_COPIES),
        ("nivra-unsign 1 GB", lambda: [os.path.join(fresh_huge(signed_big_file, 3, unsign_bin),
                                                    "nivra-unsign")],
         "huge", 3 + (os.path.getsize(signed_big_file) - 3) * HUGE_COPIES),
    ]
    if args.gb_reps > 0:
        jobs += huge_jobs
    jobs += [
        ("python peer tree", lambda: [sys.executable, peer, fresh(tree)], None, None),
        ("find+iconv peer tree", lambda: ["sh", "-c", FIND_ICONV, "sh", fresh(tree)], None,
         None),
    ]
    huge_names = {name for name, _, _, _ in huge_jobs}
    seconds = {name: [] for name, _, _, _ in jobs}
    cpu = {name: [] for name, _, _, _ in jobs}
    rss = {name: [] for name, _, _, _ in jobs}
    most_used = 0
    for rep in range(args.reps):
        order = jobs[rep % len(jobs):] + jobs[:rep % len(jobs)]
        for name, prepare, what, _ in order:
            if name in huge_names and rep >= args.gb_reps:
                continue
            if name == "find+iconv peer tree" and args.iconv_reps is not None \
                    and rep >= max(1, args.iconv_reps):
                continue
            argv = prepare()
            s, c, kib = timed(argv)
            fs = os.statvfs(base)
            most_used = max(most_used, (fs.f_blocks - fs.f_bfree) * fs.f_frsize)
            seconds[name].append(s)
            cpu[name].append(c)
            rss[name].append(kib)
            if rep == 0 and name == "nivra-sign tree":
                os.remove(os.path.join(work, "nivra-sign"))
                signed_by_nivra = os.path.join(base, "check-nivra")
                shutil.rmtree(signed_by_nivra, ignore_errors=True)
                os.rename(work, signed_by_nivra)
            if rep == 0 and name == "python peer tree":
                ok = same_trees(work, os.path.join(base, "check-nivra")) if os.path.isdir(
                    os.path.join(base, "check-nivra")) else None
                if ok is not None:
                    print("check: nivra-sign result equals the Python peer's: %s" % ok)
                    if not ok:
                        sys.exit(1)
                    shutil.rmtree(os.path.join(base, "check-nivra"))
            if rep == 0 and name in ("nivra-unsign tree", "nivra-unsign real"):
                os.remove(os.path.join(work, "nivra-unsign"))
                back = os.path.join(work)
                restored = os.path.join(base, "check-unsign")
                shutil.rmtree(restored, ignore_errors=True)
                os.makedirs(restored)
                for folder, _, names in os.walk(back):
                    for n in names:
                        if not n.endswith(".OLD"):
                            rel = os.path.relpath(os.path.join(folder, n), back)
                            os.makedirs(os.path.dirname(os.path.join(restored, rel)), exist_ok=True)
                            os.rename(os.path.join(folder, n), os.path.join(restored, rel))
                ok = same_trees(restored, tree if what == "tree" else real)
                print("check: nivra-unsign gives back the original %s: %s" % (what, ok))
                if not ok:
                    sys.exit(1)
                shutil.rmtree(restored)
            if rep == 0 and name.startswith("nivra-unsign ") and what in singles:
                ok = filecmp.cmp(os.path.join(work, what + ".c"), single_file[what],
                                 shallow=False)
                print("check: nivra-unsign gives back %s.c: %s" % (what, ok))
                if not ok:
                    sys.exit(1)
            if rep == 0 and name == "nivra-unsign 1 GB":
                ok = is_repeated(single_file["big"], os.path.join(work, "huge.c"), HUGE_COPIES)
                print("check: nivra-unsign gives back the 1 GB file: %s" % ok)
                if not ok:
                    sys.exit(1)
        print("repetition %d of %d done" % (rep + 1, args.reps), flush=True)
    shutil.rmtree(work, ignore_errors=True)
    shutil.rmtree(os.path.join(base, "check-nivra"), ignore_errors=True)
    print("workspace: at most %.2f GB in use after a job" % (most_used / 1e9))
    report(jobs, seconds, cpu, rss)


def strace_counts(argv, out):
    """Runs argv under strace -c -f; returns {system call: (calls, errors)}."""
    subprocess.run(["strace", "-c", "-f", "-o", out] + argv, check=True,
                   stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    counts = {}
    with open(out) as f:
        for line in f:
            cols = line.split()
            # Rows: % time, seconds, usecs/call, calls, [errors], name.
            if len(cols) in (5, 6) and cols[3].isdigit() and cols[-1] != "total":
                counts[cols[-1]] = (int(cols[3]), int(cols[4]) if len(cols) == 6 else 0)
    return counts


def count_syscalls(base, sign_bin, unsign_bin):
    """Prints the system calls per file of cp -a, nivra-sign and nivra-unsign on one tree."""
    master = os.path.join(base, "master")
    subprocess.run([sys.executable, os.path.abspath(__file__), "--generate", master,
                    "--tree-only", str(SYSCALL_FILES)], check=True)
    tree = os.path.join(master, "tree")
    files = tree_stats(tree)[0]
    signed_tree = os.path.join(master, "tree-signed")
    sign_copy(tree, signed_tree, sign_bin)
    work = os.path.join(base, "work")
    out = os.path.join(base, "strace.txt")
    runs = {}
    runs["cp -a"] = strace_counts(["cp", "-a", tree, work], out)
    for name, src, prog in (("nivra-sign", tree, sign_bin),
                            ("nivra-unsign", signed_tree, unsign_bin)):
        shutil.rmtree(work)
        copy(src, work)
        shutil.copy2(prog, work)
        runs[name] = strace_counts([os.path.join(work, os.path.basename(prog))], out)
    names = sorted({c for r in runs.values() for c in r},
                   key=lambda c: (-sum(r.get(c, (0, 0))[0] for r in runs.values()), c))
    # Calls made well under once per 20 files are the start-up's: one row for them all.
    rare = [c for c in names if all(r.get(c, (0, 0))[0] < files / 20 for r in runs.values())]
    print("%d files; calls per file (of them failed, in parentheses), whole runs under "
          "strace -c -f, start-up included" % files)
    print()
    print("| system call | %s |" % " | ".join(runs))
    print("| --- |" + " ---: |" * len(runs))

    def cell(calls, errors):
        if not calls:
            return "-"
        return "%.2f" % (calls / files) + (" (%.2f)" % (errors / files) if errors else "")

    def total(r, which):
        return tuple(sum(r.get(c, (0, 0))[i] for c in which) for i in (0, 1))

    for c in names:
        if c not in rare:
            print("| %s | %s |" % (c, " | ".join(cell(*r.get(c, (0, 0))) for r in runs.values())))
    print("| %d others | %s |" % (len(rare), " | ".join(cell(*total(r, rare))
                                                     for r in runs.values())))
    print("| **total** | %s |" % " | ".join(cell(*total(r, names)) for r in runs.values()))
    print("| total calls, whole run | %s |" % " | ".join(str(total(r, names)[0])
                                                       for r in runs.values()))


def share_run(args, base, sign_bin, unsign_bin):
    """Times cp -a, nivra-sign and nivra-unsign through an sshfs mount, the programs with one
    worker and with their own choice."""
    if os.geteuid() != 0:
        sys.exit("benchmark: --share needs root (it starts sshd and mounts sshfs)")
    if not shutil.which("taskset"):
        sys.exit("benchmark: --share needs taskset (Debian package util-linux)")
    master = os.path.join(base, "master")
    subprocess.run([sys.executable, os.path.abspath(__file__), "--generate", master,
                    "--tree-only", str(SHARE_FILES)], check=True)
    tree = os.path.join(master, "tree")
    files, total = tree_stats(tree)
    signed_tree = os.path.join(master, "tree-signed")
    sign_copy(tree, signed_tree, sign_bin)
    state = os.path.join(base, "share")
    up = subprocess.run(["bash", SHARE_SCRIPT, "up", "sshfs", state], capture_output=True,
                        text=True)
    if up.returncode != 0:
        sys.exit("benchmark: share.sh up sshfs: %s%s" % (up.stdout, up.stderr))
    server, view = up.stdout.split()[:2]
    print("share: sshfs of %s on %s (sshd on 127.0.0.1); tree: %d files, %d bytes"
          % (server, view, files, total))
    made = [0]

    def fresh(src, program=None):
        """A copy of src on the server, under a name the client has never looked up."""
        for old in os.listdir(server):
            shutil.rmtree(os.path.join(server, old), ignore_errors=True)
        made[0] += 1
        name = "work%d" % made[0]
        copy(src, os.path.join(server, name))
        if program:
            shutil.copy2(program, os.path.join(server, name))
        return name

    def program(prog, src, one):
        def argv():
            name = fresh(src, prog)
            run = [os.path.join(view, name, os.path.basename(prog))]
            return (["taskset", "-c", "0"] if one else []) + run
        return argv

    jobs = [
        ("cp -a tree", lambda: ["cp", "-a", os.path.join(view, fresh(tree)),
                                os.path.join(view, "copy%d" % made[0])]),
        ("nivra-sign, 1 worker", program(sign_bin, tree, True)),
        ("nivra-sign, own choice", program(sign_bin, tree, False)),
        ("nivra-unsign, 1 worker", program(unsign_bin, signed_tree, True)),
        ("nivra-unsign, own choice", program(unsign_bin, signed_tree, False)),
    ]
    seconds = {name: [] for name, _ in jobs}
    cpu = {name: [] for name, _ in jobs}
    try:
        for rep in range(args.reps):
            order = jobs[rep % len(jobs):] + jobs[:rep % len(jobs)]
            for name, prepare in order:
                argv = prepare()
                s, c, _ = timed(argv)
                seconds[name].append(s)
                cpu[name].append(c)
                if rep == 0 and name.startswith("nivra-"):
                    work = os.path.join(server, "work%d" % made[0])
                    for prog in ("nivra-sign", "nivra-unsign"):
                        if os.path.exists(os.path.join(work, prog)):
                            os.remove(os.path.join(work, prog))
                    if name.startswith("nivra-sign"):
                        ok = same_trees(signed_tree, work)
                    else:
                        back = os.path.join(base, "check-unsign")
                        shutil.rmtree(back, ignore_errors=True)
                        shutil.copytree(work, back, ignore=shutil.ignore_patterns("*.OLD"))
                        ok = same_trees(back, tree)
                        shutil.rmtree(back)
                    print("check: %s through the share gives the local result: %s" % (name, ok))
                    if not ok:
                        sys.exit(1)
            print("repetition %d of %d done" % (rep + 1, args.reps), flush=True)
    finally:
        subprocess.run(["bash", SHARE_SCRIPT, "down", "sshfs", state])
    print()
    print("| job through sshfs | runs | median s | min s | max s | CPU s (median) |")
    print("| --- | ---: | ---: | ---: | ---: | ---: |")
    med = {}
    for name, _ in jobs:
        m, lo, hi = summary(seconds[name])
        med[name] = m
        print("| %s | %d | %.3f | %.3f | %.3f | %.3f |"
              % (name, len(seconds[name]), m, lo, hi, statistics.median(cpu[name])))
    print()
    print("| ratio of medians | wall | target | met |")
    print("| --- | ---: | ---: | :---: |")
    for prog in ("nivra-sign", "nivra-unsign"):
        r = med[prog + ", 1 worker"] / med[prog + ", own choice"]
        print("| %s: 1 worker / own choice | %.2f | >= 3 | %s |" % (prog, r, "yes" if r >= 3 else "no"))
        print("| %s, own choice / cp -a tree | %.2f | - | - |"
              % (prog, med[prog + ", own choice"] / med["cp -a tree"]))


def report(jobs, seconds, cpu, rss):
    """Prints the tables: times, ratios against the targets, memory against its target."""
    print()
    print("| job | runs | median s | min s | max s | CPU s (median) | peak RSS MiB (max) |")
    print("| --- | ---: | ---: | ---: | ---: | ---: | ---: |")
    med, med_cpu = {}, {}
    for name, _, _, _ in jobs:
        m, lo, hi = summary(seconds[name])
        med[name] = m
        med_cpu[name] = statistics.median(cpu[name])
        # Only the programs' own peak counts: the others run through sh, find or Python.
        peak = "%.1f" % (max(rss[name]) / 1024) if name.startswith("nivra") else "-"
        print("| %s | %d | %.3f | %.3f | %.3f | %.3f | %s |"
              % (name, len(seconds[name]), m, lo, hi, med_cpu[name], peak))

    def ratio(a, b, target, met):
        r = med[a] / med[b]
        print("| %s / %s | %.2f | %.2f | %s | %s |"
              % (a, b, r, med_cpu[a] / med_cpu[b], target,
                 "-" if met(r) is None else "yes" if met(r) else "no"))

    print()
    print("| ratio of medians | wall | CPU | target (wall) | met |")
    print("| --- | ---: | ---: | ---: | :---: |")
    ratio("nivra-sign tree", "cp -a tree", "<= 0.6", lambda r: r <= 0.6)
    ratio("nivra-unsign tree", "cp -a tree", "<= 0.8", lambda r: r <= 0.8)
    if "cp -a real" in med:
        ratio("nivra-sign real", "cp -a real", "<= 0.6", lambda r: r <= 0.6)
        ratio("nivra-unsign real", "cp -a real", "<= 0.8", lambda r: r <= 0.8)
    # The dense file has the size of the big one: cp takes the same time for both.
    for k in ("big", "dense"):
        ratio("nivra-sign " + k, "cp big", "<= 1.0", lambda r: r <= 1.0)
        ratio("nivra-unsign " + k, "cp big", "<= 1.3", lambda r: r <= 1.3)
    ratio("nivra-sign oneline", "cp big", "-", lambda r: None)
    ratio("nivra-unsign oneline", "cp big", "-", lambda r: None)
    if "cp 1 GB" in med:
        ratio("nivra-sign 1 GB", "cp 1 GB", "-", lambda r: None)
        ratio("nivra-unsign 1 GB", "cp 1 GB", "-", lambda r: None)
    ratio("python peer tree", "nivra-sign tree", ">= 2.5", lambda r: r >= 2.5)
    ratio("find+iconv peer tree", "nivra-sign tree", "-", lambda r: None)

    print()
    print("| program run | largest file, bytes | peak RSS MiB (max) | target | met |")
    print("| --- | ---: | ---: | ---: | :---: |")
    for name, _, _, largest in jobs:
        if not name.startswith("nivra"):
            continue
        peak = max(rss[name]) / 1024
        print("| %s | %s | %.1f | <= %d MiB | %s |"
              % (name, "-" if largest is None else "{:,}".format(largest), peak,
                 MEMORY_TARGET_MIB, "yes" if peak <= MEMORY_TARGET_MIB else "no"))


if __name__ == "__main__":
    main()
