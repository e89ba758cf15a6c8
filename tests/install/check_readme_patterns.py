#!/usr/bin/env python3
"""The README's table of update-file names against the code: every file-name
pattern the connections use (literal, or a family's name with its class's
suffixes, as the factory passes it) is in the table, and the table names no
other. usage: check_readme_patterns.py SOURCE_DIR"""
import pathlib
import re
import sys

src = pathlib.Path(sys.argv[1])
code = set()
for f in sorted((src / "src/device").glob("*.cpp")):
    for p in re.findall(r'L"([A-Za-z0-9_]+_\*[A-Za-z0-9_.]*)"', f.read_text()):
        code.add(p)
# A family's name joined with the suffixes its class adds (Quarv3: firmware and
# booter; Quarv4: firmware, its booter being a literal).
factory = (src / "src/device/connection_strumento_factory.cpp").read_text()
for kind, family in re.findall(r'make_unique<CConnectionStrumentoTipoQuarv([34])(?:vecchio)?>\(L"(\w+)"', factory):
    code.add(family + "_*_fw.mhx")
    if kind == "3":
        code.add("Booter_" + family + "_*.mhx")

readme = (src / "README.md").read_text()
table = readme[readme.index("| Unit | Firmware"):]
table = table[: table.index("\n\n")]
documented = set(re.findall(r"`([^`]*\*[^`]*)`", table))

missing, extra = sorted(code - documented), sorted(documented - code)
for p in missing:
    print("FAIL: the README's table lacks", p)
for p in extra:
    print("FAIL: the README's table names", p, "which no connection uses")
if missing or extra:
    sys.exit(1)
print(f"README: the {len(code)} file-name patterns of the code, no other")
