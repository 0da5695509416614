#!/usr/bin/env python3
"""Checks a trace file against what the session that wrote it did.

  check_trace.py <trace file> <expect.json>
  check_trace.py <trace file> --killed   (a writer killed mid-burst)

expect.json (written by the session's driver):
  secrets       texts that must not appear in any form
  calls         {native: how many calls}
  args          {native: the exact args of its first call}
  events        {id: how many delivered (messageReceived returned)}
  dropped       {id: text of why}  events Java never got, one each, marked so
  threw         {id: text of why}  events whose handler threw, one each
  errors        texts each in the message of one funnel line's error bar
  gap           [first native, second native, least µs between them,
                 most µs from the first's start to the second's end]
  thread_names  names that must label the rows of the calls (Java only)
  declarations  ClientAPI.java: every call must be named as one of its
                natives, with each scalar parameter (and each String[]'s
                length) in its args under the Java parameter's name
  values        {native: [Java's argument or null, by position]}: each
                number and boolean must be recorded as Java passed it
Every line must parse on its own (a killed writer leaves whole lines only).
"""
import json
import sys

path = sys.argv[1]
killed = sys.argv[2] == "--killed"
expect = {} if killed else json.load(open(sys.argv[2]))
raw = open(path, "rb").read()

for secret in expect.get("secrets", []):
    b = secret.encode()
    forms = {b, b.hex().encode(), b.hex().upper().encode(),
             json.dumps(secret, ensure_ascii=True).encode()[1:-1],
             "".join("\\u%04x" % c for c in b).encode()}
    for form in forms:
        assert form not in raw, f"secret {secret!r} in the trace as {form!r}"

lines = raw.decode("ascii").split("\n")
assert lines[0] == "[", "the file does not open the JSON array"
events = []
for n, line in enumerate(lines[1:], 2):
    text = line.strip()
    if text in ("", "]"):
        continue
    events.append(json.loads(text.rstrip(",")))  # raises naming the bad line
if killed:
    calls = [e for e in events if e.get("cat") == "native"]
    assert calls, "no call written before the kill"
    assert not raw.endswith(b"]\n"), "the writer was not killed mid-trace"
    print(f"{path}: {len(events)} whole events before the kill")
    sys.exit(0)
summary = [e for e in events if e["name"] == "summary"]
assert len(summary) == 1 and summary[0]["ph"] == "i", f"no summary on the timeline: {summary}"
s, end = summary[0]["args"], summary[0]["ts"]
for e in events:  # the natives' statistics that did not fit the summary's line
    if e["name"] == "summary (continued)":
        s["natives"].update(e["args"]["natives"])

calls = [e for e in events if e.get("cat") == "native" and e["ph"] == "X"]
for e in calls + [e for e in events if e.get("cat") == "event" and e["ph"] == "X"]:
    assert 0 <= e["ts"] and e["ts"] + e["dur"] <= end, f"outside the trace's time: {e}"
by_name = {}
for e in calls:
    by_name.setdefault(e["name"], []).append(e)
for name, count in expect.get("calls", {}).items():
    assert len(by_name.get(name, [])) == count, (name, len(by_name.get(name, [])), count)
assert s["calls"] == len(calls) == sum(expect["calls"].values()), (s["calls"], len(calls))
assert s["records_dropped"] == 0, s["records_dropped"]
for name, args in expect.get("args", {}).items():
    got = by_name[name][0]["args"]
    assert got == args, f"{name}: {got} != {args}"
if "declarations" in expect:
    import re
    java = re.sub(r"\s+", " ", open(expect["declarations"]).read())
    declared = {}
    for name, params in re.findall(r"native [\w\[\]]+ (\w+) ?\(([^)]*)\)", java):
        declared[name] = [tuple(p.strip().rsplit(" ", 1)) for p in params.split(",") if p.strip()]
    assert len(declared) > 100, f"only {len(declared)} natives read from {expect['declarations']}"
    scalars = {"String", "int", "byte", "boolean", "double", "long", "short", "char", "float"}
    # A call's arguments past one line's length continue on instants of its own.
    more = {}
    for e in events:
        if e["name"].endswith(" (arguments continued)"):
            more.setdefault((e["name"][:-22], e["tid"], e["ts"]), {}).update(e["args"])
    for name, made in by_name.items():
        assert name in declared, f"a call traced as {name!r}: ClientAPI declares no such native"
        args = dict(made[0]["args"], **more.get((name, made[0]["tid"], made[0]["ts"]), {}))
        for i, (jtype, jname) in enumerate(declared[name]):
            key = jname + ".length" if jtype == "String[]" else jname
            if jtype in scalars or jtype == "String[]":
                assert key in args, f"{name}: {key} ({jtype}) not recorded: {list(args)}"
            given = expect.get("values", {}).get(name, [None] * (i + 1))[i]
            got = args.get(key)
            if given is not None and not isinstance(got, dict):  # a dict: a secret's length
                assert got == given, f"{name}: {key} recorded as {got!r}, Java gave {given!r}"
for name, count in expect.get("calls", {}).items():
    stats = s["natives"][name]
    assert stats["calls"] == count and stats["max_us"] >= max(e["dur"] for e in by_name[name]) - 0.001

bars = [e for e in events if e.get("cat") == "event" and e["ph"] == "X"]
delivered = [e for e in bars if "outcome" not in e["args"]]
for key, outcome, mark in (("dropped", "dropped", "(dropped)"),
                           ("threw", "handler threw", "(handler threw)")):
    marked = [e for e in bars if e["args"].get("outcome") == outcome]
    want = expect.get(key, {})
    assert sorted(str(e["args"]["id"]) for e in marked) == sorted(want), (key, marked)
    for e in marked:
        assert e["name"] == f"event {e['args']['id']} {mark}", e
        assert want[str(e["args"]["id"])] in e["args"]["why"], (want, e)
summary_keys = {"dropped": "events_dropped", "threw": "handler_threw"}
for key, name in summary_keys.items():
    assert s[name] == len(expect.get(key, {})), (name, s[name], expect.get(key))
errors = [e for e in events if e["name"] == "error"]
for e in errors:
    assert e["ph"] == "X" and e["dur"] == 0 and e["cat"] == "funnel", f"not a zero-length bar: {e}"
for text in expect.get("errors", []):
    assert sum(text in e["args"]["message"] for e in errors) == 1, (text, errors)
wanted = {str(k): v for k, v in expect.get("events", {}).items()}
got = {}
for e in delivered:
    got[str(e["args"]["id"])] = got.get(str(e["args"]["id"]), 0) + 1
    assert e["args"]["producer_tid"] != e["tid"], "an event produced on the pump's own thread"
    assert e["args"]["queue_wait_us"] <= end
for k, v in wanted.items():
    assert got.get(k) == v and s["events"].get(k) == v, (k, got.get(k), s["events"].get(k), v)
assert s["deliveries"] == len(delivered), (s["deliveries"], len(delivered))

if "gap" in expect:
    a, b, least, most = expect["gap"]
    first, second = by_name[a][0], by_name[b][-1]
    between = second["ts"] - (first["ts"] + first["dur"])
    whole = second["ts"] + second["dur"] - first["ts"]
    assert least <= between and whole <= most, (least, between, whole, most)

rows = {e["tid"] for e in calls + delivered}
names = {e["args"]["name"] for e in events if e["name"] == "thread_name" and e["tid"] in rows}
for name in expect.get("thread_names", []):
    assert name in names, f"no thread_name {name!r} for the calls' rows: {names}"
start = [e for e in events if e["name"] == "trace start"]
assert len(start) == 1 and start[0]["args"]["utc"].endswith("Z"), start
print(f"{path}: {len(calls)} calls, {len(delivered)} events, as the session did")
