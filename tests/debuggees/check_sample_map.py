#!/usr/bin/env python3
"""Checks a sample's map against its debug information: addresses inside some of the sample's
routines must resolve, through "ostrel-cli map", to the source file that defines the routine
as unit, to the symbol that holds them, and to the source line that addr2line gives.

usage: check_sample_map.py EXE MAP PREFIX CLI [CLI ARGS...]
"""
import os
import re
import subprocess
import sys

ROUTINES = ["main", "(anonymous namespace)::recurse(int)",
            "(anonymous namespace)::waitingThread(void*)@4", "(anonymous namespace)::startChild()",
            # defined in a header: its own unit, not the lines of the file that uses it
            "longDebugString[abi:cxx11]()"]


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True, errors="replace").stdout


def unit_name(place):
    """The unit of an addr2line answer "path/file.ext:line": the file name without extension."""
    return os.path.splitext(os.path.basename(place.rpartition(":")[0]))[0]


def main():
    exe, map_path, prefix, *cli = sys.argv[1:]
    symbols = []
    for line in run(prefix + "nm", "-n", "-C", exe).splitlines():
        m = re.match(r"^([0-9a-fA-F]+) [Tt] (.+)$", line)
        if m and not m.group(2).startswith("."):
            symbols.append((int(m.group(1), 16), m.group(2)))
    starts = [(a, n) for a, n in symbols if n in ROUTINES]
    places = run(prefix + "addr2line", "-e", exe, *["%x" % a for a, _ in starts]).splitlines()
    unit_of = {n: unit_name(place) for (_, n), place in zip(starts, places)}
    probes = []  # (address, expected routine)
    for i, (address, name) in enumerate(symbols[:-1]):
        if name in ROUTINES:
            end = next(a for a, _ in symbols[i + 1:] if a > address)
            probes += [(a, name) for a in range(address + 1, end, max(1, (end - address) // 7))]
    # The next symbol may lie far beyond the routine's end: keep the addresses that the
    # debug information places in a source file.
    places = run(prefix + "addr2line", "-e", exe, *["%x" % a for a, _ in probes]).splitlines()
    kept = [(p, place) for p, place in zip(probes, places)
            if re.search(r":\d+( |$)", place) and not place.startswith("??")]
    if not kept:
        sys.exit("no routine of %s found in %s" % (ROUTINES, exe))
    probes, places = [p for p, _ in kept], [place for _, place in kept]
    hexes = ["%08X" % a for a, _ in probes]
    rows = run(*cli, map_path, *hexes).replace("\r", "").splitlines()
    failures, lines_checked = [], 0
    for (address, name), row, place in zip(probes, rows, places):
        cells = row.split("\t")
        own, routine = unit_of[name], name.replace(", ", ",").replace(" ", "_")
        if len(cells) != 4 or cells[1] != own or cells[2] != routine:
            failures.append("%08X: %r, expected %s %s" % (address, row, own, routine))
            continue
        line = place.rpartition(":")[2].split(" ")[0]
        if unit_name(place) == own and line.isdigit():
            lines_checked += 1
            if cells[3] != line:
                failures.append("%08X: line %s, expected %s" % (address, cells[3], line))
    if len(rows) != len(probes):
        failures.append("%d rows for %d addresses" % (len(rows), len(probes)))
    if lines_checked < len(ROUTINES):
        failures.append("only %d lines could be checked" % lines_checked)
    for f in failures:
        print(f)
    print("%d addresses, %d lines checked, %d failures" % (len(probes), lines_checked, len(failures)))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
