#!/usr/bin/env python3
"""One table of the medians of Google Benchmark JSON results.

usage: bench_summary.py RESULT.json...

One line per benchmark case: median CPU time per iteration, MB/s, the share
of memcpy over the same bytes measured in the same run, the case's own
figure (time per write, per mount, per NVAR...), and, for the cases the
throughput work set goals for, the goal and whether the median meets it.
Results without repetitions (no median) are taken as they are.
"""

import json
import os
import re
import sys

# (program, case regex, figure, comparison, bound, text)
GOALS = [
    ("bench_afs", r"BM_AfsRead/262144$", "vs_memcpy", ">=", 0.20, ">= 20% of memcpy"),
    ("bench_afs", r"BM_AfsWrite/262144$", "vs_memcpy", ">=", 0.03, ">= 3% of memcpy"),
    ("bench_efs", r"BM_ReadFile(4KiB|ThreeBlocks)$", "vs_memcpy", ">=", 0.20, ">= 20% of memcpy"),
    ("bench_efs", r"BM_WriteFile(4KiB|ThreeBlocks)$", "vs_memcpy", ">=", 0.03, ">= 3% of memcpy"),
    # No slower than main before the throughput work, on the machine of
    # bench/README.md (medians 1.3-1.6 us and 0.43-0.49 ms there).
    ("bench_afs", r"BM_AfsRewrite64Among100Files", "us_per_write", "<=", 1.6, "<= 1.6 us"),
    ("bench_afs", r"BM_AfsMount1000Files", "ms_per_mount", "<=", 0.49, "<= 0.49 ms"),
]

# Figures shown in the last column, with their unit.
FIGURES = [
    ("us_per_write", "us/write", 1.0),
    ("ms_per_mount", "ms/mount", 1.0),
    ("us_per_commit", "us/commit", 1.0),
    ("time_per_nvar", "us/NVAR", 1e6),
    ("calls_per_write", "driver calls/write", 1.0),
]

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load(paths):
    """Rows (program, case, fields) of the medians, in file order."""
    rows = []
    for path in paths:
        program = os.path.splitext(os.path.basename(path))[0]
        with open(path, encoding="utf-8") as f:
            benchmarks = json.load(f).get("benchmarks", [])
        medians = [b for b in benchmarks if b.get("aggregate_name") == "median"]
        chosen = medians or [b for b in benchmarks if b.get("run_type") != "aggregate"]
        for b in chosen:
            rows.append((program, b.get("run_name", b["name"]), b))
    return rows


def format_time(ns):
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


def figure_text(fields):
    parts = []
    for key, unit, scale in FIGURES:
        if key in fields:
            parts.append(f"{fields[key] * scale:.3g} {unit}")
    return ", ".join(parts)


def goal_text(program, case, fields):
    for goal_program, pattern, key, op, bound, text in GOALS:
        if goal_program == program and re.search(pattern, case) and key in fields:
            value = fields[key]
            met = value >= bound if op == ">=" else value <= bound
            return f"{text}: {'met' if met else 'MISSED'}"
    return ""


def flatness_lines(rows):
    """Time per NVAR of the largest image against the smallest (goal: 2x)."""
    per_nvar = {}
    for _, case, fields in rows:
        m = re.match(r"BM_OpenChangeAllCommitClose/(\d+)$", case)
        if m and "time_per_nvar" in fields:
            per_nvar[int(m.group(1))] = fields["time_per_nvar"]
    if len(per_nvar) < 2:
        return []
    small, large = min(per_nvar), max(per_nvar)
    ratio = per_nvar[large] / per_nvar[small]
    verdict = "met" if ratio <= 2.0 else "MISSED"
    return [
        f"open + change every NVAR + commit + close: {1e6 * per_nvar[small]:.2f} us/NVAR "
        f"at {small} NVARs, {1e6 * per_nvar[large]:.2f} us/NVAR at {large}: "
        f"{ratio:.2f}x (goal <= 2x: {verdict})"
    ]


def small_operation_lines(rows):
    """The small AFS operations the throughput work must not slow down."""
    cases = [
        (r"BM_AfsRewrite64Among100Files$", "us_per_write", "64-byte rewrite among 100 files",
         "us"),
        (r"BM_AfsMount1000Files$", "ms_per_mount", "mount of 1000 files", "ms"),
    ]
    lines = []
    for pattern, key, text, unit in cases:
        for program, case, fields in rows:
            if program == "bench_afs" and re.search(pattern, case) and key in fields:
                lines.append(f"AFS {text}: {fields[key]:.3g} {unit}")
    return lines


def floor_lines(rows):
    """The AFS read against its floor: the page CRCs and the copy alone."""
    shares = {}
    for program, case, fields in rows:
        m = re.match(r"BM_AfsRead(Floor)?/(\d+)$", case)
        if program == "bench_afs" and m and "vs_memcpy" in fields:
            shares[(bool(m.group(1)), int(m.group(2)))] = fields["vs_memcpy"]
    lines = []
    for (is_floor, size), floor in sorted(shares.items()):
        read = shares.get((False, size))
        if not is_floor or read is None:
            continue
        verdict = ""
        if size == 262144:
            reach = "within the floor" if floor >= 0.20 else "out of reach with every check kept"
            verdict = f"; 20% is {reach}"
        lines.append(
            f"AFS read of {size} B: {100 * read:.2f}% of memcpy; its floor (every page CRC "
            f"checked and the data copied, nothing else) {100 * floor:.2f}%: "
            f"the read costs {floor / read:.1f}x its floor{verdict}")
    return lines


def write_floor_lines(rows):
    """The AFS write against its floors: its flash driver calls replayed alone."""
    write = None
    floors = {}
    for program, case, fields in rows:
        if program != "bench_afs" or "vs_memcpy" not in fields:
            continue
        if case == "BM_AfsWrite/262144":
            write = fields["vs_memcpy"]
        m = re.match(r"BM_AfsWriteDriverFloor/262144/(\d)$", case)
        if m:
            floors[int(m.group(1))] = fields
    if write is None or not floors:
        return []
    lines = []
    # (mode, what is replayed, what 3% needs when the floor is below it)
    kinds = [(0, "driver calls as they were with every read-back a driver copy", None),
             (2, "driver calls as the write makes them now, alone",
              "out of reach while the write makes these calls"),
             (3, "driver calls now, each program compared with the flash in place",
              "out of reach while every program is made and compared")]
    for mode, what, beyond in kinds:
        fields = floors.get(mode)
        if fields is None:
            continue
        floor = fields["vs_memcpy"]
        line = (f"AFS write of 262144 B: {100 * write:.2f}% of memcpy; floor of its "
                f"{fields.get('calls_per_write', 0):.0f} {what}: {100 * floor:.2f}%: the write "
                f"costs {floor / write:.1f}x this floor")
        if beyond is not None:
            line += "; 3% is " + ("within this floor" if floor >= 0.03 else beyond)
        lines.append(line)
    return lines


def main(paths):
    rows = load(paths)
    if not rows:
        print("no benchmark results")
        return 1
    header = ("case", "time", "MB/s", "vs memcpy", "figure", "goal")
    table = [header]
    for program, case, fields in rows:
        ns = fields["cpu_time"] * UNIT_NS.get(fields.get("time_unit", "ns"), 1.0)
        mbps = f"{fields['MB/s']:.0f}" if "MB/s" in fields else ""
        share = f"{100 * fields['vs_memcpy']:.2f}%" if "vs_memcpy" in fields else ""
        table.append((f"{program}: {case}", format_time(ns), mbps, share,
                      figure_text(fields), goal_text(program, case, fields)))
    widths = [max(len(row[i]) for row in table) for i in range(len(header))]
    print()
    print("Medians of the repetitions, CPU time of the calling thread per iteration.")
    for i, row in enumerate(table):
        line = "  ".join(cell.ljust(widths[j]) if j in (0, 4, 5) else cell.rjust(widths[j])
                         for j, cell in enumerate(row))
        print(line.rstrip())
        if i == 0:
            print("  ".join("-" * w for w in widths))
    extra = (flatness_lines(rows) + small_operation_lines(rows) + floor_lines(rows) +
             write_floor_lines(rows))
    for line in extra:
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
