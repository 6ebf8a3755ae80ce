#!/usr/bin/env python3
"""Functions stay short enough to read: at most 150 lines each.

Usage: function_lengths.py ROOT FOLDER...
       function_lengths.py --self-test

Lists every function defined in the .h and .cpp files of the folders
(relative to ROOT) that is longer, as FOLDER/FILE:LINE NAME LINES, and fails
when there is one. A function's lines run from the first line of its
signature to its closing brace; a lambda or a local class counts as part of
the function around it. The interpreter loops alone may take 400: the
machine's RunDecoded, whose cases jump to each other, and the SQL engine's
Execute switch.
"""
import os
import re
import sys

LIMIT = 150
EXEMPT = {"VornVM::RunDecoded": 400, "SQLEngine::Execute": 400}

COMMENT_OR_TEXT = re.compile(
    r'//[^\n]*|/\*.*?\*/|R"([^(\s]*)\(.*?\)\1"|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)
DIRECTIVE = re.compile(r"^[ \t]*#(?:[^\n]*\\\n)*[^\n]*", re.M)
# What a block that holds functions starts with.
CONTAINER = re.compile(r"^(?:template\s*<[^{]*>\s*)?(?:namespace\b|extern\s*$|(?:class|struct|union)\b[^(]*$|enum\b)")
ACCESS = re.compile(r"^(?:\s*(?:public|protected|private)\s*:)+")
QUALIFIERS = re.compile(r"(?:\s*(?:const|noexcept(?:\([^()]*\))?|override|final|mutable|&&|&|\[\[[^\]]*\]\])\s*)*$")
TRAILING_RETURN = re.compile(r"\s*->\s*[\w:<>,\s*&]+$")
NAME = re.compile(r"((?:[A-Za-z_]\w*\s*(?:<[^<>()]*>)?\s*::\s*)*~?(?:operator\s*(?:\(\)|[^\s(]+)|[A-Za-z_]\w*))\s*$")
NOT_NAMES = {"if", "for", "while", "switch", "catch", "return", "sizeof", "decltype", "alignas", "static_assert"}


def blank(match):
    # Keeps the lines, so that line numbers stay right.
    return "\n" * match.group(0).count("\n") + " "


def parameters_end(text):
    """The index after the ")" that closes the first top-level "(", or -1."""
    depth = 0
    for i, ch in enumerate(text):
        if ch == "(":
            depth += 1
        elif ch == ")":
            depth -= 1
            if depth == 0:
                return i + 1
    return -1


def signature(header):
    """The name of the function a block's header declares, or None.

    header is the text from the end of the previous declaration to the
    block's "{". A constructor's initializers (": a(x), b{y}") end with ")"
    or "}" before the body; a header that ends otherwise opens a braced
    initializer, and so does one with "=" before its parameters.
    """
    text = ACCESS.sub("", header).strip()
    end = parameters_end(text)
    if end < 0:
        return None
    before = text[: text.index("(")]
    if re.search(r"(?<![=!<>])=(?!=)", re.sub(r"operator\s*\S+", "", before)):
        return None
    rest = QUALIFIERS.sub("", text[end:]).strip()
    rest = TRAILING_RETURN.sub("", rest).strip() if rest.startswith("->") else rest
    if rest.startswith(":") and not rest.startswith("::"):
        if not re.search(r"[)}]\s*$", rest):
            return None
    elif rest:
        return None
    match = NAME.search(before)
    if not match:
        return None
    name = re.sub(r"\s+", "", match.group(1))
    return None if name in NOT_NAMES else name


def functions(text):
    """Yields (name, first line, last line) of every function defined."""
    text = COMMENT_OR_TEXT.sub(blank, text)
    text = DIRECTIVE.sub(blank, text)
    # Each open block: ("container",), ("function", name, first line) or
    # ("other",); header_start is where the next declaration's text starts.
    stack = []
    header_start = 0
    for i, ch in enumerate(text):
        top = stack[-1][0] if stack else "container"
        if ch == ";" and top == "container":
            header_start = i + 1
        elif ch == "{":
            if top != "container":
                stack.append(("other",))
                continue
            header = text[header_start:i]
            stripped = ACCESS.sub("", header).strip()
            name = None if CONTAINER.search(stripped) else signature(header)
            if name:
                first = header_start + len(header) - len(ACCESS.sub("", header).lstrip())
                stack.append(("function", name, text.count("\n", 0, first) + 1))
            elif CONTAINER.search(stripped):
                stack.append(("container",))
                header_start = i + 1
            else:
                # A braced initializer: the declaration goes on after it.
                stack.append(("initializer",))
        elif ch == "}" and not stack:
            header_start = i + 1
        elif ch == "}":
            block = stack.pop()
            if block[0] == "function":
                yield block[1], block[2], text.count("\n", 0, i) + 1
            if block[0] in ("function", "container") and (not stack or stack[-1][0] == "container"):
                header_start = i + 1


def limit_of(name):
    for exempt, allowed in EXEMPT.items():
        if name == exempt or name.endswith("::" + exempt):
            return allowed
    return LIMIT


def check(root, folders):
    status = 0
    for folder in folders:
        base = os.path.join(root, folder)
        for entry in sorted(os.listdir(base)):
            if not entry.endswith((".h", ".cpp")):
                continue
            with open(os.path.join(base, entry), encoding="utf-8", errors="replace") as f:
                text = f.read()
            for name, first, last in functions(text):
                length = last - first + 1
                if length > limit_of(name):
                    print(f"{folder}/{entry}:{first} {name} {length} lines (at most {limit_of(name)})")
                    status = 1
    return status


# Sources of every shape the reader meets, and the functions it must find in
# each: (name, first line, last line).
SELF_TESTS = [
    ("int f(int a) {\n  return a;\n}\n", [("f", 1, 3)]),
    ("namespace a {\nnamespace {\nvoid g() {}\n}\n}\n", [("g", 3, 3)]),
    ("struct S {\n  S() : x{1}, y(2) {\n  }\n  int x, y;\n};\n", [("S", 2, 3)]),
    ("class C {\npublic:\n    void m() const noexcept { if (a) { b(); } }\n};\n", [("m", 3, 3)]),
    ("A::A(int v)\n    : base(v),\n      list{1, 2} {\n  run();\n}\n", [("A::A", 1, 5)]),
    ("int t[] = {1, 2};\nstatic auto l = [](int x) { return x; };\nvoid h() {}\n", [("h", 3, 3)]),
    ("template <class T> inline T* R::Get() const {\n  return p;\n}\n", [("R::Get", 1, 3)]),
    ("bool operator==(const X& a, const X& b) { return true; }\n", [("operator==", 1, 1)]),
    ("auto k() -> int {\n  return 0;\n}\nenum class E { a, b };\n", [("k", 1, 3)]),
    ('extern "C" {\nvoid c() {\n  const char* s = "}{";\n}\n}\n', [("c", 2, 4)]),
    ("void f() {\n  struct L { void in() {} };\n  auto q = [] { return 1; };\n}\n", [("f", 1, 4)]),
    ("#define M(x) { x }\n// void no() {\n/* int n() { */\nvoid yes() {}\n", [("yes", 4, 4)]),
    ("X::~X() {\n}\nS::S() = default;\nvoid after() {}\n", [("X::~X", 1, 2), ("after", 4, 4)]),
    ("struct P {\n  int a = 1;\n  Q q{2};\n  void z() {}\n};\n", [("z", 4, 4)]),
    # Damaged code: an unclosed body ends nothing, a stray brace closes none.
    ("void open() {\n  if (x) {\n", []),
    ("}\n}\nvoid fine() {}\n", [("fine", 3, 3)]),
]


def self_test():
    failed = 0
    for source, expected in SELF_TESTS:
        found = list(functions(source))
        if found != expected:
            print(f"{source!r}: found {found}, expected {expected}")
            failed = 1
    long = "void big() {\n" + "  x();\n" * 150 + "}\n"
    if [limit_of(n) < b - a + 1 for n, a, b in functions(long)] != [True]:
        print("a function of 152 lines is not reported")
        failed = 1
    return failed


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    if len(sys.argv) < 3:
        print(__doc__.strip().splitlines()[2])
        return 2
    return check(sys.argv[1], sys.argv[2:])


if __name__ == "__main__":
    sys.exit(main())
