#!/usr/bin/env python3
"""Stand-in for the appliance's buzzer script.

Reads one request document from standard input and appends the melody name
to <tree root>/var/log/quillo-notices/buzzer.log, where the tree root is
three directories above the directory holding this script. Answers result
"0", or "1" when the request is not a readable buzzer request.
"""

import os
import sys
import time
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(HERE)))
LOG_DIR = os.path.join(ROOT, "var", "log", "quillo-notices")


def record(line):
    os.makedirs(LOG_DIR, exist_ok=True)
    with open(os.path.join(LOG_DIR, "buzzer.log"), "a", encoding="utf-8") as f:
        f.write(time.strftime("%Y-%m-%d %H:%M:%S ") + line + "\n")


def answer(result):
    sys.stdout.write(
        '<response><entrylist><entry result="%s"/></entrylist></response>\n'
        % result)


def main():
    raw = sys.stdin.buffer.read()
    try:
        melody = ET.fromstring(raw).find("entrylist/entry/buzzer/melody")
        name = melody.get("type")
        if name is None:
            raise ValueError("no melody type")
    except (ET.ParseError, AttributeError, ValueError):
        record("unreadable request: " + raw.decode("utf-8", "replace"))
        answer(1)
        return 0
    record("melody=" + name)
    answer(0)
    return 0


if __name__ == "__main__":
    sys.exit(main())
