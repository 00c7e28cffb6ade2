#!/usr/bin/python3
"""The examples of a Markdown page as something that runs, so that the page cannot drift
from what the programs do.

  md_examples.py cram PAGE.md OUT.t   every ```console block of the page, as one cram test
  md_examples.py c PAGE.md OUT.c      the page's first ```c block, as a C source file

A console block is a shell session: "$ " starts a command, "> " continues it, and the
lines after it are what it prints (standard output and standard error together, as a
terminal shows them). The blocks of a page run in order in one shell, so a page tells
one story. A comment "<!-- test ... -->" holds steps that a reader need not see (making
the leftovers of a crash, say); its "$ " lines run in their place.

What differs between runs is matched loosely, and only that: the pages keep their volumes
under /srv/, which the test replaces with a directory of its own; times written
"YYYY-MM-DD HH:MM:SS" and ages written "N s old" match any value.
"""
import re
import sys

DOC_ROOT = "/srv/"
TIME = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d")
AGE = re.compile(r"\d+ s old")


def blocks(text, language):
    """The bodies of the page's fenced blocks of a language, and of its test comments, in
    page order, as (kind, lines)."""
    found = []
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.strip() == "```" + language or line.startswith("<!-- test"):
            end_mark = "```" if line.startswith("```") else "-->"
            body = []
            i += 1
            while i < len(lines) and lines[i].strip() != end_mark:
                body.append(lines[i])
                i += 1
            if i == len(lines):
                sys.exit(f"md_examples: a block opened by {line!r} is never closed")
            found.append(("hidden" if end_mark == "-->" else "shown", body))
        i += 1
    return found


def command_line(line):
    return line.replace(DOC_ROOT, '"$DOC_ROOT"/')


# Each loose part of an output line, and the pattern that it matches in the test.
LOOSE = [(re.escape(DOC_ROOT), r"\S*/srv/"), (TIME.pattern, TIME.pattern), (AGE.pattern, AGE.pattern)]
LOOSE_PART = re.compile("|".join(f"({source})" for source, _ in LOOSE))


def literal(text):
    return re.escape(text).replace("\\ ", " ")  # a space needs no escape, and reads better


def output_line(line):
    if not LOOSE_PART.search(line):
        return line
    pattern, at = "", 0
    for match in LOOSE_PART.finditer(line):
        pattern += literal(line[at:match.start()]) + LOOSE[match.lastindex - 1][1]
        at = match.end()
    return pattern + literal(line[at:]) + " (re)"


def cram(page, text):
    out = [f"Sessions of {page}, made by md_examples.py; edit the page, not this file.", "",
           '  $ DOC_ROOT=$PWD/srv; mkdir "$DOC_ROOT"', ""]
    for kind, body in blocks(text, "console"):
        for line in body:
            if line.startswith("$ "):
                out.append("  $ " + command_line(line[2:]))
            elif line.startswith("> "):
                out.append("  > " + command_line(line[2:]))
            elif kind == "hidden":
                sys.exit(f"md_examples: a test comment holds a line that is not a command: {line!r}")
            else:
                out.append("  " + output_line(line) if line else "  ")
        out.append("")
    return "\n".join(out) + "\n"


def c_source(page, text):
    found = blocks(text, "c")
    if not found:
        sys.exit(f"md_examples: {page} holds no ```c block")
    return f"/* The C example of {page}, made by md_examples.py; edit the page. */\n" + "\n".join(found[0][1]) + "\n"


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("cram", "c"):
        sys.exit("usage: md_examples.py cram|c PAGE.md OUT")
    mode, page, out_path = sys.argv[1:]
    with open(page, encoding="utf-8") as f:
        text = f.read()
    result = cram(page, text) if mode == "cram" else c_source(page, text)
    with open(out_path, "w", encoding="utf-8") as f:
        f.write(result)


if __name__ == "__main__":
    main()
