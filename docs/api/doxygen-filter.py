#!/usr/bin/env python3
"""Doxygen's input filter for the public headers, whose comments are plain C
comments written for a reader of the header: the comment that opens a file
becomes its file documentation (in sonavex.h also the main page, with the
usage example it holds), a comment before a declaration documents it, one
after a declaration on its line documents that member, and the banner lines
that divide the header into parts are left out."""

import re
import sys

path = sys.argv[1]
text = open(path, encoding="utf-8").read()
main_page = path.endswith("sonavex.h")


def opening(body):
    """The file's opening comment (its lines without comment marks) as doc."""
    lines = [re.sub(r"^\s?\*\s?|^//\s?", "", l, count=1) for l in body]
    if main_page:
        return "/** @mainpage Sonavex\n" + "\n".join(lines) + "\n*/\n/** @file\nThe public header. */\n"
    return "/** @file\n" + "\n".join(lines) + "\n*/\n"


out = []
src = text.split("\n")
i = 0
# The opening comment: /* ... */ or a run of // lines.
if src[0].startswith("/*"):
    body = [src[0][2:]]
    while not src[i].rstrip().endswith("*/"):
        i += 1
        body.append(src[i])
    body[-1] = body[-1].rstrip()[:-2]
    i += 1
    out.append(opening(body))
elif src[0].startswith("//"):
    body = []
    while src[i].startswith("//"):
        body.append(src[i])
        i += 1
    out.append(opening(body))

def convert(line):
    if re.match(r"^/\* -+ .* -+ \*/$", line):
        return ""
    if line.startswith("/* "):
        return "/** " + line[3:]
    if re.match(r"^\s*// ", line):
        return re.sub(r"^(\s*)// ", r"\1/// ", line)
    if re.search(r"\S.*\s/\* ", line):
        return re.sub(r"\s/\* ", " /**< ", line, count=1)
    if re.search(r"\S.*\s// ", line):
        return re.sub(r"\s// ", " ///< ", line, count=1)
    return line


def declares(line):
    return line.startswith("#define ") or re.match(r"^[A-Za-z_]", line) is not None


# A comment before several declarations (no blank line between them)
# documents each of them: they become one member group.
rest = src[i:]
k = 0
while k < len(rest):
    line = rest[k]
    comment_end = None
    if line.startswith("/* ") and not re.match(r"^/\* -+ .* -+ \*/$", line):
        comment_end = k
        while not rest[comment_end].rstrip().endswith("*/"):
            comment_end += 1
    elif line.startswith("// "):
        comment_end = k
        while comment_end + 1 < len(rest) and rest[comment_end + 1].startswith("// "):
            comment_end += 1
    if comment_end is None:
        out.append(convert(line))
        k += 1
        continue
    out.extend(convert(l) if l.startswith(("/* ", "// ")) else l for l in rest[k:comment_end + 1])
    run_end = comment_end + 1
    while run_end < len(rest) and rest[run_end].strip() and not rest[run_end].startswith(("/* ", "// ")):
        run_end += 1
    run = rest[comment_end + 1:run_end]
    grouped = sum(1 for l in run if declares(l)) > 1
    if grouped:
        out.append("/**@{*/")
    out.extend(convert(l) for l in run)
    if grouped:
        out.append("/**@}*/")
    k = run_end
sys.stdout.write("\n".join(out))
