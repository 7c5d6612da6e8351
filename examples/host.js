#!/usr/bin/env node
// A small host: finds the target's window, plays actions into it, and resumes after
// the foreground guard stops a run.
//
// Usage: host.js TARGET_PID
// The tool is MARNITH_INPUT (default: marnith-input on the PATH).
'use strict';
const { spawnSync } = require('node:child_process');

const TOOL = process.env.MARNITH_INPUT || 'marnith-input';

// Runs one job; returns the JSON value it printed, or throws with its message.
function tool(...args) {
  const done = spawnSync(TOOL, args, { encoding: 'utf8', timeout: 120000 });
  if (done.error) throw done.error;
  if (done.status === 0) return JSON.parse(done.stdout);
  throw new Error(done.stderr.trim() || `exit status ${done.status}`);
}

// Plays the actions, bringing the target back and going on after each stop.
function play(actions, target) {
  while (actions.length > 0) {
    const result = tool('run', JSON.stringify(actions), String(target));
    if (result.ok) return;
    console.log(`stopped after ${result.done} of ${actions.length}: ${result.error}`);
    actions = actions.slice(result.done);
    tool('activate', String(target));
    console.log(`activated ${target}, resuming ${actions.length}`);
  }
}

function main() {
  const target = Number.parseInt(process.argv[2], 10);
  if (!tool('trusted').trusted) {
    tool('trusted', '--prompt');
    console.error('grant the Accessibility permission, then try again');
    process.exit(1);
  }
  const windows = tool('windows').filter((w) => w.pid === target);
  if (windows.length === 0) {
    console.error('no window of the target on screen');
    process.exit(1);
  }
  const w = windows[0];
  console.log(`window ${w.id}: '${w.title}' at ${w.x},${w.y} ${w.w}x${w.h}`);
  const centre = [w.x + w.w / 2, w.y + w.h / 2];
  play([{ click: centre }, { text: 'print(1)' }, { key: 'Return' }], target);
  console.log('done');
  try {
    tool('run', '[{"key":"Banana"}]', String(target));
  } catch (failure) {
    console.log(`refused: ${failure.message}`);
  }
}

main();
