#!/usr/bin/env python3
"""Run the strataperm binary and the Python reference on random studies and
compare standard output, the results file and the exit status byte for byte.

usage: compare_with_reference.py --binary PATH --count K [--seed S] [--workdir D] [--jobs J]

Study k (k = 0..K-1) uses seed S + k and the regime k-th in the cycle
one, two, overlap, odd, ties, tiny, mixed.  Each mismatch prints one line
naming the study's seed and regime followed by a short diff; the study
folder is kept under the work folder for inspection (folders of passing
studies are removed).  Outputs that differ only in the printed sign of a
NaN ("nan" against "-nan") count as passing but are reported.  The last
line is "K passed, F failed"; the exit status is 0 only if none failed.
"""

import argparse
import concurrent.futures
import difflib
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True  # keep the source folder free of caches

import make_study  # noqa: E402

REFERENCE = os.path.join(HERE, "strataperm_reference.py")
CYCLE = ("one", "two", "overlap", "odd", "ties", "tiny", "mixed")
RUN_TIMEOUT_S = 120
INPUT_FILES = ("parameter.txt", "genotypes.txt", "traits.txt")


def run_in(folder, command):
    """Run a command in folder; return (exit status, stdout bytes, results bytes)."""
    try:
        completed = subprocess.run(command, cwd=folder, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   timeout=RUN_TIMEOUT_S)
        status = completed.returncode
        stdout = completed.stdout
        stderr = completed.stderr
    except subprocess.TimeoutExpired:
        status, stdout, stderr = "timeout", b"", b""
    results_path = os.path.join(folder, "results.txt")
    results = None
    if os.path.exists(results_path):
        with open(results_path, "rb") as handle:
            results = handle.read()
    return status, stdout, results, stderr


def nan_sign_blind(data):
    if data is None:
        return None
    return re.sub(rb"-nan", b"nan", data)


def short_diff(name, expected, actual, limit=12):
    if expected is None or actual is None:
        return ["  %s: reference %s, binary %s" % (
            name, "missing" if expected is None else "present",
            "missing" if actual is None else "present")]
    lines = list(difflib.unified_diff(
        expected.decode("latin-1").splitlines(keepends=True),
        actual.decode("latin-1").splitlines(keepends=True),
        fromfile="reference " + name, tofile="binary " + name, n=1))
    shown = ["  " + line.rstrip("\n") for line in lines[:limit]]
    if len(lines) > limit:
        shown.append("  ... (%d more diff lines)" % (len(lines) - limit))
    return shown


def check_study(binary, workdir, seed, regime):
    """Returns (passed, report lines)."""
    folder = os.path.join(workdir, "study_%d_%s" % (seed, regime))
    shutil.rmtree(folder, ignore_errors=True)
    inputs = os.path.join(folder, "input")
    actual_regime = make_study.write_study(inputs, seed, regime)
    label = "seed %d regime %s" % (seed, regime)
    if actual_regime != regime:
        label += " (%s)" % actual_regime

    runs = {}
    for side, command in (("binary", [binary]), ("reference", [sys.executable, REFERENCE])):
        side_folder = os.path.join(folder, side)
        os.makedirs(side_folder)
        for name in INPUT_FILES:
            shutil.copy(os.path.join(inputs, name), side_folder)
        runs[side] = run_in(side_folder, command)

    b_status, b_out, b_res, b_err = runs["binary"]
    r_status, r_out, r_res, _ = runs["reference"]
    problems = []
    if b_status != r_status:
        problems.append("  exit status: reference %s, binary %s" % (r_status, b_status))
        if b_err:
            problems.append("  binary stderr: " + b_err.decode("latin-1")[:300].rstrip())
    nan_notes = []
    for name, expected, actual in (("stdout", r_out, b_out), ("results.txt", r_res, b_res)):
        if expected == actual:
            continue
        if nan_sign_blind(expected) == nan_sign_blind(actual):
            nan_notes.append(name)
            continue
        problems.extend(short_diff(name, expected, actual))

    if problems:
        return False, ["MISMATCH %s (kept in %s)" % (label, folder)] + problems
    shutil.rmtree(folder, ignore_errors=True)
    if nan_notes:
        return True, ["note %s: only the sign of a NaN differs in %s" % (label, ", ".join(nan_notes))]
    return True, []


def main():
    parser = argparse.ArgumentParser(description="compare strataperm with the Python reference")
    parser.add_argument("--binary", required=True)
    parser.add_argument("--count", type=int, required=True)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--workdir")
    parser.add_argument("--jobs", type=int, default=max(1, min(4, os.cpu_count() or 1)))
    args = parser.parse_args()

    binary = os.path.abspath(args.binary)
    if not os.access(binary, os.X_OK):
        print("binary %s is not executable" % binary)
        return 2
    own_workdir = args.workdir is None
    workdir = args.workdir or tempfile.mkdtemp(prefix="strataperm_compare_")
    workdir = os.path.abspath(workdir)
    os.makedirs(workdir, exist_ok=True)

    studies = [(args.seed + k, CYCLE[k % len(CYCLE)]) for k in range(args.count)]
    passed = 0
    failed = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        futures = [pool.submit(check_study, binary, workdir, seed, regime)
                   for seed, regime in studies]
        for future in futures:
            ok, report = future.result()
            for line in report:
                print(line)
            sys.stdout.flush()
            if ok:
                passed += 1
            else:
                failed += 1
    if failed == 0 and own_workdir:
        try:
            os.rmdir(workdir)
        except OSError:
            pass
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
