#!/usr/bin/env python3
"""Figures of the code's shape at a commit: the tests' share, descriptors closed by hand, EINTR retried at
call sites, and branches on the storage type.

    tools/code-figures.py            the working tree's committed state (HEAD)
    tools/code-figures.py ecbb60f    another commit, for a before-and-after

Lines are non-blank lines of committed files. Tests are tests/; code is the rest, benchmarks and tools
included, fuzz targets in neither. The product's own folders are where the close, EINTR and type counts look.
"""

import re
import subprocess
import sys

PRODUCT = ("daemon", "log", "util", "thread", "ledger", "intake", "copy", "space", "net", "journal", "metrics",
           "status_page", "systemd", "events", "health")
BARE_CLOSE = re.compile(r"(^|[^A-Za-z_:.>])(::)?close\(")
TYPE_BRANCH = re.compile(r"\b(INTERNAL|EXTERNAL|OPTIONAL)\b")


def files(commit):
    listing = subprocess.run(["git", "ls-tree", "-r", "--name-only", commit], capture_output=True, text=True,
                             check=True).stdout
    return listing.split()


def text(commit, path):
    return subprocess.run(["git", "show", f"{commit}:{path}"], capture_output=True, check=True).stdout.decode(
        errors="replace")


def non_blank(lines):
    return sum(1 for line in lines if line.strip())


def main():
    commit = sys.argv[1] if len(sys.argv) > 1 else "HEAD"
    tests = {"cc/h": 0, "cc/h/py": 0}
    code = {"cc/h": 0, "cc/h/py": 0}
    closes = eintr = branches = 0
    for path in files(commit):
        if path.startswith("fuzz/") or not path.endswith((".cc", ".h", ".py")):
            continue
        lines = text(commit, path).splitlines()
        count = non_blank(lines)
        side = tests if path.startswith("tests/") else code
        side["cc/h/py"] += count
        if not path.endswith(".py"):
            side["cc/h"] += count
        if path.split("/")[0] in PRODUCT and not path.endswith(".py"):
            for line in lines:
                code_part = line.split("//")[0]
                closes += bool(BARE_CLOSE.search(code_part))
                eintr += "EINTR" in code_part
                branches += bool(TYPE_BRANCH.search(code_part)) and bool(re.search(r"==|!=|\bcase\b", code_part))
    print(f"figures of {commit}")
    for kind in ("cc/h", "cc/h/py"):
        print(f"  test share ({kind}): {tests[kind]} test lines to {code[kind]} code lines = "
              f"{tests[kind] / code[kind]:.3f}")
    print(f"  bare close() calls in the product: {closes}")
    print(f"  EINTR checks in the product: {eintr}")
    print(f"  branches on the storage type in the product: {branches}")


if __name__ == "__main__":
    main()
