#!/usr/bin/env python3
"""Holds every source file to the README's layout table: a file includes our
headers only from the folders its folder's row names, and its own."""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")
readme = (root / "README.md").read_text(encoding="utf-8")
layout = readme[readme.index("## Layout"):]
rules = {}
for line in layout.splitlines():
    cells = [c.strip() for c in line.strip().strip("|").split("|")]
    if len(cells) != 3 or not cells[0].startswith("`"):
        continue
    allowed = cells[2]
    for folder in re.findall(r"`([^`]+/)`", cells[0]):
        rules[folder] = None if allowed == "anything" else re.findall(r"`([^`]+/)`", allowed)

ours = sorted(rules, key=len, reverse=True)


def folder_of(path):
    return next((f for f in ours if path.startswith(f)), None)


broken = []
for path in sorted(root.rglob("*")):
    relative = path.relative_to(root).as_posix()
    if path.suffix not in {".h", ".cpp"} or relative.startswith("build/"):
        continue
    folder = folder_of(relative)
    if folder is None:
        broken.append(f"{relative}: in no folder of the layout table")
        continue
    allowed = rules[folder]
    if allowed is None:
        continue
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        included = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
        if not included:
            continue
        target = folder_of(included.group(1))
        if target is not None and target != folder and target not in allowed:
            broken.append(f"{relative}:{number}: includes {included.group(1)}; {folder} may include only "
                          + (" ".join(allowed) or "nothing of ours"))

print("\n".join(broken) if broken else f"{len(rules)} folders, every include as the layout allows")
sys.exit(1 if broken else 0)
