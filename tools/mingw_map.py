#!/usr/bin/env python3
"""Writes a detailed map, in the layout of the Delphi linker, for a MinGW-built executable.

usage: mingw_map.py EXE [-o MAP] [--prefix i686-w64-mingw32-]

Units come from the sequences of the DWARF line table, one entry per sequence: a sequence
that holds lines of its compilation unit's own source belongs to that unit; one that holds
none (an inline or template function emitted from a header) belongs to the file of its first
line, so its addresses never take the lines of an unrelated part of the unit. Code without
line information between sequences becomes the unit "rtl". Publics are the code symbols of
the symbol table (demangled, spaces removed since map names hold none). Line numbers are
those of each unit's own source file, gathered from all its sequences in address order.
"""
import argparse
import bisect
import os
import re
import subprocess
import sys


def run(tool, *args):
    return subprocess.run([tool, *args], check=True, capture_output=True, text=True,
                          errors="replace").stdout


def sections(prefix, exe):
    out = []
    for m in re.finditer(r"^\s*\d+\s+(\S+)\s+([0-9a-fA-F]{8})\s+([0-9a-fA-F]{8})\s+[0-9a-fA-F]{8}\s+"
                         r"[0-9a-fA-F]{8}\s+\S+\s*\n\s*(.*)$", run(prefix + "objdump", "-h", exe), re.M):
        name, size, vma, flags = m.group(1), int(m.group(2), 16), int(m.group(3), 16), m.group(4)
        if "ALLOC" not in flags:
            continue  # debug sections
        out.append((name, vma, size, flags))
    return out


def entry_point(prefix, exe):
    m = re.search(r"start address 0x([0-9a-fA-F]+)", run(prefix + "objdump", "-f", exe))
    return int(m.group(1), 16) if m else 0


def line_table(prefix, exe):
    """[(cu_name, [(file, line, address) or (None, None, end_address)])] in output order."""
    text = run(prefix + "objdump", "--dwarf=decodedline", exe).splitlines()
    units = []
    current = None
    for i, line in enumerate(text):
        if line.endswith(":") and not line.startswith(" "):
            if i + 1 < len(text) and text[i + 1].startswith("File name"):
                current = (line[:-1], [])
                units.append(current)
            continue
        if current is None:
            continue
        parts = line.split()
        if len(parts) >= 3 and parts[2].startswith("0x"):
            address = int(parts[2], 16)
            if parts[1] == "-":
                current[1].append((None, None, address))
            elif parts[1].isdigit():
                current[1].append((parts[0], int(parts[1]), address))
    return units


def code_symbols(prefix, exe, text_start, text_end):
    best = {}
    for line in run(prefix + "nm", "-n", "-C", exe).splitlines():
        m = re.match(r"^([0-9a-fA-F]+) ([A-Za-z]) (.+)$", line)
        if not m or m.group(2) not in "Tt":
            continue
        address, kind, name = int(m.group(1), 16), m.group(2), m.group(3)
        if not (text_start <= address < text_end) or name.startswith("."):
            continue
        name = name.replace(", ", ",").replace(" ", "_")
        # One public per address: a global name before a local one.
        if address not in best or (best[address][0] == "t" and kind == "T"):
            best[address] = (kind, name)
    return sorted((a, n) for a, (_, n) in best.items())


def base_name(path):
    # Map columns are separated by spaces, so names hold none.
    return os.path.splitext(os.path.basename(path.replace("\\", "/")))[0].replace(" ", "_")


def build_sequences(cus, text_start, text_end):
    """[(start, end, unit_name, rows)] of the line sequences inside .text, in table order."""
    out = []
    for cu, rows in cus:
        own = base_name(cu)
        seq = []
        for file, line, address in rows:
            if file is not None:
                seq.append((file, line, address))
                continue
            if seq and text_start <= seq[0][2] < address <= text_end:
                has_own = any(base_name(f) == own for f, _, _ in seq)
                out.append((seq[0][2], address, own if has_own else base_name(seq[0][0]), seq))
            seq = []
    return out


def build_units(sequences, text_start, text_end):
    """[(start, end, unit_name)] over .text, sorted, gaps filled with "rtl"."""
    ranges = sorted((start, end, name) for start, end, name, _ in sequences)
    units, at = [], text_start
    for start, end, name in ranges:
        if start < at:
            start = at  # overlapping sequences: keep the first claim
        if start >= end:
            continue
        if start > at:
            units.append((at, start, "rtl"))
        units.append((start, end, name))
        at = end
    if at < text_end:
        units.append((at, text_end, "rtl"))
    return units


def build_line_tables(sequences, units):
    """[(unit_name, source_file, [(address, line)])] in order of first appearance.

    Only lines of the unit's own source, and only at addresses where the unit map gives
    that unit: a lookup finds the line table by unit name, so lines of a sequence that
    lost an overlap to another unit would answer for the wrong code."""
    tables = {}
    for start, end, name, rows in sequences:
        for file, number, address in rows:
            if base_name(file) != name or not start <= address < end:
                continue
            if name not in tables:
                tables[name] = (os.path.basename(file), {})
            tables[name][1][address] = number  # the last row at an address is the statement there
    claimed = [(s, e) for s, e, n in units]
    names = [n for s, e, n in units]
    starts = [s for s, e in claimed]
    out = []
    for name, (source, pairs) in tables.items():
        kept = {}
        for address in sorted(pairs):
            i = bisect.bisect_right(starts, address) - 1
            if i >= 0 and claimed[i][0] <= address < claimed[i][1] and names[i] == name:
                kept[address] = pairs[address]
        # The last entry of a table covers nothing, so each range of the unit ends with a
        # copy of its last line: the code after that line's start keeps it up to the end.
        ends = {}
        for (start, end), unit in zip(claimed, names):
            if unit != name:
                continue
            inside = [a for a in kept if start <= a < end]
            if inside and end not in kept:
                ends[end] = kept[max(inside)]
        kept.update(ends)
        if kept:
            out.append((name, source, sorted(kept.items())))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("exe")
    parser.add_argument("-o", "--output")
    parser.add_argument("--prefix", default="i686-w64-mingw32-")
    args = parser.parse_args()
    out_path = args.output or os.path.splitext(args.exe)[0] + ".map"

    secs = sections(args.prefix, args.exe)
    text = next((s for s in secs if s[0] == ".text"), None)
    if text is None:
        sys.exit("mingw_map: no .text section in " + args.exe)
    text_start, text_end = text[1], text[1] + text[2]
    cus = line_table(args.prefix, args.exe)
    sequences = build_sequences(cus, text_start, text_end)
    units = build_units(sequences, text_start, text_end)
    publics = code_symbols(args.prefix, args.exe, text_start, text_end)

    lines = ["", " Start         Length     Name                   Class"]
    for number, (name, vma, size, flags) in enumerate(secs, 1):
        kind = "CODE" if "CODE" in flags else ("BSS" if "LOAD" not in flags else "DATA")
        lines.append(" %04X:%08X %08XH %-23s %s" % (number, 0, size, name, kind))
    lines += ["", "", "Detailed map of segments", ""]
    for start, end, name in units:
        lines.append(" 0001:%08X %08X C=CODE     S=.text    G=(none)   M=%-8s ACBP=A9"
                     % (start - text_start, end - start, name))
    for title, order in (("Publics by Name", sorted(publics, key=lambda p: p[1])),
                         ("Publics by Value", publics)):
        lines += ["", "", "  Address         " + title, ""]
        lines += [" 0001:%08X       %s" % (address - text_start, name) for address, name in order]
    lines += ["", ""]
    for name, source, entries in build_line_tables(sequences, units):
        lines += ["Line numbers for %s(%s) segment .text" % (name, source), ""]
        for i in range(0, len(entries), 4):
            lines.append("".join("%6d 0001:%08X" % (n, a - text_start) for a, n in entries[i:i + 4]))
        lines.append("")
    lines += ["Bound resource files", "", "", "",
              "Program entry point at 0001:%08X" % (entry_point(args.prefix, args.exe) - text_start)]
    with open(out_path, "w", newline="\r\n", encoding="latin-1", errors="replace") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
