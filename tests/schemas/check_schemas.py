#!/usr/bin/python3
"""Checks the published JSON Schemas against the tool's real behaviour: every run of the
simulated tool the suite makes is recorded (MARNITH_RECORD); each action list the tool
accepted must be valid, each it refused as a list invalid (where it is JSON at all), each
result it printed must match its command's schema, and so must the examples of the README
and the pages in docs/.

Usage: check_schemas.py TEST_BINARY SOURCE_DIR
"""
import glob
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


def refuse(value):
    raise ValueError(value)


def strict_float(text):
    value = float(text)
    return refuse(text) if math.isinf(value) else value  # beyond a double: the tool refuses it


def load(text):
    """The JSON value as the tool would read it, or None where the tool's reader refuses."""
    try:
        value = json.loads(text, parse_constant=refuse, parse_float=strict_float)
        json.dumps(value, ensure_ascii=False).encode("utf-8")  # a lone surrogate raises
        return value
    except (ValueError, UnicodeEncodeError, RecursionError):
        return None


def expect(schema, value, valid, what, category):
    checked[category] += 1
    if schemas[schema].is_valid(value) != valid:
        failures.append(f"{what}: expected {'valid' if valid else 'invalid'}: {json.dumps(value)[:300]}")


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
    if not args or "\ufffd" in "".join(args) or r["status"] == 2:
        continue  # bytes that are not UTF-8 never reach a schema; nor does a bad desktop
    command, what = args[0], "tool " + " ".join(a[:60] for a in args)
    if command in ("trusted", "windows", "activate", "run") and r["status"] == 0:
        for line in r["out"].splitlines():
            expect(command, json.loads(line), True, what, "results")
    actions = load(args[1]) if command == "run" and len(args) > 1 else None
    if actions is None:
        continue
    if r["status"] == 1 and r["err"].startswith(refusals):
        expect("actions", actions, False, what, "refused lists")
    elif r["status"] == 0 or r["signal"] != 0:
        expect("actions", actions, True, what, "accepted lists")

pages = [os.path.join(source, "README.md")] + sorted(glob.glob(os.path.join(source, "docs", "*.md")))
readme = ""
for page in pages:
    with open(page, encoding="utf-8") as f:
        readme += f.read()
# PowerShell's blocks show its own quoting of a list, which is not the list itself.
for language, block in re.findall(r"```([a-z]*)\n(.*?)```", readme, re.S):
    if language == "powershell":
        continue
    for match in re.finditer(r"\brun '(\[.*?\])'", block):
        expect("actions", json.loads(match.group(1)), True, "README list", "readme")
    for line in block.splitlines():
        value = load(line.strip()) if line.strip()[:2] in ('{"', "[{", "[]") else None
        if isinstance(value, dict) and "op" not in value and "version" not in value:
            command = "trusted" if "trusted" in value else "run" if "done" in value else "activate"
            expect(command, value, True, "README result", "readme")
        elif isinstance(value, list) and line.strip() != "[]" and "kCGWindowOwnerPID" not in line:
            expect("windows", value, True, "README result", "readme")

for f in failures:
    print("FAIL", f)
print(", ".join(f"{v} {k}" for k, v in checked.items()))
if any(v == 0 for v in checked.values()):
    print("FAIL nothing checked in some category")
    sys.exit(1)
print(f"{sum(checked.values()) - len(failures)} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
