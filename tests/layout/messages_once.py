#!/usr/bin/env python3
"""Each message text of a *Messages.h header is written there only.

The headers name the failure texts that several places show (the file
failures of the xBase code and the SQL store, the network clients' errors,
...). A copy typed again as a literal elsewhere would drift from the named
text without anything noticing; this prints every such copy, and any text two
constants of the headers share. Tests are not read: they spell the texts out
on purpose, to catch a change of the named one.
"""
import os
import re
import sys

ROOT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")
FOLDERS = ["platform", "engine", "database", "host", "sqllib", "gateway", "server", "snapin", "tools"]
SUFFIXES = (".h", ".cpp")

LITERAL = r'"(?:\\.|[^"\\\n])*"'
COMMENT = re.compile(r'//[^\n]*|/\*.*?\*/|(' + LITERAL + ')', re.S)
CONSTANT = re.compile(r'constexpr\s+(?:const\s+)?char\s+(k\w+)\[\]\s*=\s*((?:' + LITERAL + r'\s*)+);')
TEXT = re.compile(LITERAL)


def without_comments(text):
    # Literals are kept as they are; comments become blanks.
    return COMMENT.sub(lambda m: m.group(1) or " ", text)


def sources():
    for folder in FOLDERS:
        for base, _, files in os.walk(os.path.join(ROOT, folder)):
            for name in sorted(files):
                if name.endswith(SUFFIXES):
                    path = os.path.join(base, name)
                    yield os.path.relpath(path, ROOT), path


def main():
    texts = {}  # the literal as written -> "file: name"
    problems = []
    files = list(sources())
    for shown, path in files:
        if not shown.endswith(".h"):
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            code = without_comments(f.read())
        for name, literals in CONSTANT.findall(code):
            parts = TEXT.findall(literals)
            literal = parts[0] if len(parts) == 1 else '"' + "".join(p[1:-1] for p in parts) + '"'
            if literal in texts:
                problems.append(f"{shown}: {name} repeats {texts[literal]}")
            texts[literal] = f"{shown}: {name}"
    if not texts:
        problems.append("no message headers found")
    for shown, path in files:
        with open(path, encoding="utf-8", errors="replace") as f:
            code = without_comments(f.read())
        for number, line in enumerate(code.split("\n"), 1):
            for literal in TEXT.findall(line):
                owner = texts.get(literal)
                if owner and not owner.startswith(shown + ":"):
                    problems.append(f"{shown}:{number}: {literal} is {owner}")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
