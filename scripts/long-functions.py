#!/usr/bin/env python3
"""Lists the functions of the C++ sources that are longer than a limit (default 60 lines).

A function is a brace block outside any other function whose opening brace follows a parameter
list; its length runs from the first line of its signature to its closing brace. Lambdas and
local classes count as part of the function that holds them. Exit status 1 when any is listed.

Usage: scripts/long-functions.py [--limit N] [DIR...]   (default: src)
"""
import pathlib
import re
import sys

CONTROL = re.compile(r"\b(if|for|while|switch|catch|do|else)\b\s*(\(.*\))?\s*$")


def strip(text):
    """Blanks out comments, string and character literals, keeping the line breaks."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append("\n" * text.count("\n", i, j))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(c + c)
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def functions(text):
    """Yields (name, first line, last line) of every function body outside another function."""
    text = strip(text)
    stack = []  # per open brace: is it a function body?
    statement_start = 0
    inside = 0  # open function bodies
    for pos, c in enumerate(text):
        if c == ";":
            if not inside:
                statement_start = pos + 1
        elif c == "{":
            head = text[statement_start:pos]
            is_function = not inside and _is_function_head(head)
            stack.append((is_function, statement_start, pos))
            if is_function:
                inside += 1
            if not inside:
                statement_start = pos + 1
        elif c == "}" and stack:
            is_function, start, _ = stack.pop()
            if is_function:
                inside -= 1
                first = text.count("\n", 0, start + len(text[start:]) - len(text[start:].lstrip())) + 1
                last = text.count("\n", 0, pos) + 1
                yield _name(text[start:pos]), first, last
            if not inside:
                statement_start = pos + 1


def _is_function_head(head):
    flat = " ".join(head.split())
    if ")" not in flat or CONTROL.search(flat):
        return False
    if re.search(r"\b(namespace|class|struct|enum|union)\b[^()]*$", flat):
        return False
    tail = flat[flat.rfind(")") + 1:]
    # After the parameter list: qualifiers, a trailing return type or a constructor's initialisers.
    return re.fullmatch(r"[\s\w:<>,&*\[\]\-]*(:.*)?", tail) is not None and "=" not in tail.split(":")[0]


def _name(head):
    flat = " ".join(head.split())
    match = re.search(r"([~\w:]+)\s*\(", flat)
    return match.group(1) if match else flat[:40]


def main(argv):
    limit = 60
    if len(argv) > 1 and argv[0] == "--limit":
        limit = int(argv[1])
        argv = argv[2:]
    roots = argv or ["src"]
    longest = []
    found = 0
    for root in roots:
        top = pathlib.Path(root)
        for path in [top] if top.is_file() else sorted(top.rglob("*")):
            if path.suffix not in (".cpp", ".h", ".hpp", ".cc"):
                continue
            for name, first, last in functions(path.read_text(errors="replace")):
                length = last - first + 1
                longest.append((length, f"{path}:{first}", name))
                if length > limit:
                    print(f"{path}:{first}: {name} has {length} lines (limit {limit})")
                    found += 1
    longest.sort(reverse=True)
    top = ", ".join(f"{n} {where} {name}" for n, where, name in longest[:3])
    print(f"{found} function(s) longer than {limit} lines among {len(longest)}; longest: {top}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
