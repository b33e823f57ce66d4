#!/usr/bin/env python3
"""Fails when a source file includes a folder that sits above its own.

The folders, lowest first. A file may include its own folder and any folder
listed before it; `app`, `ui` and `tools` sit on top of the engine.
"""
import os
import re
import sys

LAYERS = [
    "platform",
    "engine/base",
    "engine/content",
    "telemetry",
    "engine/net",
    "engine/schedule",
    "engine/wire",
    "engine/peers",
    "engine/task",
    "engine/api",
    "app",
    "ui",
    "tools",
]

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)


def layer_of(path):
    """Index of the layer a repository-relative path belongs to, or None."""
    best = None
    for index, folder in enumerate(LAYERS):
        if path == folder or path.startswith(folder + "/"):
            if best is None or len(folder) > len(LAYERS[best]):
                best = index
    return best


def violations(root):
    found = []
    for folder in LAYERS:
        top = os.path.join(root, folder)
        for directory, _, names in os.walk(top):
            for name in names:
                if not name.endswith((".h", ".cpp")):
                    continue
                full = os.path.join(directory, name)
                source = os.path.relpath(full, root)
                own = layer_of(source)
                with open(full, encoding="utf-8", errors="replace") as f:
                    text = f.read()
                for included in INCLUDE.findall(text):
                    beside = os.path.normpath(os.path.join(os.path.dirname(source), included))
                    target = beside if os.path.exists(os.path.join(root, beside)) else included
                    theirs = layer_of(target)
                    if theirs is None:
                        found.append(f"{source}: includes {included}, which is in no layer")
                    elif theirs > own:
                        found.append(f"{source}: includes {included} ({LAYERS[theirs]} is above {LAYERS[own]})")
    return found


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")
    found = violations(os.path.abspath(root))
    for line in found:
        print(line)
    if found:
        print(f"{len(found)} include(s) run upward")
        return 1
    print("every include runs downward")
    return 0


if __name__ == "__main__":
    sys.exit(main())
