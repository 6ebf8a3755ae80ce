#!/usr/bin/python3
"""The sources of the libraries, tools and servers (not the tests, not the
benchmarks) checked by clang as this build compiles them with its own
compiler: clang++ -fsyntax-only with the same defines, include folders and
warnings, and no warning allowed. Code that only g++ takes fails here rather
than in a later `make clang` or `make fuzz`.

Usage: clang_syntax.py BUILD_DIR SOURCE_DIR [JOBS]
Exit status 0 clean, 1 an error or warning, 77 no clang++ (`make test`
installs it)."""

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

    def check(item):
        path, entry = item
        command = [clang, "-fsyntax-only", "-Werror", *flags_of(entry), entry["file"]]
        run = subprocess.run(command, cwd=entry["directory"], capture_output=True, text=True)
        return path, run.returncode, run.stdout + run.stderr

    failed = 0
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        for path, status, said in pool.map(check, sorted(checked)):
            if status != 0 or said.strip():
                failed += 1
                print(said.rstrip() or f"{path}: clang++ ended with {status}")
    print(f"{len(checked)} sources, {failed} with errors or warnings under clang")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
