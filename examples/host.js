#!/usr/bin/env node
// A small host: finds the target's window, plays actions into it, and resumes after
// the foreground guard stops a run.
//
// Usage: host.js TARGET_PID
// The tool is MARNITH_INPUT (default: marnith-input on the PATH).
'use strict';
const { spawn } = require('node:child_process');

const TOOL = process.env.MARNITH_INPUT || 'marnith-input';
// A job that takes longer is ended: SIGTERM first, so a run lets go of every key and
// button it holds, and SIGKILL only if it has not ended a little later.
const TIMEOUT_MS = 120000;
// Stops in a row that played nothing before the host gives up: the target keeps losing
// the front (the user is working elsewhere), and typing on would go to the wrong window.
const GIVE_UP_AFTER = 3;

// Runs one job; resolves to the JSON value it printed, or rejects with its message.
function tool(...args) {
  return new Promise((resolve, reject) => {
    const job = spawn(TOOL, args);
    let out = '';
    let err = '';
    job.stdout.setEncoding('utf8').on('data', (d) => { out += d; });
    job.stderr.setEncoding('utf8').on('data', (d) => { err += d; });
    let kill;
    const term = setTimeout(() => {
      job.kill('SIGTERM');
      kill = setTimeout(() => job.kill('SIGKILL'), 2000);
    }, TIMEOUT_MS);
    job.on('error', reject);
    job.on('close', (status) => {
      clearTimeout(term);
      clearTimeout(kill);
      if (status === 0) resolve(JSON.parse(out));
      else reject(new Error(err.trim() || `exit status ${status}`));
    });
  });
}

// Plays the actions, bringing the target back and going on after each stop.
async function play(actions, target) {
  let idle = 0;
  while (actions.length > 0) {
    const result = await tool('run', JSON.stringify(actions), String(target));
    if (result.ok) return true;
    console.log(`stopped after ${result.done} of ${actions.length}: ${result.error}`);
    idle = result.done === 0 ? idle + 1 : 0;
    if (idle === GIVE_UP_AFTER) {
      console.log(`gave up: ${idle} stops in a row with nothing played`);
      return false;
    }
    // The action at `done` was cut off by the stop; a text action may be partly typed.
    actions = actions.slice(result.done);
    await tool('activate', String(target));
    console.log(`activated ${target}, resuming ${actions.length}`);
  }
  return true;
}

async function main() {
  const target = Number.parseInt(process.argv[2], 10);
  if (!(await tool('trusted')).trusted) {
    await tool('trusted', '--prompt');
    console.error('grant the Accessibility permission, then try again');
    process.exit(1);
  }
  const windows = (await tool('windows')).filter((w) => w.pid === target);
  if (windows.length === 0) {
    console.error('no window of the target on screen');
    process.exit(1);
  }
  const w = windows[0];
  console.log(`window ${w.id}: '${w.title}' at ${w.x},${w.y} ${w.w}x${w.h}`);
  const centre = [w.x + w.w / 2, w.y + w.h / 2];
  if (!(await play([{ click: centre }, { text: 'print(1)' }, { key: 'Return' }], target))) {
    process.exit(1);
  }
  console.log('done');
  try {
    await tool('run', '[{"key":"Banana"}]', String(target));
  } catch (failure) {
    console.log(`refused: ${failure.message}`);
  }
}

main();
