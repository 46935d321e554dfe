#!/usr/bin/env python3
"""End-to-end benchmark of nivra-sign and nivra-unsign against the I/O floor and two peers.

Usage (from anywhere; run as root to get a tmpfs):

    python3 bench/run.py [--reps 5] [--bin DIR] [--keep]

It builds the two programs in build-bench/ (Release) unless --bin names a folder that
holds them, then generates, always the same way, a tree of 10,000 Windows-1252 sources
(about 120 MB, CR LF lines, about 3% of the characters outside ASCII) and one 200 MB
source. It works on a tmpfs that it mounts itself when it can, else in a temporary folder
(and says so). Each repetition runs every job once, in a rotating order, on a fresh copy:

  cp -a of the tree, nivra-sign on it, nivra-unsign on the signed result,
  cp of the big file, nivra-sign and nivra-unsign on it,
  a one-process Python peer and a find -exec iconv peer doing the sign job on the tree.

It prints median, min and max of each job's wall time, the median of its CPU time (user
plus system: on a busy machine the wall time also counts waiting for a core), the peak
resident memory of the programs, and a Markdown table of the ratios. The first repetition
also checks that the sign result equals the Python peer's, byte for byte, and that unsign
gives back the original tree.
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


def make_corpus(rng, size):
    """About `size` bytes of Windows-1252 lines ending in CR LF, and where each line starts."""
    lines, starts, total = [], [], 0
    while total < size:
        line = make_line(rng).encode("cp1252") + b"\r\n"
        starts.append(total)
        lines.append(line)
        total += len(line)
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


def generate(root):
    rng = random.Random(SEED)
    corpus, starts = make_corpus(rng, 8 << 20)
    sizes = [rng.lognormvariate(0.0, 1.1) for _ in range(TREE_FILES)]
    scale = TREE_BYTES / sum(sizes)
    sizes = [max(80, int(s * scale)) for s in sizes]
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
    big = os.path.join(root, "big")
    os.makedirs(big)
    with open(os.path.join(big, "big.c"), "wb") as f:
        f.write(take(corpus, starts, rng, BIG_BYTES))
    text = corpus.decode("cp1252")
    non_ascii = sum(1 for ch in text if ord(ch) > 0x7F) / len(text)
    print("corpus: %.2f%% of the characters outside ASCII" % (100 * non_ascii))


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
    """Runs argv; returns (wall seconds, CPU seconds (user + system), peak resident KiB),
    the last two of the child and of what it waited for."""
    start = time.perf_counter()
    child = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        sys.exit("benchmark: %s exited with %d" % (argv[0], child.returncode))
    return seconds, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


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
    ap.add_argument("--generate", metavar="DIR",
                    help="only generate the tree and the big file in DIR (used internally)")
    args = ap.parse_args()
    if args.generate:
        generate(args.generate)
        return
    if args.reps < 1:
        sys.exit("benchmark: --reps must be at least 1")

    bins = build(args.bin)
    sign_bin = os.path.join(bins, "nivra-sign")
    unsign_bin = os.path.join(bins, "nivra-unsign")
    base, mounted = mount_workspace()
    try:
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


def run(args, base, sign_bin, unsign_bin):
    t0 = time.perf_counter()
    master = os.path.join(base, "master")
    # Generated in a process of its own: a child forked from a large parent would inherit
    # its resident size, and the peak resident memory of the programs would read too high.
    subprocess.run([sys.executable, os.path.abspath(__file__), "--generate", master], check=True)
    tree, big = os.path.join(master, "tree"), os.path.join(master, "big")
    files, total = tree_stats(tree)
    big_file = os.path.join(big, "big.c")
    big_size = os.path.getsize(big_file)
    sizes = sorted(os.path.getsize(os.path.join(d, n)) for d, _, ns in os.walk(tree) for n in ns)
    print("tree: %d files, %d bytes (smallest %d, median %d, largest %d); big file: %d bytes; "
          "generated in %.1f s"
          % (files, total, sizes[0], sizes[len(sizes) // 2], sizes[-1], big_size,
             time.perf_counter() - t0))

    # The signed forms that unsign starts from, made once by nivra-sign itself.
    signed_tree = os.path.join(master, "tree-signed")
    copy(tree, signed_tree)
    shutil.copy2(sign_bin, signed_tree)
    timed([os.path.join(signed_tree, "nivra-sign")])
    os.remove(os.path.join(signed_tree, "nivra-sign"))
    signed_big = os.path.join(master, "big-signed")
    copy(big, signed_big)
    shutil.copy2(sign_bin, signed_big)
    timed([os.path.join(signed_big, "nivra-sign")])
    os.remove(os.path.join(signed_big, "nivra-sign"))
    signed_big_size = os.path.getsize(os.path.join(signed_big, "big.c"))
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

    # Each job: (name, prepare() -> argv)
    jobs = [
        ("cp -a tree", lambda: (shutil.rmtree(work, ignore_errors=True),
                                ["cp", "-a", tree, work])[1]),
        ("nivra-sign tree", lambda: [os.path.join(fresh(tree, sign_bin), "nivra-sign")]),
        ("nivra-unsign tree", lambda: [os.path.join(fresh(signed_tree, unsign_bin),
                                                    "nivra-unsign")]),
        ("cp big", lambda: (fresh(big), ["cp", big_file, os.path.join(work, "copy.c")])[1]),
        ("nivra-sign big", lambda: [os.path.join(fresh(big, sign_bin), "nivra-sign")]),
        ("nivra-unsign big", lambda: [os.path.join(fresh(signed_big, unsign_bin),
                                                   "nivra-unsign")]),
        ("python peer tree", lambda: [sys.executable, peer, fresh(tree)]),
        ("find+iconv peer tree", lambda: ["sh", "-c", FIND_ICONV, "sh", fresh(tree)]),
    ]
    seconds = {name: [] for name, _ in jobs}
    cpu = {name: [] for name, _ in jobs}
    rss = {name: [] for name, _ in jobs}
    for rep in range(args.reps):
        order = jobs[rep % len(jobs):] + jobs[:rep % len(jobs)]
        for name, prepare in order:
            argv = prepare()
            s, c, kib = timed(argv)
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
            if rep == 0 and name == "nivra-unsign tree":
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
                ok = same_trees(restored, tree)
                print("check: nivra-unsign gives back the original tree: %s" % ok)
                if not ok:
                    sys.exit(1)
                shutil.rmtree(restored)
        print("repetition %d of %d done" % (rep + 1, args.reps), flush=True)
    shutil.rmtree(work, ignore_errors=True)
    shutil.rmtree(os.path.join(base, "check-nivra"), ignore_errors=True)

    print()
    print("| job | median s | min s | max s | CPU s (median) | peak RSS MiB (max) |")
    print("| --- | ---: | ---: | ---: | ---: | ---: |")
    med, med_cpu = {}, {}
    for name, _ in jobs:
        m, lo, hi = summary(seconds[name])
        med[name] = m
        med_cpu[name] = statistics.median(cpu[name])
        # Only the programs' own peak counts: the others run through sh, find or cp.
        peak = "%.1f" % (max(rss[name]) / 1024) if name.startswith("nivra") else "-"
        print("| %s | %.3f | %.3f | %.3f | %.3f | %s |" % (name, m, lo, hi, med_cpu[name], peak))
    rss_sign = max(rss["nivra-sign big"]) * 1024
    rss_unsign = max(rss["nivra-unsign big"]) * 1024

    def row(what, value, target, met, cpu_value=None):
        print("| %s | %.2f | %s | %s | %s |"
              % (what, value, "-" if cpu_value is None else "%.2f" % cpu_value, target,
                 "-" if met is None else "yes" if met else "no"))

    def ratio(a, b, target, met):
        r = med[a] / med[b]
        row("%s / %s" % (a, b), r, target, met(r), med_cpu[a] / med_cpu[b])

    print()
    print("| ratio of medians | wall | CPU | target (wall) | met |")
    print("| --- | ---: | ---: | ---: | :---: |")
    ratio("nivra-sign tree", "cp -a tree", "<= 1.2", lambda r: r <= 1.2)
    ratio("nivra-unsign tree", "cp -a tree", "<= 1.2", lambda r: r <= 1.2)
    ratio("nivra-sign big", "cp big", "<= 1.3", lambda r: r <= 1.3)
    ratio("nivra-unsign big", "cp big", "<= 1.3", lambda r: r <= 1.3)
    ratio("python peer tree", "nivra-sign tree", ">= 3", lambda r: r >= 3)
    ratio("find+iconv peer tree", "nivra-sign tree", "-", lambda r: None)
    r = rss_sign / big_size
    row("nivra-sign peak RSS / big file (%d B)" % big_size, r, "<= 1.3", r <= 1.3)
    r = rss_unsign / signed_big_size
    row("nivra-unsign peak RSS / signed big file (%d B)" % signed_big_size, r, "<= 1.3",
        r <= 1.3)

if __name__ == "__main__":
    main()
