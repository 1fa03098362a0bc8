#!/usr/bin/env python3
"""Lines of tests (harness included) against lines of product code.

Counts non-blank lines that are not only a comment, in tests/ against
server/, client/, common/ and idl/; bench/ is neither. `-v` lists the test
files, largest first.
"""

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SUFFIXES = (".cpp", ".h", ".idl", ".sh", ".py", ".cmake", ".txt")
HASH_COMMENTS = (".sh", ".py", ".cmake", ".txt")


def count(path):
    lines, in_block = 0, False
    for text in path.read_text(errors="replace").splitlines():
        s = text.strip()
        if in_block:
            if "*/" not in s:
                continue
            in_block, s = False, s.split("*/", 1)[1].strip()
        if not s or s.startswith("//") or (s.startswith("#") and path.suffix in HASH_COMMENTS):
            continue
        if s.startswith("/*"):
            in_block = "*/" not in s
            continue
        lines += 1
    return lines


def files(*folders):
    for folder in folders:
        for path in sorted((ROOT / folder).rglob("*")):
            if path.is_file() and (path.suffix in SUFFIXES or path.name == "CMakeLists.txt"):
                yield path


def main():
    tests = {p: count(p) for p in files("tests")}
    code = sum(count(p) for p in files("server", "client", "common", "idl"))
    total = sum(tests.values())
    print(f"tests {total} lines, code {code} lines: {100.0 * total / code:.1f} %")
    if "-v" in sys.argv:
        for path, n in sorted(tests.items(), key=lambda item: -item[1]):
            print(f"{n:6} {path.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
