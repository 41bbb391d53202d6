#!/usr/bin/env python3
"""Runs the README's command blocks as a reader pastes them, so they cannot
drift from what the project does.

Every ```sh block of README.md carries a marker on the line before it:

    <!-- readme-test: run -->
    <!-- readme-test: run; replace 'TEXT' 'OTHER' (why) -->   run with TEXT replaced
    <!-- readme-test: skip (why) -->                           not run, and why

A block without a marker fails the test, so a new block is either run or
skipped for a stated reason. Example sources marked <!-- example: NAME -->
are written, before any block runs, to the file their first line names
(`/* fuse_plane.c: ...`, `// x.cpp: ...`, `# x.py: ...`), as a reader saves
them before compiling or running them.

The blocks run in README order, each in a fresh bash with -e and pipefail,
all in one temporary directory that stands for the repository root: it
links the repository's tracked top-level entries and build/, so
`bash scripts/fuse.sh` and `build/release/...` work while every output lands
in the temporary directory. Variables a block exports reach the blocks after
it, as in one terminal. In a replacement, {work} stands for that directory.
No display is passed on, so viewers that would open a window return at once.

    python3 tests/readme/run_blocks.py           # run them
    python3 tests/readme/run_blocks.py --list    # what would run or be skipped
"""

import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
FENCE = re.compile(r"^```(\w*)\s*$")
MARKER = re.compile(r"^<!--\s*readme-test:\s*(run|skip)\b(.*?)-->\s*$")
EXAMPLE = re.compile(r"^<!--\s*example:\s*\w+\s*-->\s*$")
REPLACE = re.compile(r"replace\s+'([^']*)'\s+'([^']*)'")
SOURCE_NAME = re.compile(r"^\s*(?:/\*|//|#)\s*([\w.-]+\.\w+):")


class Block:
    def __init__(self, line, language, text, marker):
        self.line, self.language, self.text, self.marker = line, language, text, marker
        self.action, self.replacements, self.reason = None, [], ""
        if marker is not None:
            self.action, rest = marker
            self.replacements = REPLACE.findall(rest)
            reason = re.search(r"\((.*)\)", rest)
            self.reason = reason.group(1).strip() if reason else ""


def read_blocks(readme):
    """Every fenced block with the marker line before it (blank lines allowed)."""
    lines = readme.read_text().splitlines()
    blocks, i = [], 0
    while i < len(lines):
        fence = FENCE.match(lines[i])
        if not fence:
            i += 1
            continue
        start, language = i, fence.group(1)
        end = next((j for j in range(i + 1, len(lines)) if lines[j].startswith("```")), len(lines))
        before = start - 1
        while before >= 0 and not lines[before].strip():
            before -= 1
        previous = lines[before] if before >= 0 else ""
        marker = MARKER.match(previous)
        block = Block(start + 1, language, "\n".join(lines[start + 1:end]) + "\n",
                      (marker.group(1), marker.group(2)) if marker else None)
        block.example = bool(EXAMPLE.match(previous))
        blocks.append(block)
        i = end + 1
    return blocks


def check(blocks):
    problems = []
    for b in blocks:
        where = f"README.md:{b.line}"
        if b.language == "sh" and b.marker is None:
            problems.append(f"{where}: a sh block without <!-- readme-test: run --> or "
                            "<!-- readme-test: skip (why) -->")
        if b.action == "skip" and not b.reason:
            problems.append(f"{where}: a skipped block must say why, in parentheses")
        if b.marker is not None and b.language != "sh":
            problems.append(f"{where}: readme-test markers are for sh blocks")
        for old, _ in b.replacements:
            if old not in b.text:
                problems.append(f"{where}: the block does not contain '{old}' to replace")
        if b.example and not SOURCE_NAME.match(b.text.splitlines()[0] if b.text.strip() else ""):
            problems.append(f"{where}: an example's first line must name its file")
    return problems


def make_work_dir():
    """A directory standing for the repository root: links, outputs kept apart."""
    work = pathlib.Path(tempfile.mkdtemp(prefix="kelvane-readme."))
    tracked = subprocess.run(["git", "-C", str(ROOT), "ls-files"], capture_output=True, text=True)
    names = {line.split("/")[0] for line in tracked.stdout.splitlines()} if tracked.returncode == 0 \
        else set(os.listdir(ROOT)) - {".git"}
    for name in sorted(names | {"build"}):
        if (ROOT / name).exists():
            (work / name).symlink_to(ROOT / name)
    return work


def run(blocks, work, timeout):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    state = work / ".readme-test-env"
    state.write_text("")
    passed = failed = skipped = 0
    for b in blocks:
        if b.example:
            name = SOURCE_NAME.match(b.text.splitlines()[0]).group(1)
            (work / name).write_text(b.text)
    for b in blocks:
        if b.language != "sh":
            continue
        where = f"README.md:{b.line}"
        first = b.text.strip().splitlines()[0] if b.text.strip() else ""
        if b.action == "skip":
            skipped += 1
            print(f"skip  {where}  {first}\n      ({b.reason})", flush=True)
            continue
        text = b.text
        for old, new in b.replacements:
            text = text.replace(old, new.replace("{work}", str(work)))
        script = (f"source {state}\nset -eo pipefail\n{text}\n"
                  f"export -p > {state}\n")
        print(f"run   {where}  {first}" +
              "".join(f"\n      ('{o}' as '{n}')" for o, n in b.replacements), flush=True)
        started = time.monotonic()
        try:
            result = subprocess.run(["bash", "-c", script], cwd=work, env=env, timeout=timeout,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            status, output = result.returncode, result.stdout
        except subprocess.TimeoutExpired as e:
            status, output = "timeout", (e.stdout or b"").decode(errors="replace")
        seconds = time.monotonic() - started
        if status == 0:
            passed += 1
            print(f"      passed ({seconds:.1f} s)", flush=True)
        else:
            failed += 1
            print(f"      FAILED with status {status} after {seconds:.1f} s; its output:")
            print("      | " + "\n      | ".join(output.rstrip().splitlines()[-40:]), flush=True)
    return passed, failed, skipped


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--list", action="store_true", help="list the blocks, run nothing")
    parser.add_argument("--keep", action="store_true", help="keep the temporary directory")
    parser.add_argument("--readme", type=pathlib.Path, default=ROOT / "README.md")
    parser.add_argument("--timeout", type=float, default=600, help="seconds a block may take")
    args = parser.parse_args()

    blocks = read_blocks(args.readme)
    problems = check(blocks)
    for p in problems:
        print(p)
    if problems:
        print("readme blocks: 0 passed, 1 failed (markers)")
        return 1
    if args.list:
        for b in blocks:
            if b.language == "sh":
                print(f"{b.action:4}  README.md:{b.line}  {b.reason}")
        return 0
    work = make_work_dir()
    try:
        passed, failed, skipped = run(blocks, work, args.timeout)
    finally:
        if args.keep:
            print(f"kept {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)
    print(f"readme blocks: {passed} passed, {failed} failed, {skipped} skipped")
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
