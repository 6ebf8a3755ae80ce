#!/usr/bin/python3
"""The sources of the libraries, tools and servers (not the tests, not the
benchmarks) checked by clang as this build compiles them with its own
compiler: clang++ -fsyntax-only with the same defines, include folders and
warnings, and no warning allowed. Code that only g++ takes fails here rather
than in a later `make clang` or `make fuzz`.

A source that passed is checked again only when it, a file it includes (as
the build's dependency file lists them), its flags or clang changed: the
first run checks every source, later ones what changed since.

Usage: clang_syntax.py BUILD_DIR SOURCE_DIR [JOBS]
Exit status 0 clean, 1 an error or warning, 77 no clang++ (`make test`
installs it)."""

import hashlib
import json
import os
import shlex
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

# What g++ takes and clang does not, or what only changes the code made.
DROPPED_PREFIXES = ("-fsanitize", "-fno-sanitize", "-mtls-dialect=", "-Wno-restrict", "-MD", "-MF", "-MT", "-MQ",
                    "-g", "-O", "-fPIC", "-fPIE", "-fvisibility", "-fno-omit-frame-pointer")


def flags_of(entry):
    """The flags that matter to a syntax check, without the source file."""
    words = shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])
    # The compiler may follow a launcher (ccache).
    while words and not words[0].endswith(("c++", "g++", "clang++")):
        words.pop(0)
    out = []
    skip = False
    for word in words[1:]:
        if skip:
            skip = False
        elif word in ("-o", "-MF", "-MT", "-MQ"):
            skip = True
        elif word == "-c" or word.startswith(DROPPED_PREFIXES) or word == entry["file"]:
            continue
        else:
            out.append(word)
    return tuple(out)


def output_of(entry):
    words = shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])
    return words[words.index("-o") + 1] if "-o" in words[:-1] else None


def fingerprint(entry, flags, clang_version):
    """What the check of a source depends on, or None when unknown."""
    output = output_of(entry)
    if not output:
        return None
    try:
        text = open(os.path.join(entry["directory"], output + ".d")).read()
    except OSError:
        return None
    files = text.replace("\\\n", " ").split(":", 1)[-1].split()
    parts = [clang_version, " ".join(flags)]
    for name in sorted(set(files) | {entry["file"]}):
        try:
            info = os.stat(os.path.join(entry["directory"], name))
        except OSError:
            return None
        parts.append(f"{name} {info.st_size} {info.st_mtime_ns}")
    return hashlib.sha256("\n".join(parts).encode()).hexdigest()


def main():
    build, source = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    jobs = int(sys.argv[3]) if len(sys.argv) > 3 else 4
    clang = shutil.which("clang++")
    if not clang:
        print("clang++ is not installed (make test installs it)")
        return 77
    entries = json.load(open(os.path.join(build, "compile_commands.json")))
    checked = []
    for entry in entries:
        path = os.path.relpath(os.path.join(entry["directory"], entry["file"]), source)
        if path.startswith(("..", "tests/", "bench/", "build/")) or not path.endswith(".cpp"):
            continue
        checked.append((path, entry))
    if not checked:
        print("no sources in " + build + "/compile_commands.json")
        return 1

    version = subprocess.run([clang, "--version"], capture_output=True, text=True).stdout
    record = os.path.join(build, "ClangSyntax.passed")
    try:
        passed = json.load(open(record))
    except (OSError, ValueError):
        passed = {}

    def check(item):
        path, entry = item
        flags = flags_of(entry)
        key = fingerprint(entry, flags, version)
        if key and passed.get(path) == key:
            return path, key, None, ""
        run = subprocess.run([clang, "-fsyntax-only", "-Werror", *flags, entry["file"]], cwd=entry["directory"],
                             capture_output=True, text=True)
        return path, key, run.returncode, run.stdout + run.stderr

    failed = rechecked = 0
    now = {}
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        for path, key, status, said in pool.map(check, sorted(checked)):
            if status is not None:
                rechecked += 1
            if status and status != 0 or said.strip():
                failed += 1
                print(said.rstrip() or f"{path}: clang++ ended with {status}")
            elif key:
                now[path] = key
    with open(record + ".new", "w") as out:
        json.dump(now, out)
    os.replace(record + ".new", record)
    print(f"{len(checked)} sources ({rechecked} checked now, the others unchanged since they passed), "
          f"{failed} with errors or warnings under clang")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
