#!/usr/bin/env node
// A small host: finds the target's window, plays actions into it, and resumes after
// the foreground guard stops a run, exactly where it stopped.
//
// Usage: host.js TARGET_PID [ACTION_LIST_FILE]
// Without a file it clicks into the target's window and types a line. The tool is
// MARNITH_INPUT (default: marnith-input on the PATH); the schemas are looked for in
// MARNITH_SCHEMAS, else ../schemas beside this file, else where the package installs them.
// MARNITH_TIMEOUT (seconds) replaces the limit derived from each list, to try the timeout.
// Node's standard library only, so the file runs as it is, without npm.
'use strict';
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const TOOL = process.env.MARNITH_INPUT || 'marnith-input';
const WINDOWS = process.platform === 'win32';
// Stops in a row that played nothing before the host gives up: the target keeps losing
// the front (the user is working elsewhere), and typing on would go to the wrong window.
const GIVE_UP_AFTER = 3;
// How long a stopped tool gets to let go of what it holds before it is killed.
const GRACE_MS = 2000;
// The exit status of a Windows tool that a line on its standard input stopped.
const STATUS_CONTROL_C_EXIT = 0xc000013a;

// The tool could not be started, failed with its one-line message, or timed out.
class ToolFailed extends Error {}
// The host will not go on; the message says why.
class Refused extends Error {}

// The tools running now, and whether the host itself has been interrupted.
const running = new Set();
let interrupted = false;

// Stops a running tool cleanly, so that everything it holds is released: on Windows a
// line on its standard input, SIGTERM elsewhere. kill() on Windows is TerminateProcess,
// which would leave keys held.
function stopCleanly(job) {
  if (WINDOWS) job.stdin.write('\n');
  else job.kill('SIGTERM');
}

// Runs one job; resolves to the JSON value it printed, or rejects with ToolFailed.
function tool(args, timeout = 10) {
  if (interrupted) return new Promise(() => {}); // the host is on its way out
  return new Promise((resolve, reject) => {
    let job;
    try {
      // On Windows the tool's standard input is a pipe the host keeps open while the
      // tool runs: a line on it is the clean stop. windowsHide: no console window, which
      // would take the foreground and make the guard stop the run.
      job = spawn(TOOL, args, { windowsHide: true, stdio: [WINDOWS ? 'pipe' : 'ignore', 'pipe', 'pipe'] });
    } catch (error) {
      reject(new ToolFailed(`cannot start ${TOOL}: ${error.code}`)); // E2BIG, say
      return;
    }
    if (job.stdin) job.stdin.on('error', () => {}); // the tool may have ended already
    running.add(job);
    let out = '';
    let err = '';
    job.stdout.setEncoding('utf8').on('data', (d) => { out += d; });
    job.stderr.setEncoding('utf8').on('data', (d) => { err += d; });
    let timedOut = false;
    let kill;
    const stop = setTimeout(() => {
      timedOut = true;
      stopCleanly(job);
      kill = setTimeout(() => job.kill('SIGKILL'), GRACE_MS);
    }, timeout * 1000);
    job.on('error', (error) => {
      clearTimeout(stop);
      running.delete(job);
      reject(new ToolFailed(`cannot start ${TOOL}: ${error.code}`));
    });
    job.on('close', (status, signal) => {
      clearTimeout(stop);
      clearTimeout(kill);
      running.delete(job);
      if (job.stdin) job.stdin.end();
      if (interrupted) return; // stopped on the way out: nothing goes on from here
      const limit = `timed out after ${timeout.toFixed(1)} s`;
      if (signal === 'SIGKILL') {
        reject(new ToolFailed(`${limit} and did not stop: killed, keys may be left held`));
      } else if (status === 0) {
        resolve(JSON.parse(out)); // 0 after a timeout: it finished as the limit came
      } else if (timedOut) {
        const clean = signal === 'SIGTERM' || status >>> 0 === STATUS_CONTROL_C_EXIT;
        reject(new ToolFailed(`${limit}: stopped, ${clean ? 'everything it held released' : `exit status ${status}`}`));
      } else {
        reject(new ToolFailed(err.trim() || `exit status ${status ?? signal}`));
      }
    });
  });
}

const isNumber = (v) => typeof v === 'number';
const isPoint = (v) => Array.isArray(v) && v.length >= 2 && v.every(isNumber);
const clampMs = (v, fallback) => (isNumber(v) ? Math.min(Math.max(v, 0), 10000) : fallback);
const isString = (v) => typeof v === 'string';
const compact = (v) => JSON.stringify(v);

// Seconds the tool's own pauses take for these actions, as it selects them.
function timeline(actions) {
  let ms = 0;
  for (const a of actions) {
    ms += 15;
    if (isPoint(a.move)) continue;
    if (isPoint(a.click)) {
      const whole = Number.isInteger(a.count) && a.count > 1 && a.count < 2 ** 63;
      ms += 30 + 60 * (whole ? a.count : 1);
    } else if ('down' in a || 'up' in a || isNumber(a.scroll)) {
      continue;
    } else if (isString(a.key)) {
      ms += clampMs(a.hold, 40);
    } else if (isString(a.keyDown) || isString(a.keyUp)) {
      continue;
    } else if (isString(a.text)) {
      ms += 8 * a.text.length; // UTF-16 code units
    } else if (isNumber(a.wait)) {
      ms += clampMs(a.wait, 0);
    }
  }
  return ms / 1000;
}

// How long a run of these actions may take: its timeline, plus a margin for the
// desktop's own delays (X11 binding spare keycodes, activation).
function limit(actions) {
  const override = process.env.MARNITH_TIMEOUT;
  return override ? Number(override) : timeline(actions) * 1.1 + 5;
}

// Whether a value satisfies a JSON Schema, for the keywords the published action schema
// uses; any other keyword is refused rather than passed over.
function satisfies(value, schema, root) {
  if (typeof schema === 'boolean') return schema;
  const type = (v) => (Array.isArray(v) ? 'array' : v === null ? 'null' : typeof v);
  const known = {
    $schema: () => true, $id: () => true, $defs: () => true, title: () => true, description: () => true,
    $ref: (ref) => satisfies(value, ref.replace(/^#\//, '').split('/').reduce((s, k) => s[k], root), root),
    type: (t) => type(value) === t || (t === 'integer' && Number.isInteger(value)),
    enum: (values) => values.some((v) => compact(v) === compact(value)),
    minItems: (n) => type(value) !== 'array' || value.length >= n,
    items: (s) => type(value) !== 'array' || value.every((v) => satisfies(v, s, root)),
    required: (keys) => type(value) !== 'object' || keys.every((k) => k in value),
    properties: (props) => type(value) !== 'object' ||
      Object.entries(props).every(([k, s]) => !(k in value) || satisfies(value[k], s, root)),
    if: (s) => satisfies(value, satisfies(value, s, root) ? schema.then ?? true : schema.else ?? true, root),
    then: () => true, else: () => true,
  };
  return Object.entries(schema).every(([keyword, argument]) => {
    if (!(keyword in known)) throw new Error(`the schema uses ${keyword}, which this check does not know`);
    return known[keyword](argument);
  });
}

// Why the list is not one the tool plays, or null; checked against the published
// schema, so nothing is typed before a bad action is found.
function schemaProblem(actions) {
  const folders = [process.env.MARNITH_SCHEMAS, path.join(__dirname, '..', 'schemas'),
    '/usr/share/marnith-input/schemas', '/usr/local/share/marnith-input/schemas'];
  const file = folders.filter(Boolean).map((f) => path.join(f, 'actions.schema.json')).find(fs.existsSync);
  if (!file) return 'actions.schema.json not found (set MARNITH_SCHEMAS)';
  const schema = JSON.parse(fs.readFileSync(file, 'utf8'));
  if (!Array.isArray(actions)) return 'the action list is not a JSON array';
  const bad = actions.findIndex((a) => !satisfies([a], schema, schema));
  return bad < 0 ? null : `action ${bad} is not one the tool plays: ${compact(actions[bad])}`;
}

// The length a Windows command line gives an argument, quotes and escapes included.
function quotedLength(arg) {
  if (arg !== '' && !/[\s"]/.test(arg)) return arg.length;
  let n = 2;
  let slashes = 0;
  for (const c of arg) {
    n += c.length;
    if (c === '\\') slashes += 1;
    else { if (c === '"') n += slashes + 1; slashes = 0; }
  }
  return n + slashes;
}

// Why the operating system would refuse this command line, or null.
function argumentProblem(args) {
  const bytes = (s) => Buffer.byteLength(s);
  if (WINDOWS) {
    const units = [TOOL, ...args].reduce((n, a) => n + quotedLength(a) + 1, 0);
    return units > 32767 ? `the command line is ${units} UTF-16 units; Windows takes 32766` : null;
  }
  if (process.platform === 'darwin') {
    let size = [TOOL, ...args].reduce((n, a) => n + bytes(a) + 9, 0);
    for (const [k, v] of Object.entries(process.env)) size += bytes(k) + bytes(v) + 10;
    return size > 1048576 ? `the arguments and environment take ${size} bytes; macOS takes 1048576` : null;
  }
  const size = Math.max(...args.map(bytes));
  return size > 131071 ? `the action list is ${size} bytes; Linux takes 131071 in one argument` : null;
}

const ALIASES = { Shift: 'LeftShift', Control: 'LeftControl', Alt: 'LeftAlt', Meta: 'LeftMeta', Enter: 'Return' };
// One name per physical key: aliases resolved; letters and F1-F12 in any case.
function keyId(name) {
  const n = ALIASES[name] ?? name;
  return n.length === 1 || /^[fF](1[0-2]|[1-9])$/.test(n) ? n.toUpperCase() : n;
}

// What the tool holds after these actions, given what it held before (keys by name,
// buttons; in the order pressed), and the last point an action named.
function heldAfter(actions, held, point) {
  held = [...held];
  for (const a of actions) {
    let item;
    let pressed;
    if (isPoint(a.move) || isPoint(a.click)) {
      point = isPoint(a.move) ? a.move : a.click;
      continue;
    }
    if ('down' in a || 'up' in a) {
      pressed = 'down' in a;
      const at = pressed ? a.down : a.up;
      if (isPoint(at)) point = at;
      item = `button ${a.button === 'right' ? 'right' : 'left'}`;
    } else if (isString(a.key) || isNumber(a.scroll)) {
      continue;
    } else if (isString(a.keyDown) || isString(a.keyUp)) {
      pressed = isString(a.keyDown);
      item = `key ${keyId(pressed ? a.keyDown : a.keyUp)}`;
    } else {
      continue;
    }
    const at = held.indexOf(item);
    if (pressed && at < 0) held.push(item);
    else if (!pressed && at >= 0) held.splice(at, 1);
  }
  return [held, point];
}

// Actions that press again what was held when a run stopped (the tool lets go of
// everything at every ending): buttons where the list last put the pointer.
function pressAgain(held, point) {
  return held.map((item) => {
    const [kind, name] = item.split(' ');
    return kind === 'key' ? { keyDown: name } : { down: point ?? null, button: name };
  });
}

// Plays the actions, bringing the target back and going on after each stop from
// exactly where it stopped: the rest of a partly typed text, with what the rest of the
// list expects to be held pressed again.
async function play(actions, target) {
  let idle = 0;
  let held = [];
  let point;
  while (actions.length > 0) {
    const prefix = pressAgain(held, point);
    const run = [...prefix, ...actions];
    const args = ['run', compact(run), String(target)];
    const problem = argumentProblem(args);
    if (problem) throw new Refused(`not played: ${problem}; split the list`);
    const result = await tool(args, limit(run));
    if (result.ok) return true;
    const done = result.done - prefix.length;
    const typed = result.typed ?? 0;
    console.log(`stopped after ${Math.max(done, 0)} of ${actions.length} actions` +
      (typed ? `, ${typed} UTF-16 units into the next` : '') + `: ${result.error}`);
    if (done >= 0) {
      [held, point] = heldAfter(actions.slice(0, done), held, point);
      actions = actions.slice(done);
      // Resume with the rest of that text; JavaScript strings count UTF-16 units too.
      if (typed) actions = [{ text: actions[0].text.slice(typed) }, ...actions.slice(1)];
    }
    idle = done > 0 || typed ? 0 : idle + 1;
    if (idle === GIVE_UP_AFTER) {
      console.log(`gave up: ${idle} stops in a row with nothing played`);
      return false;
    }
    try {
      await tool(['activate', String(target)]);
    } catch (failure) {
      throw new ToolFailed(`cannot bring ${target} back: ${failure.message}`);
    }
    const again = held.length ? `, pressing again ${pressAgain(held, point).map(compact).join(', ')}` : '';
    console.log(`activated ${target}, resuming ${actions.length}${again}`);
  }
  return true;
}

async function main() {
  const target = Number.parseInt(process.argv[2], 10);
  if (!(await tool(['trusted'])).trusted) {
    if (WINDOWS) { // no permission to grant there: the desktop refuses input for now
      throw new Refused('Windows takes no input from the tool now: the workstation is locked, a UAC ' +
        'prompt is up, or an elevated window is in front (run the host elevated to type into it); try again');
    }
    await tool(['trusted', '--prompt']);
    throw new Refused('grant the Accessibility permission, then try again');
  }
  const windows = (await tool(['windows'])).filter((w) => w.pid === target);
  if (windows.length === 0) throw new Refused('no window of the target on screen');
  const w = windows[0];
  console.log(`window ${w.id}: '${w.title}' at ${w.x},${w.y} ${w.w}x${w.h}`);
  let actions;
  if (process.argv.length > 3) {
    try {
      actions = JSON.parse(fs.readFileSync(process.argv[3], 'utf8'));
    } catch (error) {
      throw new Refused(`cannot read ${process.argv[3]}: ${error.message}`);
    }
  } else {
    actions = [{ click: [w.x + w.w / 2, w.y + w.h / 2] }, { text: 'print(1)' }, { key: 'Return' }];
  }
  const problem = schemaProblem(actions);
  if (problem) throw new Refused(`not played: ${problem}`);
  if (!(await play(actions, target))) {
    process.exitCode = 1;
    return;
  }
  console.log('done');
  // A bad list is refused before anything is played.
  console.log(`refused: ${schemaProblem([{ key: 'Banana' }])}`);
}

// The host itself is interrupted (Ctrl+C, SIGTERM, an exception nothing caught): left
// alone, a running tool would play the rest of its list, and the end of its input does
// not stop it. Each is stopped cleanly and given GRACE_MS to end, then the host exits.
function interrupt(status, message) {
  if (interrupted) return;
  interrupted = true;
  console.error(message);
  const ended = [...running].map((job) => new Promise((resolve) => {
    const kill = setTimeout(() => {
      console.error('marnith-input did not stop: killed, keys may be left held');
      job.kill('SIGKILL');
    }, GRACE_MS);
    job.once('close', () => {
      clearTimeout(kill);
      resolve();
    });
    stopCleanly(job);
  }));
  Promise.all(ended).then(() => process.exit(status));
}
process.on('SIGINT', () => interrupt(130, 'interrupted'));
process.on('SIGTERM', () => interrupt(143, 'interrupted'));
process.on('uncaughtException', (error) => interrupt(1, error));

main().catch((failure) => {
  if (failure instanceof ToolFailed) console.error(`marnith-input: ${failure.message}`);
  else console.error(failure instanceof Refused ? failure.message : failure);
  process.exitCode = 1;
});
