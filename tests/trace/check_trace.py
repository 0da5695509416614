#!/usr/bin/env python3
"""Checks a trace file the way a viewer reads it: valid JSON in the Trace
Event Format, each native call with its result code, each delivered event
with its id and queue wait, the summary, and no secret anywhere.

  check_trace.py <trace file> <secret that must not appear> [native ...]
"""
import json
import sys

path, secret, natives = sys.argv[1], sys.argv[2], sys.argv[3:]
raw = open(path, "rb").read()
assert secret.encode() not in raw, "a secret reached the trace"
events = json.loads(raw)  # the whole file parses
assert isinstance(events, list) and events, "not a JSON array of events"
calls = [e for e in events if e.get("cat") == "native"]
for e in calls:
    assert e["ph"] == "X" and "ts" in e and "dur" in e and "tid" in e, e
    assert isinstance(e["args"]["result"], int), e
names = {e["name"] for e in calls}
for n in natives:
    assert n in names, f"no call of {n} in the trace"
assert any(e["args"]["result"] != 0 for e in calls), "no failing call recorded"
delivered = [e for e in events if e.get("cat") == "event"]
assert delivered, "no delivered event"
for e in delivered:
    a = e["args"]
    assert isinstance(a["id"], int) and a["queue_wait_us"] >= 0 and "producer_tid" in a, e
summary = [e for e in events if e.get("name") == "summary"]
assert len(summary) == 1, "no summary"
s = summary[0]["args"]
assert s["calls"] == len(calls), (s["calls"], len(calls))
assert sum(s["events"].values()) == len(delivered)
print(f"{path}: {len(calls)} calls, {len(delivered)} events, summary ok")
