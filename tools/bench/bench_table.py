#!/usr/bin/python3
"""Turns the speed comparison's runs.json into a Markdown table: per client the median time
from start to JSON, the median peak resident set size, and both as ratios to norvel-read.
A client with an invalid run (no JSON, wrong values) is flagged in the table.

usage: bench_table.py RUNS_JSON"""
import json
import statistics
import sys


def main():
    with open(sys.argv[1]) as f:
        runs = json.load(f)
    clients = list(dict.fromkeys(r["client"] for r in runs))
    rows = {}
    for client in clients:
        mine = [r for r in runs if r["client"] == client]
        good = [r for r in mine if r["valid"] and r.get("json_at") is not None]
        rows[client] = {
            "runs": len(mine),
            "valid": len(good),
            "json_s": statistics.median(r["json_at"] for r in good) if good else None,
            "json_range": (min(r["json_at"] for r in good), max(r["json_at"] for r in good))
            if good
            else None,
            "peak_mb": statistics.median(r["peak_kb"] for r in mine if "peak_kb" in r) / 1024,
        }
    base = rows.get("norvel-read")
    print(
        "| client | valid runs | median start to JSON | range | ratio | median peak RSS | ratio |"
    )
    print("|---|---|---|---|---|---|---|")
    for client, row in rows.items():
        if row["json_s"] is None:
            timing = ("no JSON", "-", "-")
        else:
            ratio = row["json_s"] / base["json_s"] if base and base["json_s"] else float("nan")
            timing = ("%.3f s" % row["json_s"], "%.3f-%.3f s" % row["json_range"], "%.1fx" % ratio)
        memory_ratio = row["peak_mb"] / base["peak_mb"] if base else float("nan")
        print(
            "| %s | %d of %d | %s | %s | %s | %.1f MB | %.1fx |"
            % (client, row["valid"], row["runs"], *timing, row["peak_mb"], memory_ratio)
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
