#!/usr/bin/env python3
"""Checks that the source layers include only the layers below them.

usage: layering_check.py SRC_DIR

The layers, lowest first: numerics, core, analysis, io, study, commands (main.cpp
sits on top). A file may include headers of its own layer and of the layers
below it; anything else is printed as "FILE:LINE: LAYER includes HEADER" and
the exit status is 1.
"""
import os
import re
import sys

ORDER = ["numerics", "core", "analysis", "io", "study", "commands"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def main():
    src = sys.argv[1]
    problems = []
    for layer in ORDER:
        allowed = set(ORDER[: ORDER.index(layer) + 1])
        for folder, _, files in os.walk(os.path.join(src, layer)):
            for name in sorted(files):
                path = os.path.join(folder, name)
                with open(path, encoding="utf-8") as f:
                    for number, line in enumerate(f, 1):
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        header = match.group(1)
                        top = header.split("/", 1)[0]
                        if "/" in header and top not in allowed:
                            problems.append("%s:%d: %s includes %s" % (
                                os.path.relpath(path, src), number, layer, header))
    for problem in problems:
        print(problem)
    print("%d layering problem%s" % (len(problems), "" if len(problems) == 1 else "s"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
