#!/usr/bin/env python3
"""Prints the README's commands for a fresh machine, one a line, exactly as written there.

They are the code blocks under the heading "## Two commands for a fresh machine": the first
builds, installs and runs the demo, the second runs every test. CI runs what this prints, so the
README cannot drift from what is tested. Exits 1 unless there are exactly two one-line commands.
With --packages it prints instead the Debian packages the section names as prerequisites (its
inline `apt-get install …`), which CI installs, and nothing else, in the fresh system it runs
the commands on.

    python3 tools/readme_commands.py [--packages] [README.md]
"""
import pathlib
import re
import sys

HEADING = "## Two commands for a fresh machine"


def section(text):
    """The lines between the heading and the next heading of the same level."""
    lines = text.splitlines()
    start = lines.index(HEADING) + 1
    end = next((i for i in range(start, len(lines)) if lines[i].startswith("## ")), len(lines))
    return lines[start:end]


def commands(text):
    """The code blocks of the section (fenced or indented), each as its list of lines."""
    blocks, current, fenced = [], None, False
    for line in section(text) + [""]:
        if line.startswith("```"):
            if fenced:
                blocks.append(current)
            fenced, current = not fenced, []
        elif fenced:
            current.append(line)
        elif line.startswith("    ") and line.strip():
            current = (current or []) + [line[4:]]
        elif current and not fenced:
            blocks.append(current)
            current = None
    return blocks


def prerequisites(text):
    """The packages of the section's first inline `apt-get install …`, or None."""
    found = re.search(r"`apt-get install ([^`]+)`", "\n".join(section(text)))
    return found.group(1).split() if found else None


def main(argv):
    packages = "--packages" in argv[1:2]
    argv = [argv[0]] + argv[1 + packages:]
    path = pathlib.Path(argv[1] if len(argv) > 1 else pathlib.Path(__file__).resolve().parents[1] / "README.md")
    if packages:
        names = prerequisites(path.read_text())
        if not names:
            print(f"{path}: no `apt-get install …` of prerequisites under {HEADING!r}", file=sys.stderr)
            return 1
        print(" ".join(names))
        return 0
    blocks = commands(path.read_text())
    if len(blocks) != 2 or any(len(block) != 1 for block in blocks):
        print(f"{path}: expected two one-line commands under {HEADING!r}, found {blocks}", file=sys.stderr)
        return 1
    for block in blocks:
        print(block[0])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
