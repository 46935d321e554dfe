#!/usr/bin/env python3
"""How often text of a double-byte code page is valid UTF-8 too, and how many characters of
three or four bytes its UTF-8 reading then holds; and how often real UTF-8 prose would be
refused by the rule nivra-sign applies (docs/code-pages.md).

Usage: measure-double-byte-utf8.py random COUNT {common|any} [SEED]
       measure-double-byte-utf8.py prose
"""
import glob
import gettext
import random
import sys

CODECS = {936: "gbk", 949: "cp949", 950: "big5", 932: "cp932"}
WIDE_EVIDENCE = 4  # as in src/convert/convert_file.cpp

# (lead bytes, trail bytes) of each code page's common characters, and of all of them.
COMMON = {
    936: (range(0xB0, 0xD8), range(0xA1, 0xFF)),
    949: (range(0xB0, 0xC9), range(0xA1, 0xFF)),
    950: (range(0xA4, 0xC7), [*range(0x40, 0x7F), *range(0xA1, 0xFF)]),
    932: ([0x82, 0x83, *range(0x88, 0x99)], [*range(0x40, 0x7F), *range(0x80, 0xFD)]),
}
ANY = {
    936: (range(0x81, 0xFF), range(0x40, 0xFF)),
    949: (range(0x81, 0xFF), range(0x41, 0xFF)),
    950: (range(0xA1, 0xFA), range(0x40, 0xFF)),
    932: ([*range(0x81, 0xA0), *range(0xE0, 0xF0)], range(0x40, 0xFD)),
}
ASCII = [bytes([c]) for c in range(0x20, 0x7F)]


def character(cp, ranges):
    leads, trails = ranges[cp]
    while True:
        pair = bytes([random.choice(leads), random.choice(trails)])
        try:
            pair.decode(CODECS[cp])
            return pair
        except UnicodeDecodeError:
            pass


def random_file(cp, ranges, gaps):
    """A comment of 1 to 7 characters, each after a number of ASCII characters from `gaps`."""
    text = b"/* "
    for _ in range(random.randint(1, 7)):
        text += b"".join(random.choice(ASCII) for _ in range(random.choice(gaps)))
        text += character(cp, ranges)
    return text + b" */\n"


def wide(text):
    return sum(1 for ch in text if ord(ch) >= 0x800)


def measure_random(count, ranges, gaps):
    for cp in CODECS:
        valid, by_wide = 0, {}
        for _ in range(count):
            try:
                text = random_file(cp, ranges, gaps).decode("utf-8")
            except UnicodeDecodeError:
                continue
            valid += 1
            by_wide[wide(text)] = by_wide.get(wide(text), 0) + 1
        print(f"{cp}: {count} files, {valid} valid UTF-8; by characters of 3 or 4 bytes:",
              sorted(by_wide.items()))


def measure_prose():
    locales = {936: "zh_CN", 949: "ko", 950: "zh_TW", 932: "ja"}
    for cp, locale in locales.items():
        total = refused = 0
        for path in glob.glob(f"/usr/share/locale/{locale}/LC_MESSAGES/*.mo"):
            try:
                with open(path, "rb") as f:
                    catalog = gettext.GNUTranslations(f)._catalog
            except Exception:
                continue
            for message in catalog.values():
                if not isinstance(message, str) or message.isascii():
                    continue
                text = "/* " + message.replace("*/", "") + " */\n"
                total += 1
                try:
                    text.encode("utf-8").decode(CODECS[cp])
                    reads = True
                except UnicodeDecodeError:
                    reads = False
                refused += reads and wide(text) < WIDE_EVIDENCE
        print(f"{cp}: {total} messages, {refused} refused ({100 * refused / max(total, 1):.1f} %)")


if __name__ == "__main__":
    if sys.argv[1:2] == ["prose"]:
        measure_prose()
    else:
        random.seed(int(sys.argv[4]) if len(sys.argv) > 4 else 1)
        # Any characters come side by side more often: a chance to form longer sequences.
        if sys.argv[3] == "common":
            measure_random(int(sys.argv[2]), COMMON, [0, 0, 0, 1, 2, 5])
        else:
            measure_random(int(sys.argv[2]), ANY, [0, 0, 0, 0, 0, 1, 2])
