#!/usr/bin/env python3
"""Every <placeholder> of the manual page source must survive rendering: ronn reads
some (<i>, <b>, <p>, ...) as HTML and drops them without a word."""
import re, subprocess, sys

source = open(sys.argv[1], encoding="utf-8").read()
roff = subprocess.run(["ronn", "--roff", "--pipe", sys.argv[1]], capture_output=True,
                      text=True, check=True).stdout
page = subprocess.run(["man", "-l", "-"], input=roff, capture_output=True, text=True,
                      env={"MANWIDTH": "2000", "PATH": "/usr/bin:/bin"}, check=True).stdout
page = re.sub(r".\x08", "", page)  # overstrike bold and underline
placeholders = set(re.findall(r"<([^<>`\n]+)>", source)) - {"br"}
lost = sorted(p for p in placeholders if not re.search(r"(?<![\w-])" + re.escape(p) + r"(?![\w-])", page))
if lost or '"done":,' in page:
    sys.exit(f"placeholders lost in the rendered page: {lost}")
print(f"{len(placeholders)} placeholders survive rendering")
