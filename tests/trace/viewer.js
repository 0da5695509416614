// Loads a trace file with DevTools' own trace model (SDK.TracingModel, from
// the npm package devtools-timeline-model) the way its Performance panel
// does, and checks what a support engineer would look for there: the
// process, the calls on their threads with their durations, the summary on
// a row of its own. Exits 77 (a skip) when the viewer is not installed.
//
// Each of `dropped=<id>` and `threw=<id>` asks for that event's bar marked
// as such, and `error` for a funnel line's zero-length bar.
//
//   node viewer.js <trace file> <native that must show | dropped=3 | threw=9 | error> ...
'use strict';
const fs = require('fs');
const path = require('path');
const vm = require('vm');

let dir;
try {
  dir = path.dirname(require.resolve('devtools-timeline-model'));
} catch (e) {
  console.log('SKIP: devtools-timeline-model is not installed (scripts/install-deps)');
  process.exit(77);
}
const ctx = vm.createContext({require, global, console, __dirname: dir});
new vm.Script(fs.readFileSync(dir + '/lib/timeline-model.js', 'utf8')).runInContext(ctx);
// The panel's loader closes an array that a killed writer left open.
const text = fs.readFileSync(process.argv[2], 'utf8').trimEnd();
ctx.events = JSON.parse(text.endsWith(']') ? text : text.replace(/,$/, '') + ']');
const model = vm.runInContext(`(() => {
  const m = new SDK.TracingModel(new Bindings.TempFileBackingStorage('trace'));
  m.setEventsForTest(events);
  return m;
})()`, ctx);

function fail(message) {
  console.error('FAIL: ' + message);
  process.exit(1);
}
const processes = model.sortedProcesses();
if (processes.length !== 1 || processes[0].name() !== 'JavaWrapper')
  fail('one process named JavaWrapper expected, got ' + processes.map(p => p.name()));
const threads = processes[0].sortedThreads();
const all = [].concat(...threads.map(t => t.events().map(e => ({thread: t, e}))));
const asked = process.argv.slice(3);
for (const ask of asked.filter(a => a.includes('='))) {
  const [outcome, id] = ask.split('=');
  const mark = outcome === 'dropped' ? 'dropped' : 'handler threw';
  const bars = all.filter(x => x.e.name === `event ${id} (${mark})`);
  if (bars.length !== 1) fail(`no bar "event ${id} (${mark})" (${bars.length})`);
  const e = bars[0].e;
  if (e.phase !== 'X' || !(e.duration >= 0) || e.args.outcome !== mark || !e.args.why)
    fail(`event ${id} is not shown as ${mark} with its reason: ${JSON.stringify(e.args)}`);
}
if (asked.includes('error')) {
  const errors = all.filter(x => x.e.name === 'error');
  if (errors.length === 0) fail('no error bar in the viewer');
  for (const {e} of errors) {
    if (e.phase !== 'X' || e.duration !== 0 || !Number.isFinite(e.startTime) ||
        typeof e.args.message !== 'string' || typeof e.args.where !== 'string')
      fail(`an error is not a zero-length bar with its text: phase ${e.phase}, ` +
           `duration ${e.duration}, args ${JSON.stringify(e.args)}`);
  }
}
for (const name of asked.filter(a => !a.includes('=') && a !== 'error')) {
  const calls = all.filter(x => x.e.name === name && x.e.phase === 'X');
  if (calls.length === 0) fail(`no call of ${name} on any row`);
  for (const {e} of calls) {
    if (!(e.duration >= 0) || !(e.startTime >= 0)) fail(`${name} has no time span`);
    if (typeof e.args.result !== 'number') fail(`${name} has no result`);
  }
}
const summary = all.filter(x => x.e.name === 'summary');
// A metadata event is kept but never drawn: the summary must be an instant
// event, with a place on the timeline.
const Phase = vm.runInContext('SDK.TracingModel.Phase', ctx);
if (summary.length !== 1 || summary[0].thread.name() !== 'trace' ||
    ![Phase.Instant, 'i'].includes(summary[0].e.phase) || !Number.isFinite(summary[0].e.startTime))
  fail('the summary is not shown on the trace row');
if (typeof summary[0].e.args.calls !== 'number') fail('the summary has no call count');
for (const [ask, key] of [['dropped=', 'events_dropped'], ['threw=', 'handler_threw']]) {
  const n = asked.filter(a => a.startsWith(ask)).length;
  if (summary[0].e.args[key] !== n) fail(`the summary's ${key} is ${summary[0].e.args[key]}, not ${n}`);
}
console.log(`${process.argv[2]}: ${threads.length} rows, ${all.length} events in the viewer`);
