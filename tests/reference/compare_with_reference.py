#!/usr/bin/env python3
"""Run the strataperm binary and the Python reference on random studies and
compare standard output, the results file and the exit status byte for byte.

usage: compare_with_reference.py --binary PATH --count K [--seed S] [--workdir D] [--jobs J]
                                 [--table] [--regimes R1,R2,...]

Study k (k = 0..K-1) uses seed S + k and the regime k-th in the cycle
one, two, overlap, odd, ties, tiny, mixed.

With --table the binary runs as "PATH run FOLDER" and the reference with
--table; the per-marker table results.tsv is compared as well (results.log
and results.named.tsv are not).  The cycle then goes on with the regimes
with missing calls, missing, degenerate, constant, and every study has a
markers.tsv (usually well formed, sometimes absent or unusable).
--regimes replaces the cycle by the regimes listed.

Each mismatch prints one line
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
TABLE_CYCLE = CYCLE + make_study.MISSING_CALL_REGIMES
RUN_TIMEOUT_S = 120
INPUT_FILES = ("parameter.txt", "genotypes.txt", "traits.txt")
TABLE_INPUT_FILES = INPUT_FILES + ("markers.tsv",)


def read_if_present(path):
    if not os.path.exists(path):
        return None
    with open(path, "rb") as handle:
        return handle.read()


def run_in(folder, command, cwd=None):
    """Run a command (in cwd, by default in folder); return (exit status,
    stdout bytes, results.txt bytes, stderr bytes, results.tsv bytes), the
    files read from folder."""
    try:
        completed = subprocess.run(command, cwd=cwd or folder, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   timeout=RUN_TIMEOUT_S)
        status = completed.returncode
        stdout = completed.stdout
        stderr = completed.stderr
    except subprocess.TimeoutExpired:
        status, stdout, stderr = "timeout", b"", b""
    results = read_if_present(os.path.join(folder, "results.txt"))
    table = read_if_present(os.path.join(folder, "results.tsv"))
    return status, stdout, results, stderr, table


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


def check_study(binary, workdir, seed, regime, table=False):
    """Returns (passed, report lines)."""
    folder = os.path.join(workdir, "study_%d_%s%s" % (seed, regime, "_table" if table else ""))
    shutil.rmtree(folder, ignore_errors=True)
    inputs = os.path.join(folder, "input")
    actual_regime = make_study.write_study(inputs, seed, regime, marker_table=table)
    label = "seed %d regime %s" % (seed, regime)
    if actual_regime != regime:
        label += " (%s)" % actual_regime

    runs = {}
    sides = {"binary": ([binary], None), "reference": ([sys.executable, REFERENCE], None)}
    if table:
        # the binary is started outside the study folder and given its path
        sides = {"binary": ([binary, "run", os.path.join(folder, "binary")], folder),
                 "reference": ([sys.executable, REFERENCE, "--table"], None)}
    for side, (command, cwd) in sides.items():
        side_folder = os.path.join(folder, side)
        os.makedirs(side_folder)
        for name in (TABLE_INPUT_FILES if table else INPUT_FILES):
            if os.path.exists(os.path.join(inputs, name)):
                shutil.copy(os.path.join(inputs, name), side_folder)
        runs[side] = run_in(side_folder, command, cwd)

    b_status, b_out, b_res, b_err, b_table = runs["binary"]
    r_status, r_out, r_res, _, r_table = runs["reference"]
    problems = []
    if b_status != r_status:
        problems.append("  exit status: reference %s, binary %s" % (r_status, b_status))
        if b_err:
            problems.append("  binary stderr: " + b_err.decode("latin-1")[:300].rstrip())
    nan_notes = []
    compared = [("stdout", r_out, b_out), ("results.txt", r_res, b_res)]
    if table:
        compared.append(("results.tsv", r_table, b_table))
    for name, expected, actual in compared:
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
    parser.add_argument("--table", action="store_true",
                        help="run the binary's run subcommand and compare results.tsv too, "
                             "on the regimes with missing calls as well")
    parser.add_argument("--regimes", help="comma-separated regimes to cycle through instead")
    args = parser.parse_args()

    binary = os.path.abspath(args.binary)
    if not os.access(binary, os.X_OK):
        print("binary %s is not executable" % binary)
        return 2
    own_workdir = args.workdir is None
    workdir = args.workdir or tempfile.mkdtemp(prefix="strataperm_compare_")
    workdir = os.path.abspath(workdir)
    os.makedirs(workdir, exist_ok=True)

    cycle = TABLE_CYCLE if args.table else CYCLE
    if args.regimes:
        cycle = tuple(args.regimes.split(","))
        unknown = [r for r in cycle if r not in make_study.ALL_REGIMES]
        if unknown:
            print("unknown regime %s; known: %s" % (", ".join(unknown),
                                                   ", ".join(make_study.ALL_REGIMES)))
            return 2
    studies = [(args.seed + k, cycle[k % len(cycle)]) for k in range(args.count)]
    passed = 0
    failed = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        futures = [pool.submit(check_study, binary, workdir, seed, regime, args.table)
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
