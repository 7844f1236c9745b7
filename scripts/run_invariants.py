#!/usr/bin/env python3
"""What one real-clock run of kestrel-machine must agree with, whatever the host did.

Usage: scripts/run_invariants.py STDERR TRACE TIMELINE REAL_WAV VIRTUAL_WAV

STDERR holds the run's --report line, TRACE its --trace, TIMELINE its --timeline,
REAL_WAV its --dac-wav, VIRTUAL_WAV the same file's line out on the virtual clock.
- machine time never goes back in the trace: what a thread traces comes after
  every device event due by then;
- the report's overruns are the blocks the trace marks as overruns, and the
  timeline's overrun spans;
- every refill slack below 0 belongs to one of those blocks, and the report's
  minimum is the trace's;
- with no overrun, the line out is the virtual clock's, but for the silence
  after the last buffer, which lasts until the player stops the channel.
Prints one line a disagreement and exits 1; prints nothing and exits 0 when all agree.
"""
import json
import re
import sys

err_path, trace_path, timeline_path, real_wav, virtual_wav = sys.argv[1:6]
problems = []

err = open(err_path, encoding="utf-8", errors="replace").read()
report = re.search(r"(\d+) blocks? played, .*?(\d+) overruns?,", err)
if not report:
    sys.exit(f"no report line in {err_path}")
overruns = int(report.group(2))
slack_min = re.search(r"refill slack min (-?\d+)\.(\d+) ms", err)

block, marked, late, slacks, last = 0, set(), set(), [], 0
for number, line in enumerate(open(trace_path, encoding="utf-8", errors="replace"), 1):
    event = json.loads(line)
    name = event["ev"]
    if event["t"] < last:
        problems.append(f"trace line {number}: {name} at {event['t']} us, after {last} us")
    last = max(last, event["t"])
    if name == "block":
        block += 1
    elif name in ("block_end", "channel_stop") and event.get("overrun"):
        marked.add(block)
    elif name == "refill_slack":
        slacks.append(event["slack"])
        if event["slack"] < 0:
            late.add(event["block"])
if len(marked) != overruns:
    problems.append(f"{overruns} overruns reported, {len(marked)} blocks marked in the trace")
for b in sorted(late - marked):
    problems.append(f"block {b} has a slack below 0 and is no overrun")
if slack_min:
    whole, frac = slack_min.groups()
    reported = int(whole) * 1000 + (-1 if whole.startswith("-") else 1) * int(frac)
    if not slacks or min(slacks) != reported:
        problems.append(f"the report's slack minimum {reported} us is not the trace's")

timeline = json.load(open(timeline_path, encoding="utf-8", errors="replace"))
spans = sum(1 for e in timeline if e.get("ph") == "X" and e["name"].startswith("overrun: "))
if spans != overruns:
    problems.append(f"{overruns} overruns reported, {spans} overrun spans in the timeline")


def same_audio(a, b):
    x, y = open(a, "rb").read()[44:], open(b, "rb").read()[44:]
    n = min(len(x), len(y))
    return x[:n] == y[:n] and not any(x[n:]) and not any(y[n:])


if overruns == 0 and not same_audio(real_wav, virtual_wav):
    problems.append("no overrun, and the line out is not the virtual clock's")

for p in problems:
    print(p)
sys.exit(1 if problems else 0)
