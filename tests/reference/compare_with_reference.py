#!/usr/bin/env python3
"""Run the strataperm binary and the Python reference on random studies and
compare standard output, the results file and the exit status byte for byte.

usage: compare_with_reference.py --binary PATH --count K [--seed S] [--workdir D] [--jobs J]
                                 [--table | --covariates] [--regimes R1,R2,...]

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

With --covariates every study runs once, "PATH run --covar FILE
FOLDER", on the regimes of COVARIATE_CYCLE, with a random covariate file
of 1 to 5 columns (see covariate_case: some with --covar-name, about a
third with --within, and about one in seven made unusable on purpose,
which both sides must refuse, naming the file and the column).  The two
least-squares fits round differently, so RESULTS.tsv is compared value by
value within a tolerance (compare_covariate_table); standard output and
the results file byte for byte, but for the P-values of markers whose
replicates tie their observed statistic up to rounding.

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
    line = reference.parse_arguments(arguments)
    try:
        run = reference.run_full(folder, with_table=line.with_table, adjustment=line.adjustment,
                                 clusters_file=line.clusters_file, covar_file=line.covar_file,
                                 covar_names=line.covar_names)
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


# ---------------------------------------------------------------------------
# Covariates: the program's fit against the reference's, within rounding
# ---------------------------------------------------------------------------

COVARIATE_CYCLE = ("one", "two", "overlap", "missing", "degenerate", "odd", "ties", "constant",
                   "tiny")
COVARIATE_FILE = "covariates.txt"
WITHIN_COVARIATE_SHARE = 0.3
NAMED_CHOICE_SHARE = 0.25
REFUSAL_SHARE = 0.15
REFUSALS = ("indicator", "constant", "combination", "text", "sequential")
# Two least-squares fits of the same data agree to about this share of a
# value (or, for values near zero, to this much)
RELATIVE_TOLERANCE = 1e-9
ABSOLUTE_TOLERANCE = 1e-12
# the fitted values' columns of RESULTS.tsv, in order (EMP1 and EMP2 follow)
FITTED_COLUMNS = ("BETA_ADD", "SE_ADD", "BETA_DOM", "SE_DOM", "F_STAT", "P")


def reference_groups(folder, clusters):
    """(N, the same-group lists' partition (group[1..N], G) or None when
    they overlap) as the reference forms them for the study in folder."""
    study = reference.read_parameters(folder, [])
    n = study.n_individuals
    g = reference.compute_similarity(n, study.n_loci, study.locus_allele1, study.locus_allele2)
    reference.test_population_structure(g, n, n)
    if clusters is not None:
        g = reference.cluster_matrix(reference.read_clusters(clusters, n), n)
    return n, reference.partition_groups(reference.member_lists(g, n), n)


class CovariateCase:
    """How one study runs with covariates: the cluster file (or None), the
    number of covariate columns written (K, unless --covar-name chooses
    fewer), the --covar-name list (or None),
    the refusal made on purpose (or None) and the column a refusal must
    name (any of `culprits`; none when Z would have as many columns as
    there are individuals, which is refused as such)."""

    def __init__(self):
        self.clusters = None
        self.columns = 1
        self.choice = None
        self.refusal = None
        self.culprits = ()

    def label(self):
        parts = ["%d columns" % self.columns]
        if self.choice is not None:
            parts.append("--covar-name %s" % self.choice)
        if self.clusters is not None:
            parts.append("--within")
        if self.refusal is not None:
            parts.append("refusal: %s" % self.refusal)
        return ", ".join(parts)


def covariate_case(seed, regime, folder, inputs):
    """Writes the study and its covariate file (and cluster file) under
    folder; returns (regime used, CovariateCase).  Z keeps its rank at most
    N - 2 where the study allows it (K <= N - 2 - G with groups that
    partition the individuals, K <= N - 3 with overlapping lists), so that
    the residuals span more than the trait's direction.  Drawn from a
    stream of its own."""
    rng = random.Random("%s:%s:covariate case" % (seed, regime))
    case = CovariateCase()
    if regime != "tiny" and rng.random() < WITHIN_COVARIATE_SHARE:
        case.clusters = os.path.join(folder, CLUSTER_FILE)
    actual = make_study.write_study(inputs, seed, regime, marker_table=True,
                                    clusters_file=case.clusters)
    n, partition = reference_groups(inputs, case.clusters)
    # the rank of Z beside the covariates' columns
    rank = partition[1] if partition is not None else 1
    limit = n - 2 - rank
    wanted = rng.randint(1, 5)
    if rng.random() < REFUSAL_SHARE:
        case.refusal = rng.choice(REFUSALS)
        if case.refusal == "indicator" and (partition is None or partition[1] < 2):
            case.refusal = "constant"
    # with too few individuals one covariate: Z of rank N - 1 (one residual
    # direction, every marker degenerate) or of N columns or more (refused)
    chosen = min(wanted, limit) if limit >= 1 else 1
    if case.refusal is None and rng.random() < NAMED_CHOICE_SHARE:
        written = max(chosen, rng.randint(2, 5))
    else:
        written = chosen
    path = os.path.join(folder, COVARIATE_FILE)
    names, header, columns = write_study_covariates(inputs, seed, regime, path, written)
    case.columns = written
    if written > chosen or (case.refusal is None and written > 1
                            and rng.random() < NAMED_CHOICE_SHARE):
        case.choice = covariate_choice(rng, names, header, chosen)
    if case.refusal is not None:
        case.culprits = spoil_covariate_file(rng, path, case.refusal, names, header, columns,
                                             partition)
    added = 1 if case.refusal in ("indicator", "constant", "combination") else 0
    if rank + chosen + added >= n:
        case.culprits = ()  # refused for the number of columns, none to blame
    return actual, case


def write_study_covariates(inputs, seed, regime, path, count):
    """The covariate file of the study in inputs (the trait and the first
    marker as make_study drew them, read back from the study's files)."""
    study = reference.read_parameters(inputs, [])
    n = study.n_individuals
    trait = [study.trait[i][1] if study.n_markers else 0.0 for i in range(1, n + 1)]
    rows = []
    for i in range(1, n + 1):
        if study.n_markers and study.marker_called[i][1]:
            rows.append([(study.marker_allele1[i][1], study.marker_allele2[i][1])])
        else:
            rows.append([make_study.MISSING])
    return make_study.write_covariate_file(path, seed, regime, trait, rows, count)


def covariate_choice(rng, names, header, count):
    """A --covar-name list choosing `count` of the columns: names (with a
    header) or 1-based numbers, in a random order, or one range "A-B"."""
    total = len(names)
    if rng.random() < 0.3:
        low = rng.randint(0, total - count)
        ends = (low, low + count - 1)
        if header and rng.random() < 0.5:
            return "%s-%s" % (names[ends[0]], names[ends[1]])
        return "%d-%d" % (ends[0] + 1, ends[1] + 1)
    columns = rng.sample(range(total), count)
    if header and rng.random() < 0.6:
        return ",".join(names[k] for k in columns)
    return ",".join(str(k + 1) for k in columns)


def spoil_covariate_file(rng, path, refusal, names, header, columns, partition):
    """Makes the covariate file one that must be refused: a column added
    that is a group's indicator, a constant, or a combination of the
    intercept and the other columns, or one value replaced by a word
    ("sequential" leaves the file alone: it is the option that is
    refused).  Returns the names (as the header gives them, else the
    1-based numbers) of the columns a refusal may name."""
    if refusal == "sequential":
        return ()
    with open(path, encoding="ascii", newline="") as handle:
        lines = handle.read().split("\n")
    if lines[-1] == "":
        lines.pop()
    first = 1 if header else 0
    n = len(lines) - first
    # the program calls the columns of a file without names COV1, COV2, ...
    label = (lambda k: names[k]) if header else (lambda k: "COV%d" % (k + 1))
    if refusal == "text":
        k = rng.randrange(len(names))
        # not the first line of a file without names: a word there makes
        # it the names' line
        i = first + rng.randrange(0 if header else 1, n)
        fields = lines[i].split()
        fields[k] = rng.choice(("abc", "1.2.3", "x7"))
        lines[i] = " ".join(fields)
        culprits = (label(k),)
    else:
        if refusal == "indicator":
            group, count = partition
            chosen = rng.randint(1, count)
            added = ["1" if group[i] == chosen else "0" for i in range(1, n + 1)]
        elif refusal == "constant":
            added = [rng.choice(("3.5", "0", "-1"))] * n
        else:  # combination
            a, b = rng.uniform(-2.0, 2.0), rng.uniform(-2.0, 2.0)
            second = columns[1] if len(columns) > 1 else [1.0] * n
            added = [repr(a * x + b * y + 1.0) for x, y in zip(columns[0], second)]
        name = "extra"
        if header:
            lines[0] += " " + name
        for i in range(n):
            lines[first + i] += " " + added[i]
        culprits = (name if header else "COV%d" % (len(names) + 1),)
        if refusal == "combination":
            culprits += tuple(label(k) for k in range(min(2, len(names))))
    with open(path, "w", encoding="ascii", newline="") as handle:
        handle.write("\n".join(lines) + "\n")
    return culprits


def accepted_text(text, value):
    """Whether the program's %g text of a value lies within the tolerance
    of the reference's value (None: the text must be NA)."""
    if value is None:
        return text == "NA"
    if text == reference.c_format_g(value):
        return True
    spread = RELATIVE_TOLERANCE * abs(value)
    if text in (reference.c_format_g(value - spread), reference.c_format_g(value + spread)):
        return True
    try:
        printed = float(text)
    except ValueError:
        return False
    # the printed text carries six significant digits of the program's value
    return abs(printed - value) <= ABSOLUTE_TOLERANCE + 5e-6 * abs(printed)


def empirical_count(text, r_count):
    """c of an EMP text (c + 1)/(R + 1), to the nearest half; None for NA
    or what is not a number."""
    try:
        return round(float(text) * (r_count + 1) * 2.0) / 2.0 - 1.0
    except ValueError:
        return None


def compare_covariate_table(run, expected, actual):
    """Problems of the program's RESULTS.tsv against the reference's run:
    the place, frequency and count columns identical, the fitted values
    within the tolerance (NA exactly where the reference has NA), EMP1's
    count c within the replicates that tie T_obs up to rounding, EMP2's
    count within the replicates whose maximum ties the marker's threshold
    up to rounding."""
    if actual is None:
        return ["  results.tsv: the program wrote none"]
    left = expected.decode("latin-1").split("\n")
    right = actual.decode("latin-1").split("\n")
    if len(left) != len(right) or left[0] != right[0]:
        return ["  results.tsv: %d lines against the reference's %d, header %r"
                % (len(right), len(left), right[0])]
    record = run.record
    r_count = len(record.stat_permuted) - 1
    header = left[0].split("\t")
    first = header.index(FITTED_COLUMNS[0])
    problems = []
    for j in range(1, len(left) - 1):
        ours = left[j].split("\t")
        theirs = right[j].split("\t")
        where = "  results.tsv marker %d" % j
        if len(theirs) != len(ours) or theirs[:first] != ours[:first]:
            problems.append("%s: reference %r, binary %r" % (where, left[j], right[j]))
            continue
        fit = run.fits[j]
        values = (fit.beta_add, fit.se_add, fit.beta_dom, fit.se_dom, fit.f_stat, fit.p)
        for offset, value in enumerate(values):
            text = theirs[first + offset]
            if not accepted_text(text, value):
                problems.append("%s %s: reference %s (%s), binary %s" % (
                    where, FITTED_COLUMNS[offset], "NA" if value is None else "%.17g" % value,
                    ours[first + offset], text))
        emp1 = first + len(FITTED_COLUMNS)
        for column, expected_count, near, name in (
                (emp1, record.exceed[j], record.near_ties[j], "EMP1"),
                (emp1 + 1, None if run.emp2[j] is None else run.emp2[j] * (r_count + 1) - 1.0,
                 run.emp2_near_ties[j], "EMP2")):
            text = theirs[column]
            if expected_count is None:
                if text != "NA":
                    problems.append("%s %s: reference NA, binary %s" % (where, name, text))
                continue
            count = empirical_count(text, r_count)
            if count is None or abs(count - round(expected_count * 2.0) / 2.0) > near:
                problems.append("%s %s: reference %s (count %g), binary %s (count %s); "
                                "%d replicates tie up to rounding" % (
                                    where, name, ours[column], expected_count, text,
                                    "NA" if count is None else "%g" % count, near))
    return problems


def split_verdict(data):
    """(the verdict block, the lines after it) of standard output or the
    results file: the block ends before the first P-value line."""
    lines = data.decode("latin-1").splitlines(keepends=True)
    for k, line in enumerate(lines):
        if line.startswith("marker"):
            return "".join(lines[:k]), lines[k:]
    return "".join(lines), []


def p_value_lines(lines, ranked):
    """{marker: P} of the P-value lines, and the markers in line order; None
    for a line that is not one."""
    pattern = re.compile(r"(\d+)\s+(\S+)\Z" if ranked else r"marker(\d+)\s+P-value=(\S+)\Z")
    values = {}
    order = []
    for line in lines:
        match = pattern.match(line.strip())
        if not match:
            return None, None
        values[int(match.group(1))] = float(match.group(2))
        order.append(int(match.group(1)))
    return values, order


def p_value_problems(name, expected, actual, near_ties, r_count, ranked):
    """The P-value lines of standard output ("markerJ  P-value=...") or of
    the results file (ranked: a header, then "J  P" by ascending P):
    identical, but for the markers with near ties, whose c/R may move by
    their number of near ties over R; the results file's ranking may then
    differ too, as long as it ranks the program's P-values."""
    if expected == actual:
        return []
    if ranked:
        if not expected or not actual or expected[0] != actual[0]:
            return ["  %s: the P-value header differs" % name]
        expected, actual = expected[1:], actual[1:]
    ours, our_order = p_value_lines(expected, ranked)
    theirs, their_order = p_value_lines(actual, ranked)
    if theirs is None or sorted(their_order) != sorted(our_order):
        return ["  %s: the P-value lines are not one for each marker" % name]
    problems = []
    for j in our_order:
        if theirs[j] != ours[j] and abs(theirs[j] - ours[j]) > near_ties[j] / float(r_count) + 1e-5:
            problems.append("  %s marker %d: reference P %s, binary %s; %d replicates tie up "
                            "to rounding" % (name, j, ours[j], theirs[j], near_ties[j]))
    if problems:
        return problems
    if ours == theirs:  # the same values: the same lines
        return ["  %s: the same P-values in other lines" % name]
    if ranked and [theirs[j] for j in their_order] != sorted(theirs.values()):
        return ["  %s: the P-values are not in ascending order" % name]
    return []


def run_covariate_reference(folder, case, covar_path):
    """The reference's run of a covariate case in folder (its files written
    there); returns (status, stdout bytes, results.txt bytes, run or None,
    the column its refusal names or None)."""
    if case.refusal == "sequential":
        return 2, b"", None, None, None
    try:
        run = reference.run_full(folder, with_table=True, clusters_file=case.clusters,
                                 covar_file=covar_path, covar_names=case.choice)
    except reference.InputError as error:
        named = re.match(r"covariate (\S+) of ", str(error))
        return 1, b"", None, None, named.group(1) if named else None
    for name, text in ((run.results_name, run.results_text), (run.table_name, run.table_text)):
        reference.write_output(os.path.join(folder, name), text)
    return (run.status, run.stdout_text.encode("latin-1"),
            read_if_present(os.path.join(folder, "results.txt")), run, None)


def check_covariate_study(binary, workdir, seed, regime):
    """Runs one study with covariates on both sides; returns (passed,
    report lines)."""
    folder = os.path.join(workdir, "study_%d_%s_covariates" % (seed, regime))
    shutil.rmtree(folder, ignore_errors=True)
    inputs = os.path.join(folder, "input")
    actual_regime, case = covariate_case(seed, regime, folder, inputs)
    covar_path = os.path.join(folder, COVARIATE_FILE)
    label = "seed %d regime %s" % (seed, regime)
    if actual_regime != regime:
        label += " (%s)" % actual_regime
    label += " [%s]" % case.label()

    sides = {}
    for side in ("binary", "reference"):
        side_folder = os.path.join(folder, side)
        os.makedirs(side_folder)
        for file_name in TABLE_INPUT_FILES:
            if os.path.exists(os.path.join(inputs, file_name)):
                shutil.copy(os.path.join(inputs, file_name), side_folder)
    command = [binary, "run", "--covar", covar_path]
    if case.choice is not None:
        command += ["--covar-name", case.choice]
    if case.clusters is not None:
        command += ["--within", case.clusters]
    if case.refusal == "sequential":
        command += ["--adjustment", "sequential"]
    command.append(os.path.join(folder, "binary"))
    b_status, b_out, b_res, b_err, b_table = run_in(os.path.join(folder, "binary"), command,
                                                    folder)
    r_status, r_out, r_res, run, r_named = run_covariate_reference(
        os.path.join(folder, "reference"), case, covar_path)
    problems = []
    if case.refusal is not None or r_status != 0:
        refused = b_status not in (0, "timeout")
        # the column the refusal was made for, or one the reference found
        # unusable first
        culprits = case.culprits + ((r_named,) if r_named and case.culprits else ())
        if not refused or r_status == 0:
            problems.append("  exit status: reference %s, binary %s" % (r_status, b_status))
        elif case.refusal != "sequential":
            message = b_err.decode("latin-1")
            if COVARIATE_FILE not in message or (culprits and not any(
                    re.search(r"(?<![\w.-])%s(?![\w.-])" % re.escape(name), message)
                    for name in culprits)):
                problems.append("  the refusal does not name the file %s and a column of %s: %r"
                                % (COVARIATE_FILE, ", ".join(culprits), message[:300]))
    elif b_status != 0:
        problems.append("  exit status: reference 0, binary %s" % b_status)
        problems.append("  binary stderr: " + b_err.decode("latin-1")[:300].rstrip())
    else:
        record = run.record
        r_count = len(record.stat_permuted) - 1
        for name, expected, actual, ranked in (("stdout", r_out, b_out, False),
                                               ("results.txt", r_res, b_res, True)):
            if actual is None:
                problems.append("  %s: the program wrote none" % name)
                continue
            expected_verdict, expected_lines = split_verdict(expected)
            actual_verdict, actual_lines = split_verdict(actual)
            if expected_verdict != actual_verdict:
                problems.extend(first_difference(name, expected, actual))
                continue
            problems.extend(p_value_problems(name, expected_lines, actual_lines,
                                             record.near_ties, r_count, ranked))
        problems.extend(compare_covariate_table(run, run.table_text.encode("latin-1"), b_table))
    if problems:
        return False, ["MISMATCH %s (kept in %s)" % (label, folder)] + problems
    shutil.rmtree(folder, ignore_errors=True)
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
    parser.add_argument("--covariates", action="store_true",
                        help="run the binary with --covar on random covariate files and "
                             "compare within rounding")
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

    if args.table and args.covariates:
        print("--table and --covariates exclude each other")
        return 2
    cycle = COVARIATE_CYCLE if args.covariates else TABLE_CYCLE if args.table else CYCLE
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
        if args.covariates:
            futures = [pool.submit(check_covariate_study, binary, workdir, seed, regime)
                       for seed, regime in studies]
        else:
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
