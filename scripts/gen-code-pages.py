#!/usr/bin/env python3
"""Writes src/text/code_page_tables.cpp: the Windows ANSI code pages other than 1252,
compiled into the programs.

The characters come from Python's own codecs; where those differ from what Windows reads
and writes, the rules below say how, and tests/windows/code-pages.sh holds the result to
the Windows conversions themselves, under Wine, for every byte, pair and character.

Usage: scripts/gen-code-pages.py [OUTPUT]   (the tables in the repository: Python 3.11)
"""

import sys
from pathlib import Path

# Windows gives the bytes a single-byte code page leaves undefined (0xA0 and above)
# characters of the private use area, one after another from these. It writes those
# characters but never reads the bytes back: they stay refused.
SINGLE_BYTE_UNREAD_BASE = {874: 0xF8C1, 1253: 0xF8F9, 1255: 0xF88D, 1257: 0xF8FC}
# Characters that Python's older tables lack.
SINGLE_BYTE_EXTRA = {1255: {0xCA: 0x05BA}}

# Single bytes of the double-byte code pages that differ from Python: a character it
# lacks, or a byte Windows writes for a private-use character but refuses to read.
DOUBLE_BYTE_SINGLE = {
    932: {0x80: 0x0080},
    936: {0x80: 0x20AC},
    949: {0x80: 0x0080},
    950: {0x80: 0x0080},
}
DOUBLE_BYTE_UNREAD = {
    932: {0xA0: 0xF8F0, 0xFD: 0xF8F1, 0xFE: 0xF8F2, 0xFF: 0xF8F3},
    936: {0xFF: 0xF8F5},
    949: {0xFF: 0xF8F7},
    950: {0xFF: 0xF8F8},
}

TRAILS = {
    932: [t for t in range(0x40, 0xFD) if t != 0x7F],
    936: [t for t in range(0x40, 0xFF) if t != 0x7F],
    949: list(range(0x41, 0x5B)) + list(range(0x61, 0x7B)) + list(range(0x81, 0xFF)),
    950: list(range(0x40, 0x7F)) + list(range(0xA1, 0xFF)),
}
LEADS = {
    932: list(range(0x81, 0xA0)) + list(range(0xE0, 0xFD)),
    936: list(range(0x81, 0xFF)),
    949: list(range(0x81, 0xFF)),
    950: list(range(0x81, 0xFF)),
}
CODECS = {932: "cp932", 936: "gbk", 949: "cp949", 950: "cp950"}


def rows(leads, trails):
    return [lead << 8 | t for lead in leads for t in trails]


def user_defined_950():
    # Big5's user-defined areas, in the order Windows numbers them; Python reads the
    # last one as the ETEN extensions, Windows as private use.
    t = TRAILS[950]
    return (rows(range(0xFA, 0xFF), t) + rows(range(0x8E, 0xA1), t) + rows(range(0x81, 0x8E), t)
            + rows([0xC6], range(0xA1, 0xFF)) + rows([0xC7, 0xC8], t))


def user_defined_936():
    # GBK's three user-defined areas, then every other pair that GBK leaves undefined and
    # GB18030 (which kept Windows' numbering) defines, in code order.
    areas = (rows(range(0xAA, 0xB0), range(0xA1, 0xFF)) + rows(range(0xF8, 0xFF), range(0xA1, 0xFF))
             + rows(range(0xA1, 0xA8), [t for t in range(0x40, 0xA1) if t != 0x7F]))
    taken = set(areas)
    rest = []
    for pair in rows(range(0x81, 0xFF), TRAILS[936]):
        if pair in taken or decode(pair, "gbk") is not None:
            continue
        if decode(pair, "gb18030") is not None:
            rest.append(pair)
    return areas + rest


USER_DEFINED = {
    932: lambda: [],  # Python already reads F040-F9FC as private use, as Windows does
    936: user_defined_936,
    949: lambda: rows([0xC9, 0xFE], range(0xA1, 0xFF)),
    950: user_defined_950,
}


def decode(code, codec):
    raw = bytes([code]) if code < 0x100 else bytes([code >> 8, code & 0xFF])
    try:
        text = raw.decode(codec)
    except UnicodeDecodeError:
        return None
    return ord(text) if len(text) == 1 else None


def encode(ch, codec):
    try:
        raw = chr(ch).encode(codec)
    except UnicodeEncodeError:
        return None
    return int.from_bytes(raw, "big")


def preferred(cp, ch, codes):
    """The one of `codes` (all read as `ch`) that Windows writes for `ch`."""
    if cp == 932:
        # The NEC-selected IBM rows (lead bytes ED and EE) are read, never written.
        codes = [c for c in codes if c >> 8 not in (0xED, 0xEE)] or codes
    if cp == 950 and ch in (0x2550, 0x255E, 0x2561, 0x256A):
        return max(codes)  # Python writes A2A4-A2A7 for these four; Windows the F9 row
    python = encode(ch, CODECS[cp])
    return python if python in codes else min(codes)


def single_byte(cp):
    high = []
    for b in range(0x80, 0x100):
        ch = SINGLE_BYTE_EXTRA.get(cp, {}).get(b, decode(b, f"cp{cp}"))
        if ch is None and b < 0xA0:
            ch = b  # a C1 control, as in Windows' tables
        high.append(ch)
    unread = []
    base = SINGLE_BYTE_UNREAD_BASE.get(cp)
    if base is not None:
        for i, ch in enumerate(high):
            if ch is None:
                unread.append((base + len(unread), 0x80 + i))
    return high, unread


def double_byte(cp):
    codec = CODECS[cp]
    single = {}
    for b in range(0x100):
        ch = DOUBLE_BYTE_SINGLE[cp].get(b, decode(b, codec))
        if b in DOUBLE_BYTE_UNREAD[cp]:
            ch = None
        single[b] = ch
    pairs = {}
    leads = set()
    for lead in LEADS[cp]:
        for t in TRAILS[cp]:
            ch = decode(lead << 8 | t, codec)
            if ch is not None:
                pairs[lead << 8 | t] = ch
                leads.add(lead)
    for i, pair in enumerate(USER_DEFINED[cp]()):
        pairs[pair] = 0xE000 + i
        leads.add(pair >> 8)
    # Every byte of the lead ranges starts a pair, even one whose pairs stand for nothing.
    leads.update(LEADS[cp])
    for lead in leads:
        single[lead] = "lead"
    readers = {}
    for code, ch in list(single.items()) + list(pairs.items()):
        if ch not in (None, "lead"):
            readers.setdefault(ch, []).append(code)
    unwritten = []
    for ch, codes in readers.items():
        if len(codes) > 1:
            keep = preferred(cp, ch, codes)
            unwritten += [c for c in codes if c != keep]
    unread = sorted((ch, b) for b, ch in DOUBLE_BYTE_UNREAD[cp].items())
    return single, pairs, sorted(leads), sorted(unwritten), unread


def numbers(values, per_line=12):
    out = []
    for i in range(0, len(values), per_line):
        out.append("    " + " ".join(f"0x{v:04X}," for v in values[i:i + per_line]))
    return "\n".join(out)


def main():
    output = Path(sys.argv[1] if len(sys.argv) > 1 else
                  Path(__file__).resolve().parent.parent / "src/text/code_page_tables.cpp")
    out = ["// Generated by scripts/gen-code-pages.py from Python's codecs; do not edit.",
           '#include "text/code_page_tables.h"', "", "#include <iterator>", "",
           "namespace nivra {", "", "namespace {", ""]
    entries = []
    for cp in (874, 1250, 1251, 1253, 1254, 1255, 1256, 1257, 1258):
        high, unread = single_byte(cp)
        values = [0xFFFFFFFF if ch is None else ch for ch in high]
        out.append(f"const SingleByteTable CP{cp} = {{{cp}, {{")
        out.append(numbers(values, 8).replace("0xFFFFFFFF", "NO_CHARACTER"))
        out.append("}};")
        unread_name = "nullptr"
        if unread:
            unread_name = f"CP{cp}_UNREAD"
            out.append(f"const UnreadByte {unread_name}[] = {{")
            out.append("\n".join(f"    {{0x{ch:04X}, 0x{b:02X}}}," for ch, b in unread))
            out.append("};")
        out.append("")
        entries.append(f"    {{{cp}, &CP{cp}, nullptr, {unread_name}, {len(unread)}}},")
    for cp in (932, 936, 949, 950):
        single, pairs, leads, unwritten, unread = double_byte(cp)
        trails = TRAILS[cp]
        first, span = trails[0], trails[-1] - trails[0] + 1
        out.append(f"const char16_t CP{cp}_PAIRS[] = {{")
        cells = []
        for lead in leads:
            for t in range(first, first + span):
                cells.append(pairs.get(lead << 8 | t, 0xFFFF))
        out.append(numbers(cells))
        out.append("};")
        out.append(f"const std::uint16_t CP{cp}_UNWRITTEN[] = {{")
        out.append(numbers(unwritten) if unwritten else "    0,")
        out.append("};")
        out.append(f"const UnreadByte CP{cp}_UNREAD[] = {{")
        out.append("\n".join(f"    {{0x{ch:04X}, 0x{b:02X}}}," for ch, b in unread))
        out.append("};")
        single_values = [0xFFFE if single[b] == "lead" else 0xFFFF if single[b] is None
                         else single[b] for b in range(256)]
        single_text = numbers(single_values, 8).replace("0xFFFE", "LEAD_BYTE").replace("0xFFFF", "NO_UNIT")
        row_of = [0] * 128
        for i, lead in enumerate(leads):
            row_of[lead - 0x80] = i + 1
        out.append(f"const DoubleByteTable CP{cp}_TABLE = {{")
        out.append(f"    {cp},")
        out.append("    {")
        out.append(single_text)
        out.append("    },")
        out.append(f"    0x{first:02X}, {span},")
        out.append("    {")
        out.append("\n".join("    " + " ".join(f"{v}," for v in row_of[i:i + 16])
                              for i in range(0, 128, 16)))
        out.append("    },")
        out.append(f"    CP{cp}_PAIRS,")
        out.append(f"    CP{cp}_UNWRITTEN, {len(unwritten)},")
        out.append("};")
        out.append("")
        entries.append(f"    {{{cp}, nullptr, &CP{cp}_TABLE, CP{cp}_UNREAD, {len(unread)}}},")
    out.append("}  // namespace")
    out.append("")
    out.append("const CodePageTables KNOWN_CODE_PAGES[] = {")
    out += entries
    out.append("};")
    out.append("const std::size_t KNOWN_CODE_PAGE_COUNT = std::size(KNOWN_CODE_PAGES);")
    out.append("")
    out.append("}  // namespace nivra")
    output.write_text("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
