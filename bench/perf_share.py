#!/usr/bin/env python3
"""Shares of a perf recording's samples by the system call they fall in.

    perf record -g -e cpu-clock -F 5000 -o run.data -- PROGRAM
    perf script -i run.data | python3 bench/perf_share.py [ROWS]

A sample counts for the outermost system call entry on its stack (__x64_sys_*, __do_sys_*,
ksys_*); one outside any system call counts for the function it is in.
"""

import collections
import re
import sys

ENTRY = re.compile(r"(?:__x64_sys_|__do_sys_|ksys_)(\w+)")


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 16
    shares, total = collections.Counter(), 0
    for sample in sys.stdin.read().split("\n\n"):
        # The first line names the sample; then one frame a line, innermost first:
        # address, symbol+offset, (object).
        frames = [line.split(None, 1) for line in sample.strip().split("\n")[1:]]
        frames = [(f[0], f[1].rsplit(" (", 1)[0].split("+0x")[0]) for f in frames if len(f) == 2]
        if not frames:
            continue
        total += 1
        key = None
        for _, symbol in frames:
            m = ENTRY.match(symbol)
            if m:
                key = m.group(1)
        if key is None:
            address, symbol = frames[0]
            key = ("kernel: " if address.startswith("ffffffff") else "user: ") + symbol
        shares[key] += 1
    print("%d samples" % total)
    for key, n in shares.most_common(rows):
        print("%5.1f%%  %s" % (100 * n / total, key))


if __name__ == "__main__":
    main()
