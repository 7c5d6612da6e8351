#!/usr/bin/python3
"""Checks the published JSON Schemas against the tool's real behaviour.

Runs the end-to-end suite with MARNITH_RECORD set, so every invocation it makes of the
simulated tool is recorded, then checks that:
  - every action list the tool accepted (ran, or stopped by its guard) is valid,
  - every action list it refused ("bad actions json", "unknown action ", "unknown key ")
    is invalid, where the list is JSON at all,
  - every result it printed matches the schema of its command,
and that the action lists and results shown in the README match too.

Usage: check_schemas.py TEST_BINARY SOURCE_DIR
"""
import json
import math
import os
import re
import subprocess
import sys
import tempfile

from jsonschema import Draft202012Validator

test_binary, source = sys.argv[1], sys.argv[2]
schemas = {}
for name in ("actions", "trusted", "windows", "activate", "run"):
    with open(os.path.join(source, "schemas", name + ".schema.json"), encoding="utf-8") as f:
        schema = json.load(f)
    Draft202012Validator.check_schema(schema)
    schemas[name] = Draft202012Validator(schema)

failures = []
checked = {"accepted lists": 0, "refused lists": 0, "results": 0, "readme": 0}


class NotToolJson(Exception):
    pass


def reject_constant(name):
    raise NotToolJson(name)


def strict_float(text):
    value = float(text)
    if math.isinf(value):
        raise NotToolJson(text)  # beyond a double: the tool's reader refuses it
    return value


def no_lone_surrogates(value):
    if isinstance(value, str):
        value.encode("utf-8")  # raises on a lone surrogate, which the tool refuses
    elif isinstance(value, list):
        for v in value:
            no_lone_surrogates(v)
    elif isinstance(value, dict):
        for k, v in value.items():
            no_lone_surrogates(k)
            no_lone_surrogates(v)


def load(text):
    """The JSON value as the tool would read it, or None where the tool's reader refuses."""
    try:
        value = json.loads(text, parse_constant=reject_constant, parse_float=strict_float)
        no_lone_surrogates(value)
        return value
    except (ValueError, NotToolJson, UnicodeEncodeError, RecursionError):
        return None


def expect(validator, value, valid, what):
    ok = validator.is_valid(value)
    if ok != valid:
        failures.append(f"{what}: expected {'valid' if valid else 'invalid'}: {json.dumps(value)[:300]}")


def check_result(command, out, what):
    if not out:
        return
    for line in out.splitlines():
        expect(schemas[command], json.loads(line), True, what)
        checked["results"] += 1


with tempfile.TemporaryDirectory() as tmp:
    record = os.path.join(tmp, "record.jsonl")
    env = dict(os.environ, MARNITH_RECORD=record)
    subprocess.run([test_binary, "--gtest_brief=1"], env=env, check=True,
                   stdout=subprocess.DEVNULL)
    with open(record, encoding="utf-8") as f:
        records = [json.loads(line) for line in f]

refusals = ("bad actions json\n", "unknown action ", "unknown key ")
for r in records:
    args = r["args"]
    if not args or "\ufffd" in "".join(args):
        continue  # bytes that are not UTF-8 never reach a schema
    command, what = args[0], "tool " + " ".join(a[:60] for a in args)
    if command in ("trusted", "windows", "activate") and r["status"] == 0:
        check_result(command, r["out"], what)
    if command != "run" or len(args) < 2 or r["status"] == 2:
        continue
    actions = load(args[1])
    refused = r["status"] == 1 and r["err"].startswith(refusals)
    if r["status"] == 0:
        check_result("run", r["out"], what)
    if actions is None:
        continue
    if refused:
        expect(schemas["actions"], actions, False, what)
        checked["refused lists"] += 1
    elif r["status"] == 0 or r["signal"] != 0:
        expect(schemas["actions"], actions, True, what)
        checked["accepted lists"] += 1

with open(os.path.join(source, "README.md"), encoding="utf-8") as f:
    readme = f.read()
for block in re.findall(r"```[a-z]*\n(.*?)```", readme, re.S):
    for match in re.finditer(r"\brun '(\[.*?\])'", block):
        expect(schemas["actions"], json.loads(match.group(1)), True, "README list")
        checked["readme"] += 1
    for line in block.splitlines():
        value = load(line.strip()) if line.strip()[:2] in ('{"', "[{", "[]") else None
        if isinstance(value, dict) and "op" not in value:
            command = "trusted" if "trusted" in value else "run" if "done" in value else "activate"
            expect(schemas[command], value, True, "README result")
            checked["readme"] += 1
        elif isinstance(value, list) and line.strip() != "[]" and "kCGWindowOwnerPID" not in line:
            expect(schemas["windows"], value, True, "README result")
            checked["readme"] += 1

for f in failures:
    print("FAIL", f)
print(", ".join(f"{v} {k}" for k, v in checked.items()))
if any(v == 0 for v in checked.values()):
    print("FAIL nothing checked in some category")
    sys.exit(1)
print(f"{sum(checked.values()) - len(failures)} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
