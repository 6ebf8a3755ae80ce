#!/usr/bin/env python3
"""Each class of external linkage is defined in one file only.

Two definitions of one qualified name that reach one program break the
one-definition rule: the linker keeps one copy of each inline member for
both, and code compiled against one class runs the other's. This lists every
class, struct or union defined at namespace scope (or inside such a class)
outside an unnamed namespace, by its qualified name, and prints each name
defined in more than one file. Plug-in fixtures count too: they are read as
parts of the same tree.
"""
import os
import re
import sys

ROOT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")
FOLDERS = ["platform", "engine", "database", "host", "sqllib", "gateway", "server", "snapin", "tools", "bench", "tests"]
SUFFIXES = (".h", ".hpp", ".cpp", ".cc", ".inc")

TOKEN = re.compile(r"[A-Za-z_]\w*|::|\S")
COMMENT_OR_TEXT = re.compile(
    r'//[^\n]*|/\*.*?\*/|R"([^(\s]*)\(.*?\)\1"|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)
DIRECTIVE = re.compile(r"^[ \t]*#(?:[^\n]*\\\n)*[^\n]*", re.M)


def blank(match):
    # Keeps the lines, so that nothing joins across them.
    return "\n" * match.group(0).count("\n") + " "


def tokens(text):
    text = COMMENT_OR_TEXT.sub(blank, text)
    text = DIRECTIVE.sub(blank, text)
    return TOKEN.findall(text)


def definitions(text):
    """Yields the qualified name of every class defined where it has linkage."""
    words = tokens(text)
    # Each open brace: ("namespace", name), ("anonymous",), ("class", name) or ("other",).
    scopes = []
    pending = None  # what the next "{" opens
    i = 0
    while i < len(words):
        word = words[i]
        if word == "namespace":
            j = i + 1
            names = []
            while j < len(words) and words[j] not in ("{", ";", "="):
                if words[j] != "::":
                    names.append(words[j])
                j += 1
            if j < len(words) and words[j] == "{":
                pending = ("namespace", "::".join(n for n in names if n != "inline")) if names else ("anonymous",)
                i = j
                continue
            i = j + 1
            continue
        if word in ("class", "struct", "union") and (i == 0 or words[i - 1] not in ("enum", "<", ",", "(", "friend")):
            j = i + 1
            # Attributes and alignment before the name.
            while j < len(words) and words[j] in ("[", "alignas"):
                depth = 0
                while j < len(words):
                    if words[j] in ("[", "("):
                        depth += 1
                    elif words[j] in ("]", ")"):
                        depth -= 1
                        if depth == 0:
                            j += 1
                            break
                    j += 1
            name = []
            while j < len(words) and (re.match(r"[A-Za-z_]", words[j]) or words[j] == "::"):
                if words[j] == "final":
                    break
                name.append(words[j])
                j += 1
            k = j
            while k < len(words) and words[k] == "final":
                k += 1
            # A definition: the name, then "{" or a base list (":" not "::").
            if name and k < len(words) and words[k] in ("{", ":"):
                if words[k] == ":":
                    depth = 0
                    while k < len(words) and not (words[k] in ("{", ";") and depth == 0):
                        if words[k] in ("<", "("):
                            depth += 1
                        elif words[k] in (">", ")"):
                            depth -= 1
                        k += 1
                if k < len(words) and words[k] == "{":
                    pending = ("class", "".join(name))
                    i = k
                    continue
            i = j
            continue
        if word == "{":
            scopes.append(pending or ("other",))
            if pending and pending[0] == "class":
                if all(s[0] in ("namespace", "class") for s in scopes):
                    yield "::".join(s[1] for s in scopes)
            pending = None
        elif word == "}":
            if scopes:
                scopes.pop()
            pending = None
        elif word == ";":
            pending = None
        i += 1


def main():
    where = {}
    for folder in FOLDERS:
        for directory, _, files in os.walk(os.path.join(ROOT, folder)):
            for name in sorted(files):
                if not name.endswith(SUFFIXES):
                    continue
                path = os.path.join(directory, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    text = f.read()
                for qualified in set(definitions(text)):
                    where.setdefault(qualified, []).append(os.path.relpath(path, ROOT))
    status = 0
    for qualified, files in sorted(where.items()):
        if len(files) > 1:
            print(f"{qualified} is defined in {', '.join(sorted(files))}")
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
