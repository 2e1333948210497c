#!/usr/bin/env python3
"""Run the strataperm binary and the Python reference on random studies and
compare standard output, the results file and the exit status byte for byte.

usage: compare_with_reference.py --binary PATH --count K [--seed S] [--workdir D] [--jobs J]
                                 [--table] [--regimes R1,R2,...]

Study k (k = 0..K-1) uses seed S + k and the regime k-th in the cycle
one, two, overlap, odd, ties, tiny, mixed.

Every study runs with both adjustments of the codes: "means" (the bare
program "PATH", started in the study folder) and "sequential"
("PATH run --adjustment sequential FOLDER"), the reference with the same
choice.  About one study in five (drawn from its seed and regime) also runs
with a random file of 1 to 4 cluster labels, "PATH run --within FILE
FOLDER", with the "means" adjustment.

With --table the "means" run of the binary is "PATH run FOLDER", the
reference runs with --table, and the per-marker table results.tsv is
compared as well (results.log and results.similarity.tsv are not).  The
cycle then goes on with the regimes with missing calls, missing,
degenerate, constant, and every study has a markers.tsv (usually well
formed, sometimes absent or unusable).  --regimes replaces the cycle by
the regimes listed.

The reference runs in this process (run_reference), writing and reading
back the files its command line would write.

Each mismatch prints one line naming the study's seed and regime, then for
each differing output the run ([means], [sequential] or [within]), the
file, its first differing line on both sides and a short diff; the study
folder is kept under the work folder for inspection (folders of passing
studies are removed).  Outputs that differ only in the printed sign of a
NaN ("nan" against "-nan") count as passing but are reported.  The last
line is "K passed, F failed"; the exit status is 0 only if none failed.
"""

import argparse
import concurrent.futures
import difflib
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True  # keep the source folder free of caches

import make_study  # noqa: E402
import strataperm_reference as reference  # noqa: E402

CYCLE = ("one", "two", "overlap", "odd", "ties", "tiny", "mixed")
TABLE_CYCLE = CYCLE + make_study.MISSING_CALL_REGIMES
RUN_TIMEOUT_S = 120
WITHIN_SHARE = 0.2
CLUSTER_FILE = "clusters.txt"
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


def run_reference(folder, arguments):
    """The reference on the study in `folder` as its command line runs it
    there with `arguments`, but in this process (a Python start for every
    run would cost more than the run): the same files written, and the same
    (exit status, stdout bytes, results.txt bytes, stderr bytes,
    results.tsv bytes) as run_in returns."""
    with_table, adjustment, clusters_file = reference.parse_arguments(arguments)
    try:
        run = reference.run_full(folder, with_table=with_table, adjustment=adjustment,
                                 clusters_file=clusters_file)
    except reference.InputError:
        return 1, b"", None, b"", None
    # the table after the results file, as the command line writes them
    for name, text in ((run.results_name, run.results_text), (run.table_name, run.table_text)):
        if name is not None:
            reference.write_output(os.path.join(folder, name), text)
    return (run.status, run.stdout_text.encode("latin-1"),
            read_if_present(os.path.join(folder, "results.txt")), b"",
            read_if_present(os.path.join(folder, "results.tsv")))


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


def first_difference(name, expected, actual):
    """The first differing line of two outputs, both sides quoted."""
    if expected is None or actual is None:
        return []
    left = expected.decode("latin-1").splitlines(keepends=True)
    right = actual.decode("latin-1").splitlines(keepends=True)
    for number in range(max(len(left), len(right))):
        a = left[number] if number < len(left) else None
        b = right[number] if number < len(right) else None
        if a != b:
            return ["  %s first differs at line %d:" % (name, number + 1),
                    "    reference: %s" % ("(none)" if a is None else repr(a)),
                    "    binary:    %s" % ("(none)" if b is None else repr(b))]
    return []


def with_clusters(seed, regime):
    """Whether study (seed, regime) also runs with a random cluster file:
    about one in five, drawn from the seed and regime."""
    return random.Random("%s:%s:within" % (seed, regime)).random() < WITHIN_SHARE


def variants(table, clusters):
    """(name, binary arguments before the folder, reference arguments) of
    the runs of one study; clusters is the cluster file's path or None.
    The "means" run is the bare program unless the table is compared; the
    others go through the run subcommand."""
    table_flag = ["--table"] if table else []
    runs = [("means", ["run"] if table else None, table_flag),
            ("sequential", ["run", "--adjustment", "sequential"],
             table_flag + ["--adjustment", "sequential"])]
    if clusters is not None:
        runs.append(("within", ["run", "--within", clusters], table_flag + ["--within", clusters]))
    return runs


def compare_run(binary, folder, inputs, name, binary_arguments, reference_arguments, table):
    """Runs one variant of a study on both sides; returns (problems,
    NaN-sign notes)."""
    if binary_arguments is None:  # the bare program, started in the study folder
        binary_command, binary_cwd = [binary], None
    else:  # started outside the study folder and given its path
        binary_command = [binary] + binary_arguments + [os.path.join(folder, "binary_" + name)]
        binary_cwd = folder
    runs = {}
    for side in ("binary", "reference"):
        side_folder = os.path.join(folder, side + "_" + name)
        os.makedirs(side_folder)
        for file_name in (TABLE_INPUT_FILES if table else INPUT_FILES):
            if os.path.exists(os.path.join(inputs, file_name)):
                shutil.copy(os.path.join(inputs, file_name), side_folder)
        if side == "binary":
            runs[side] = run_in(side_folder, binary_command, binary_cwd)
        else:
            runs[side] = run_reference(side_folder, reference_arguments)

    b_status, b_out, b_res, b_err, b_table = runs["binary"]
    r_status, r_out, r_res, _, r_table = runs["reference"]
    problems = []
    if b_status != r_status:
        problems.append("  [%s] exit status: reference %s, binary %s" % (name, r_status, b_status))
        if b_err:
            problems.append("  binary stderr: " + b_err.decode("latin-1")[:300].rstrip())
    nan_notes = []
    compared = [("stdout", r_out, b_out), ("results.txt", r_res, b_res)]
    if table:
        compared.append(("results.tsv", r_table, b_table))
    for file_name, expected, actual in compared:
        if expected == actual:
            continue
        if nan_sign_blind(expected) == nan_sign_blind(actual):
            nan_notes.append("%s (%s)" % (file_name, name))
            continue
        label = "[%s] %s" % (name, file_name)
        problems.extend(first_difference(label, expected, actual))
        problems.extend(short_diff(label, expected, actual))
    return problems, nan_notes


def check_study(binary, workdir, seed, regime, table=False, within=None):
    """Runs the study in every variant (the "means" and "sequential"
    adjustments, and with a cluster file when `within` says so, by default
    for about one study in five).  Returns (passed, report lines)."""
    folder = os.path.join(workdir, "study_%d_%s%s" % (seed, regime, "_table" if table else ""))
    shutil.rmtree(folder, ignore_errors=True)
    inputs = os.path.join(folder, "input")
    if within is None:
        within = with_clusters(seed, regime)
    # the cluster file lies outside the study folders, named by its full path
    clusters = os.path.join(folder, CLUSTER_FILE) if within else None
    actual_regime = make_study.write_study(inputs, seed, regime, marker_table=table,
                                           clusters_file=clusters)
    label = "seed %d regime %s" % (seed, regime)
    if actual_regime != regime:
        label += " (%s)" % actual_regime
    if within:
        label += " with clusters"

    problems = []
    nan_notes = []
    for name, binary_arguments, reference_arguments in variants(table, clusters):
        found, notes = compare_run(binary, folder, inputs, name, binary_arguments,
                                   reference_arguments, table)
        problems.extend(found)
        nan_notes.extend(notes)

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
    sys.setrecursionlimit(max(10000, sys.getrecursionlimit()))

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
