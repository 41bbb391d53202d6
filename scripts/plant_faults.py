#!/usr/bin/env python3
"""Plants faults into the library one at a time and records whether the test
suite notices each of them.

For every fault of the list: replace one snippet of one file under src/ by
another (the snippet must occur exactly once), rebuild kelvane_tests
incrementally, run the whole suite under a timeout, record the outcome and put
the file back. The file is restored whatever happens (build failure, test
crash, exception, Ctrl-C, SIGTERM), and at the end src/ must be clean
according to git.

Outcomes:
  caught            the suite failed: an assertion, or a crash (signal)
  hang              the suite did not finish within the timeout and was killed
  survived          the suite passed with the fault in place
  does-not-compile  the faulty source did not build (fix the fault)
  dropped           not planted: the list says the behaviour no longer exists

Fault list format (see scripts/faults.txt): blocks separated by blank lines,
lines starting with '#' outside a snippet are comments. Fields:

  id: volume-01
  file: src/volume/Placement.cpp
  what: one line describing the fault in words
  find: single-line snippet (everything after "find: ", exactly)
  replace: single-line replacement
  note: optional, one line: how the fault was carried over to changed code
  dropped: instead of find/replace, one line: why the fault cannot exist
           any more; it is listed in the results but not planted

With --baseline (the .json of an earlier run of a list with the same ids)
the results get a column comparing each outcome with the earlier one.

A multi-line snippet starts on the line after an empty "find:" / "replace:"
with a line "<<<" and ends at a line ">>>"; the lines in between are the
snippet, joined by newlines (no trailing newline). Blank lines inside are
kept. An empty replacement is "<<<" directly followed by ">>>".

Python 3 standard library only.
"""

import argparse
import datetime
import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.parse

TEST_TARGET = "kelvane_tests"
TEST_BINARY = os.path.join("tests", "kelvane_tests")
FIELDS = ("id", "file", "what", "find", "replace", "note", "dropped")
REQUIRED = ("id", "file", "what")
OUTCOMES = ("caught", "hang", "survived", "does-not-compile", "dropped")


class FaultListError(Exception):
    pass


# ---- fault list ---------------------------------------------------------------

def parse_fault_list(path):
    with open(path, encoding="utf-8") as handle:
        lines = handle.read().split("\n")
    faults = []
    current = {}
    current_line = None
    i = 0

    def finish():
        nonlocal current, current_line
        if not current:
            return
        wanted = REQUIRED + (() if "dropped" in current else ("find", "replace"))
        missing = [f for f in wanted if f not in current]
        if missing:
            raise FaultListError("%s:%d: fault %r lacks %s"
                                 % (path, current_line, current.get("id", "?"), ", ".join(missing)))
        current["line"] = current_line
        faults.append(current)
        current = {}
        current_line = None

    while i < len(lines):
        line = lines[i]
        if line.strip() == "":
            finish()
            i += 1
            continue
        if line.startswith("#"):
            i += 1
            continue
        match = re.match(r"^([a-z]+):(.*)$", line)
        if not match or match.group(1) not in FIELDS:
            raise FaultListError("%s:%d: expected one of %s, got %r" % (path, i + 1, FIELDS, line))
        key, rest = match.group(1), match.group(2)
        if key in current:
            raise FaultListError("%s:%d: field %r given twice" % (path, i + 1, key))
        if current_line is None:
            current_line = i + 1
        if key in ("find", "replace") and rest.strip() == "":
            if i + 1 >= len(lines) or lines[i + 1] != "<<<":
                raise FaultListError("%s:%d: empty %s: must be followed by a <<< line" % (path, i + 1, key))
            j = i + 2
            body = []
            while j < len(lines) and lines[j] != ">>>":
                body.append(lines[j])
                j += 1
            if j >= len(lines):
                raise FaultListError("%s:%d: snippet of %s: never closed by >>>" % (path, i + 1, key))
            current[key] = "\n".join(body)
            i = j + 1
            continue
        value = rest[1:] if rest.startswith(" ") else rest
        if key in ("id", "file", "what", "note", "dropped"):
            value = value.strip()
        current[key] = value
        i += 1
    finish()

    seen = set()
    for fault in faults:
        if fault["id"] in seen:
            raise FaultListError("%s:%d: duplicate id %r" % (path, fault["line"], fault["id"]))
        seen.add(fault["id"])
        if not fault["file"].startswith("src/") or ".." in fault["file"].split("/"):
            raise FaultListError("%s:%d: %s: file must lie under src/" % (path, fault["line"], fault["id"]))
        if "dropped" in fault:
            if "find" in fault or "replace" in fault:
                raise FaultListError("%s:%d: %s: a dropped fault has no find/replace"
                                     % (path, fault["line"], fault["id"]))
            if fault["dropped"] == "":
                raise FaultListError("%s:%d: %s: dropped: needs a reason" % (path, fault["line"], fault["id"]))
        else:
            if fault["find"] == "":
                raise FaultListError("%s:%d: %s: empty find snippet" % (path, fault["line"], fault["id"]))
            if fault["find"] == fault["replace"]:
                raise FaultListError("%s:%d: %s: replacement equals the snippet" % (path, fault["line"], fault["id"]))
        for key in ("what", "note", "dropped"):
            if "|" in fault.get(key, ""):
                raise FaultListError("%s:%d: %s: '%s' must not contain '|'" % (path, fault["line"], fault["id"], key))
    return faults


def folder_of(fault):
    parts = fault["file"].split("/")
    return parts[1] if len(parts) > 2 else "(src)"


def read_bytes(path):
    with open(path, "rb") as handle:
        return handle.read()


def write_bytes(path, data):
    # Written in place (same inode), so the file keeps its mode.
    with open(path, "wb") as handle:
        handle.write(data)


def faulty_text(root, fault):
    """Returns (original bytes, faulty bytes); raises when the snippet is not
    found exactly once."""
    path = os.path.join(root, fault["file"])
    if not os.path.isfile(path):
        raise FaultListError("%s: file %s does not exist" % (fault["id"], fault["file"]))
    original = read_bytes(path)
    text = original.decode("utf-8")
    occurrences = text.count(fault["find"])
    if occurrences != 1:
        raise FaultListError("%s: snippet found %d times in %s (must be exactly once):\n%s"
                             % (fault["id"], occurrences, fault["file"], fault["find"]))
    return original, text.replace(fault["find"], fault["replace"], 1).encode("utf-8")


# ---- processes -----------------------------------------------------------------

class Interrupted(Exception):
    pass


def on_sigterm(signum, frame):  # noqa: ARG001
    raise Interrupted("signal %d" % signum)


def kill_group(process):
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def run_logged(command, cwd, log_path, timeout, env=None):
    """Runs command in its own process group with stdout+stderr into log_path.
    Returns (returncode or None on timeout, seconds)."""
    start = time.monotonic()
    with open(log_path, "wb") as log:
        process = subprocess.Popen(command, cwd=cwd, stdout=log, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL, env=env, start_new_session=True)
        try:
            code = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            kill_group(process)
            process.wait()
            code = None
        except BaseException:
            kill_group(process)
            process.wait()
            raise
    return code, time.monotonic() - start


def git(root, *args):
    return subprocess.run(["git", "-C", root] + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True)


def src_is_clean(root):
    return git(root, "diff", "--quiet", "HEAD", "--", "src").returncode == 0


def tail(path, lines=15):
    try:
        with open(path, encoding="utf-8", errors="replace") as handle:
            return "".join(handle.readlines()[-lines:])
    except OSError:
        return ""


# ---- test events ---------------------------------------------------------------

class EventListener:
    """Receives the test binary's streamed events (--gtest_stream_result_to),
    so that the test running at a crash or a hang is known even though
    --gtest_brief=1 prints nothing for passing tests."""

    def __init__(self):
        self.server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(1)
        self.server.settimeout(1.0)
        self.port = self.server.getsockname()[1]
        self.lock = threading.Lock()
        self.suite = None
        self.current = None      # test started and not ended
        self.first_failed = None
        self.stopping = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        connection = None
        while not self.stopping and connection is None:
            try:
                connection, _ = self.server.accept()
            except socket.timeout:
                continue
            except OSError:
                return
        if connection is None:
            return
        connection.settimeout(1.0)
        buffer = b""
        while not self.stopping:
            try:
                chunk = connection.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                break
            if not chunk:
                break
            buffer += chunk
            while b"\n" in buffer:
                line, buffer = buffer.split(b"\n", 1)
                self._event(line.decode("utf-8", errors="replace"))
        connection.close()

    def _event(self, line):
        fields = {}
        for part in line.split("&"):
            key, _, value = part.partition("=")
            fields[key] = urllib.parse.unquote(value)
        event = fields.get("event")
        with self.lock:
            if event == "TestCaseStart":
                self.suite = fields.get("name")
            elif event == "TestStart":
                self.current = "%s.%s" % (self.suite, fields.get("name"))
            elif event == "TestEnd":
                if fields.get("passed") == "0" and self.first_failed is None:
                    self.first_failed = self.current
                self.current = None

    def snapshot(self):
        with self.lock:
            return self.current, self.first_failed

    def close(self):
        self.stopping = True
        self.thread.join(timeout=5)
        self.server.close()


FAILED_LINE = re.compile(r"^\[  FAILED  \] (\S+)")


def first_failed_in_log(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as handle:
            for line in handle:
                match = FAILED_LINE.match(line)
                if match and "listed below" not in line and match.group(1)[0].isalpha():
                    return match.group(1).rstrip(",")
    except OSError:
        pass
    return None


def signal_name(code):
    try:
        return signal.Signals(-code).name
    except (ValueError, TypeError):
        return "signal %d" % -code


def supports_fail_fast(binary, cwd):
    """gtest 1.12 knows --gtest_fail_fast but does not list it in --help; an
    unknown --gtest_ flag makes the binary print its help instead."""
    help_text = subprocess.run([binary, "--help"], cwd=cwd, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, timeout=60).stdout
    if "fail_fast" in help_text:
        return True
    probe = subprocess.run([binary, "--gtest_fail_fast", "--gtest_filter=-*"], cwd=cwd,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
    return probe.returncode == 0 and "This program contains tests" not in probe.stdout


def run_suite(binary, build, log_path, timeout, fail_fast):
    """Runs the whole suite. Returns a dict: outcome, test, detail, seconds."""
    listener = EventListener()
    command = [binary, "--gtest_brief=1", "--gtest_color=no",
               "--gtest_stream_result_to=127.0.0.1:%d" % listener.port]
    if fail_fast:
        command.append("--gtest_fail_fast")
    try:
        code, seconds = run_logged(command, build, log_path, timeout)
    finally:
        listener.close()
    current, streamed_failure = listener.snapshot()
    result = {"seconds": round(seconds, 1), "returncode": code}
    if code is None:
        result.update(outcome="hang", test=current or "", detail="killed after %d s" % timeout)
    elif code == 0:
        with open(log_path, encoding="utf-8", errors="replace") as handle:
            passed = "[  PASSED  ]" in handle.read()
        result.update(outcome="survived", test="",
                      detail="" if passed else "exit 0 without the gtest summary")
    elif code < 0:
        result.update(outcome="caught", test=current or streamed_failure or "",
                      detail="crash: %s" % signal_name(code))
    else:
        test = first_failed_in_log(log_path) or streamed_failure or current or ""
        detail = "assertion" if (first_failed_in_log(log_path) or streamed_failure) else "exit %d" % code
        result.update(outcome="caught", test=test, detail=detail)
    return result


# ---- report --------------------------------------------------------------------

def summarise(records):
    def line(label, subset):
        count = {k: 0 for k in OUTCOMES}
        for r in subset:
            count[r["outcome"]] += 1
        planted = len(subset) - count["does-not-compile"] - count["dropped"]
        text = "%s: caught %d of %d" % (label, count["caught"], planted)
        extras = []
        if count["hang"]:
            extras.append("%d hang%s" % (count["hang"], "" if count["hang"] == 1 else "s"))
        extras.append("%d survived" % count["survived"])
        if count["does-not-compile"]:
            extras.append("%d did not compile (not counted)" % count["does-not-compile"])
        if count["dropped"]:
            extras.append("%d dropped (not counted)" % count["dropped"])
        return text + " (" + ", ".join(extras) + ")"

    folders = []
    for r in records:
        if r["folder"] not in folders:
            folders.append(r["folder"])
    lines = [line(folder, [r for r in records if r["folder"] == folder]) for folder in folders]
    lines.append(line("overall", records))
    return lines


def group_of(fault_id):
    """The fault's group as named by its id (api-01 -> api); stays the same
    when a fault is carried over into a file of another folder."""
    return fault_id.split("-", 1)[0]


def comparison(old, new):
    """One cell comparing an earlier outcome with the current one."""
    if old is None:
        return "(not in the earlier run)"
    if new == "dropped":
        return "%s; now dropped" % old
    if old == new:
        return "%s; same" % old
    if old == "caught":
        return "%s; **now %s**" % (old, new)
    if new == "caught":
        return "%s; **now caught**" % old
    return "%s; now %s" % (old, new)


def write_report(path, meta, records, complete, faults=None, baseline=None):
    escape = lambda s: str(s).replace("|", "\\|").replace("\n", " ")  # noqa: E731
    baseline = baseline or {}
    out = []
    out.append("# Planted faults against the test suite")
    out.append("")
    out.append("- commit: `%s`%s" % (meta["commit"], "" if meta["clean_tree"] else " (with uncommitted changes outside src/)"))
    out.append("- fault list: `%s` (%d faults)" % (meta["list"], meta["fault_count"]))
    out.append("- suite: `%s` (%s)" % (" ".join(meta["test_flags"]), "fail-fast" if meta["fail_fast"] else "no fail-fast"))
    out.append("- timeout per run: %d s; build jobs: %d; build type: %s" % (meta["timeout"], meta["jobs"], meta["build_type"]))
    out.append("- unmodified suite: passed in %.1f s" % meta["baseline_seconds"])
    if meta.get("baseline"):
        out.append("- compared with: `%s` (commit `%s`)" % (meta["baseline"], meta.get("baseline_commit", "?")))
    out.append("- started %s%s" % (meta["started"], "" if not complete else ", whole run took %s" % meta.get("duration", "?")))
    if not complete:
        out.append("- **incomplete**: %d of %d faults run so far" % (len(records), meta["fault_count"]))
    out.append("")
    if baseline:
        out.append("| id | folder | what the fault does | outcome | first failing test | earlier run; now |")
        out.append("|---|---|---|---|---|---|")
    else:
        out.append("| id | folder | what the fault does | outcome | first failing test |")
        out.append("|---|---|---|---|---|")
    for r in records:
        outcome = r["outcome"]
        if r.get("detail"):
            outcome += " (" + r["detail"] + ")"
        test = "`%s`" % r["test"] if r.get("test") else ""
        cells = [escape(r["id"]), escape(r["folder"]), escape(r["what"]), escape(outcome), escape(test)]
        if baseline:
            old = baseline.get(r["id"])
            cells.append(escape(comparison(old["outcome"] if old else None, r["outcome"])))
        out.append("| " + " | ".join(cells) + " |")
    out.append("")
    out.append("## Summary")
    out.append("")
    for line in summarise(records):
        out.append("- " + line)
    out.append("")
    if baseline:
        ran = [r for r in records if r["id"] in baseline]
        earlier = [dict(baseline[r["id"]], folder=group_of(r["id"])) for r in ran]
        now = [dict(r, folder=group_of(r["id"])) for r in ran]
        out.append("## Compared with the earlier run")
        out.append("")
        out.append("By fault group (the id's prefix, whatever folder the fault lies in now):")
        out.append("")
        out.append("| group | earlier run | now |")
        out.append("|---|---|---|")
        for old_line, new_line in zip(summarise(earlier), summarise(now)):
            label, _, old_text = old_line.partition(": ")
            out.append("| %s | %s | %s |" % (label, old_text, new_line.partition(": ")[2]))
        out.append("")
        missed = [r for r in ran if baseline[r["id"]]["outcome"] == "caught" and r["outcome"] != "caught"]
        gained = [r for r in ran if baseline[r["id"]]["outcome"] != "caught" and r["outcome"] == "caught"]
        out.append("- caught by the earlier run, not caught now: %s"
                   % (", ".join("%s (%s)" % (r["id"], r["outcome"]) for r in missed) or "none"))
        out.append("- not caught by the earlier run, caught now: %s"
                   % (", ".join("%s (was %s)" % (r["id"], baseline[r["id"]]["outcome"]) for r in gained) or "none"))
        out.append("")
    notes = [f for f in (faults or []) if f.get("note") or f.get("dropped")]
    if notes:
        out.append("## How faults were carried over")
        out.append("")
        for f in notes:
            if f.get("dropped"):
                out.append("- **%s** (dropped): %s" % (f["id"], f["dropped"]))
            else:
                out.append("- **%s** (`%s`): %s" % (f["id"], f["file"], f["note"]))
        out.append("")
    out.append("## Times")
    out.append("")
    out.append("| id | build s | suite s |")
    out.append("|---|---|---|")
    for r in records:
        out.append("| %s | %s | %s |" % (r["id"], r.get("build_seconds", ""), r.get("suite_seconds", "")))
    out.append("")
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="utf-8") as handle:
        handle.write("\n".join(out))
    os.replace(temporary, path)
    with open(os.path.splitext(path)[0] + ".json", "w", encoding="utf-8") as handle:
        json.dump({"meta": meta, "results": records, "complete": complete}, handle, indent=1)


# ---- main ----------------------------------------------------------------------

def log(message):
    stamp = datetime.datetime.now().strftime("%H:%M:%S")
    print("[%s] %s" % (stamp, message), flush=True)


def main():
    script_dir = os.path.dirname(os.path.abspath(__file__))
    root = git(script_dir, "rev-parse", "--show-toplevel").stdout.strip() or os.path.dirname(script_dir)

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--list", default=os.path.join(script_dir, "faults.txt"), help="fault list file")
    parser.add_argument("--build", default=os.path.join(root, "build", "faults"), help="build directory (Release)")
    parser.add_argument("--only", default="", help="comma-separated fault ids to run")
    parser.add_argument("--jobs", type=int, default=2, help="parallel build jobs (default 2)")
    parser.add_argument("--out", default=os.path.join(script_dir, "faults-results.md"), help="markdown results file")
    parser.add_argument("--baseline", default="",
                        help="results .json of an earlier run with the same ids, to compare outcomes with")
    parser.add_argument("--timeout", type=int, default=240, help="seconds before a suite run counts as a hang")
    parser.add_argument("--build-timeout", type=int, default=3600, help="seconds allowed for one build")
    parser.add_argument("--check", action="store_true", help="only validate the list against src/, build nothing")
    args = parser.parse_args()

    signal.signal(signal.SIGTERM, on_sigterm)

    faults = parse_fault_list(args.list)
    if args.only:
        wanted = [x.strip() for x in args.only.split(",") if x.strip()]
        unknown = [x for x in wanted if x not in {f["id"] for f in faults}]
        if unknown:
            raise FaultListError("unknown ids: " + ", ".join(unknown))
        faults = [f for f in faults if f["id"] in wanted]

    baseline = {}
    baseline_meta = {}
    if args.baseline:
        with open(args.baseline, encoding="utf-8") as handle:
            earlier = json.load(handle)
        baseline = {r["id"]: r for r in earlier.get("results", [])}
        baseline_meta = earlier.get("meta", {})
        unknown = sorted({f["id"] for f in faults} - set(baseline))
        if unknown:
            log("warning: not in the baseline: " + ", ".join(unknown))

    if not src_is_clean(root):
        raise SystemExit("src/ has uncommitted changes; refusing to plant faults into it")
    planted = [f for f in faults if "dropped" not in f]
    for fault in planted:  # every snippet is checked before anything is built
        faulty_text(root, fault)
    log("%d faults, every snippet found exactly once%s"
        % (len(planted), "" if len(planted) == len(faults) else "; %d dropped" % (len(faults) - len(planted))))
    if args.check:
        return 0

    build = os.path.abspath(args.build)
    os.makedirs(build, exist_ok=True)
    logs = os.path.join(build, "fault-logs")
    os.makedirs(logs, exist_ok=True)
    binary = os.path.join(build, TEST_BINARY)
    out_path = os.path.abspath(args.out)

    cache = os.path.join(build, "CMakeCache.txt")
    if not os.path.exists(cache):
        log("configuring %s (Release)" % build)
        code, _ = run_logged(["cmake", "-S", root, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                              "-DKELVANE_BUILD_BENCH=OFF", "-DKELVANE_BUILD_TOOLS=ON",
                              "-DKELVANE_BUILD_EXAMPLES=OFF"],
                             root, os.path.join(logs, "configure.log"), args.build_timeout)
        if code != 0:
            raise SystemExit("configure failed:\n" + tail(os.path.join(logs, "configure.log")))
    build_type = "?"
    with open(cache, encoding="utf-8", errors="replace") as handle:
        for line in handle:
            if line.startswith("CMAKE_BUILD_TYPE:"):
                build_type = line.split("=", 1)[1].strip()
    if build_type != "Release":
        log("warning: build type is %r, not Release" % build_type)

    build_command = ["cmake", "--build", build, "--target", TEST_TARGET, "-j", str(args.jobs)]
    started = datetime.datetime.now()
    run_start = time.monotonic()

    log("building the unmodified tree")
    code, seconds = run_logged(build_command, root, os.path.join(logs, "baseline-build.log"), args.build_timeout)
    if code != 0:
        raise SystemExit("the unmodified tree does not build:\n" + tail(os.path.join(logs, "baseline-build.log")))
    fail_fast = supports_fail_fast(binary, build)
    log("built in %.0f s; --gtest_fail_fast %s" % (seconds, "supported" if fail_fast else "not supported"))
    unmodified = run_suite(binary, build, os.path.join(logs, "baseline-suite.log"), args.timeout, fail_fast)
    if unmodified["outcome"] != "survived" or unmodified.get("detail"):
        raise SystemExit("the unmodified suite does not pass (%s %s %s); aborting"
                         % (unmodified["outcome"], unmodified.get("test", ""), unmodified.get("detail", "")))
    log("unmodified suite passed in %.1f s" % unmodified["seconds"])

    head = git(root, "rev-parse", "HEAD").stdout.strip()
    meta = {
        "commit": head,
        "clean_tree": git(root, "diff", "--quiet", "HEAD").returncode == 0,
        "list": os.path.relpath(os.path.abspath(args.list), root),
        "fault_count": len(faults),
        "test_flags": ["--gtest_brief=1"] + (["--gtest_fail_fast"] if fail_fast else []),
        "fail_fast": fail_fast,
        "timeout": args.timeout,
        "jobs": args.jobs,
        "build_type": build_type,
        "baseline_seconds": unmodified["seconds"],
        "started": started.strftime("%Y-%m-%d %H:%M"),
    }
    if args.baseline:
        meta["baseline"] = os.path.abspath(args.baseline)
        meta["baseline_commit"] = baseline_meta.get("commit", "?")

    records = []
    complete = False
    interrupted = False
    originals = {}  # path -> bytes of every file touched, for the final safety net
    try:
        for number, fault in enumerate(faults, 1):
            record = {"id": fault["id"], "folder": folder_of(fault), "file": fault["file"],
                      "what": fault["what"]}
            if "dropped" in fault:
                record.update(outcome="dropped", test="", detail="")
                log("[%d/%d] %s: dropped (%s)" % (number, len(faults), fault["id"], fault["dropped"]))
                records.append(record)
                write_report(out_path, meta, records, False, faults, baseline)
                continue
            path = os.path.join(root, fault["file"])
            original, faulty = faulty_text(root, fault)
            originals.setdefault(path, original)
            log("[%d/%d] %s: %s" % (number, len(faults), fault["id"], fault["what"]))
            try:
                write_bytes(path, faulty)
                build_log = os.path.join(logs, fault["id"] + "-build.log")
                code, seconds = run_logged(build_command, root, build_log, args.build_timeout)
                record["build_seconds"] = round(seconds)
                if code != 0:
                    record.update(outcome="does-not-compile", test="",
                                  detail="build failed" if code is not None else "build timed out")
                    log("    does not compile:\n" + tail(build_log, 8))
                else:
                    result = run_suite(binary, build, os.path.join(logs, fault["id"] + "-suite.log"),
                                       args.timeout, fail_fast)
                    record["suite_seconds"] = result["seconds"]
                    record.update(outcome=result["outcome"], test=result["test"], detail=result["detail"])
            finally:
                write_bytes(path, original)
            log("    %s %s %s (build %ss, suite %ss)" % (record["outcome"], record.get("test", ""),
                                                      record.get("detail", ""), record.get("build_seconds", "-"),
                                                      record.get("suite_seconds", "-")))
            records.append(record)
            write_report(out_path, meta, records, False, faults, baseline)
        complete = True
    except (KeyboardInterrupt, Interrupted) as stop:
        interrupted = True
        log("interrupted (%s); restoring and writing what was recorded" % (stop or "Ctrl-C"))
    finally:
        for path, data in originals.items():
            if read_bytes(path) != data:
                write_bytes(path, data)
        clean = src_is_clean(root)
        if complete:
            duration = int(time.monotonic() - run_start)
            meta["duration"] = "%d min %02d s" % (duration // 60, duration % 60)
        write_report(out_path, meta, records, complete, faults, baseline)
        if not clean:
            print("ERROR: src/ is not clean after restoring; inspect `git diff -- src`", file=sys.stderr)
            sys.exit(3)
        log("src/ is clean again")
    if interrupted:
        return 130

    # Leave the build directory matching the sources.
    log("rebuilding the unmodified tree")
    run_logged(build_command, root, os.path.join(logs, "final-build.log"), args.build_timeout)
    for line in summarise(records):
        log(line)
    log("results: %s" % out_path)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except FaultListError as error:
        print("fault list error: %s" % error, file=sys.stderr)
        sys.exit(2)
    except (KeyboardInterrupt, Interrupted):
        # Only reachable before any fault was planted (or after all were
        # restored): nothing under src/ is modified here.
        print("interrupted", file=sys.stderr)
        sys.exit(130)
