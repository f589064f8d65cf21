#!/usr/bin/env python3
"""The Linux error codes' one list (VS_ERROR_CODES in src/linux/linux_error.h),
as the other places that show them need it.

  scripts/codes.py markdown         the README's table of codes
  scripts/codes.py python           python/vantorel_screenshot/_codes.py
  scripts/codes.py c                cli/cli_reasons.h, the program's words (it
                                    uses the public header alone)
  scripts/codes.py check            exit 1 when the README's table, _codes.py
                                    or cli_reasons.h differ from the list (a
                                    test runs this)
  scripts/codes.py write            rewrite all three from the list
"""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HEADER = os.path.join(ROOT, "src", "linux", "linux_error.h")
README = os.path.join(ROOT, "README.md")
PYCODES = os.path.join(ROOT, "python", "vantorel_screenshot", "_codes.py")
CREASONS = os.path.join(ROOT, "cli", "cli_reasons.h")
BEGIN, END = "<!-- codes: made by scripts/codes.py -->", "<!-- /codes -->"


def codes():
    text = open(HEADER, encoding="utf-8").read()
    start = text.index("#define VS_ERROR_CODES(X)")
    body = []
    for line in text[start:].splitlines():
        body.append(line.rstrip().rstrip("\\"))
        if not line.rstrip().endswith("\\"):
            break
    joined = " ".join(body)
    entries = re.findall(r'X\(\s*(\d+)\s*,\s*(\w+)\s*,\s*((?:"(?:[^"\\]|\\.)*"\s*)+)\)', joined)
    out = []
    for code, name, reason in entries:
        words = "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', reason))
        out.append((int(code), name, words))
    if not out:
        sys.exit("codes.py: no entries found in " + HEADER)
    return out


def markdown():
    lines = [BEGIN, "", "| Code | Name | Reason |", "|---:|---|---|"]
    for code, name, reason in codes():
        lines.append(f"| {code} | `{name}` | {reason} |")
    lines += ["", END]
    return "\n".join(lines) + "\n"


def python():
    lines = [
        '"""The Linux error codes and their reasons in words; made by scripts/codes.py',
        'from src/linux/linux_error.h, do not edit."""',
        "",
        "REASONS = {",
    ]
    for code, _name, reason in codes():
        lines.append(f"    {code}: {reason!r},")
    lines += ["}", "", "NAMES = {"]
    for code, name, _reason in codes():
        lines.append(f"    {code}: {name!r},")
    lines += ["}", ""]
    return "\n".join(lines)


def c_header():
    lines = [
        "/* The Linux error codes' reasons in words, for the program's messages; made",
        " * by scripts/codes.py from src/linux/linux_error.h, do not edit. */",
        "#ifndef VANTOREL_CLI_REASONS_H",
        "#define VANTOREL_CLI_REASONS_H",
        "",
        "/* The reason for code, or NULL when the list has none. */",
        "/* clang-format off */",
        "static const char *cli_linux_reason(unsigned long code) {",
        "  switch (code) {",
    ]
    for code, _name, reason in codes():
        lines.append(f"    case {code}:")
        lines.append(f'      return "{reason}";')
    lines += ["  }", "  return 0;", "}", "/* clang-format on */", "", "#endif", ""]
    return "\n".join(lines)


def readme_table(text):
    if BEGIN not in text or END not in text:
        return None
    a = text.index(BEGIN)
    b = text.index(END) + len(END)
    return text[a:b] + "\n"


def main(argv):
    what = argv[1] if len(argv) > 1 else "markdown"
    if what == "markdown":
        sys.stdout.write(markdown())
    elif what == "python":
        sys.stdout.write(python())
    elif what == "c":
        sys.stdout.write(c_header())
    elif what == "write":
        with open(PYCODES, "w", encoding="utf-8") as f:
            f.write(python())
        with open(CREASONS, "w", encoding="utf-8") as f:
            f.write(c_header())
        text = open(README, encoding="utf-8").read()
        old = readme_table(text)
        if old is not None:
            with open(README, "w", encoding="utf-8") as f:
                f.write(text.replace(old, markdown()))
    elif what == "check":
        bad = []
        if open(PYCODES, encoding="utf-8").read() != python():
            bad.append(PYCODES + " differs from the list (scripts/codes.py write)")
        if not os.path.exists(CREASONS) or open(CREASONS, encoding="utf-8").read() != c_header():
            bad.append(CREASONS + " differs from the list (scripts/codes.py write)")
        table = readme_table(open(README, encoding="utf-8").read())
        if table is None:
            bad.append("README.md has no table of codes between " + BEGIN + " and " + END)
        elif table != markdown():
            bad.append("README.md's table of codes differs from the list (scripts/codes.py write)")
        for line in bad:
            print(line, file=sys.stderr)
        return 1 if bad else 0
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
