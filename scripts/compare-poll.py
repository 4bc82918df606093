#!/usr/bin/env python3
"""Compares two `velkhost poll --json` outputs (one object per cycle) tag by
tag: value, quality, state, and each packet's result must agree; time
stamps and durations may differ. Exit status 0 when they agree and at least
one tag was read."""
import json
import sys


def cycles(path):
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def main(first_path, second_path):
    first, second = cycles(first_path), cycles(second_path)
    problems = []
    if len(first) != len(second) or not first:
        problems.append(f"cycles: {len(first)} against {len(second)}")
    read = compared = 0
    for a, b in zip(first, second):
        c = a.get("cycle")
        ta = {t["name"]: t for t in a["tags"]}
        tb = {t["name"]: t for t in b["tags"]}
        if ta.keys() != tb.keys():
            problems.append(f"cycle {c}: tags differ: {sorted(ta.keys() ^ tb.keys())}")
        for name in sorted(ta.keys() & tb.keys()):
            compared += 1
            for key in ("value", "quality", "good", "state"):
                if ta[name].get(key) != tb[name].get(key):
                    problems.append(f"cycle {c} {name}: {key} {ta[name].get(key)!r} against {tb[name].get(key)!r}")
            read += 1 if ta[name].get("good") else 0
        for pa, pb in zip(a["packets"], b["packets"]):
            if pa.get("result") != pb.get("result"):
                problems.append(f"cycle {c} packet {pa.get('index')}: result {pa.get('result')} against {pb.get('result')}")
    if read == 0:
        problems.append("no tag was read on either side")
    for p in problems:
        print("compare-poll: " + p, file=sys.stderr)
    print(f"compare-poll: {compared} tag readings in {len(first)} cycles, {read} read, "
          f"{'all equal' if not problems else str(len(problems)) + ' differences'}")
    return 0 if not problems else 1


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print("usage: compare-poll.py FIRST.json SECOND.json", file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1], sys.argv[2]))
