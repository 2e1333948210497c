#!/usr/bin/env python3
"""Independent Python reference of the strataperm console program.

Run it without arguments in a folder that holds "parameter.txt": it reads the
parameter file and the two data files it names, writes the results file and
prints the same standard output as the C++ program, byte for byte.  With
--table it does what "strataperm run" does on that folder: it also writes the
per-marker table (the results file's name with the extension ".tsv") holding
allele frequencies, least-squares estimates, the F test and the empirical
P-values, the per-marker one and the family-wise max(T) one.

The codes are adjusted by the means of each individual's same-group list.
The default, "--adjustment means", takes every mean from the unadjusted
codes; "--adjustment sequential" adjusts the rows in place one after the
other, so that later rows see the adjusted earlier ones (the program's first
adjustment, whose output it still reproduces).  "--within FILE" reads one
cluster label per line (the last field of the line), in the individuals'
order, and uses the clusters as the same-group lists in place of the
structure test's classification (the test itself still runs and is
reported).  "--covar FILE" (with "--covar-name LIST" to choose among its
columns) adjusts the trait and the codes for covariates by least squares
(the residuals of the fit on the intercept, the covariates and, when the
lists partition the individuals, the group indicators) and permutes the
trait's residuals; the covariate file of a study folder holds one line of
values per individual, with an optional first line of names.

The least squares are this file's own (centring, then modified
Gram-Schmidt), not a transcription of the program's: with covariates the
two agree within rounding, not to the bit.

The code is a literal, unoptimised transcription: every loop runs over
1-based indices in ascending order, every floating-point sum starts at 0.0
and accumulates in that order, and every expression is evaluated in the
order the program evaluates it.  Python floats are IEEE doubles, so this
reproduces the program's rounding exactly.  The few operations for which
Python raises instead of following IEEE rules (division by zero, log(0),
exp overflow, sqrt of a negative) go through small helpers that return the
values C returns on x86-64 with glibc.

Arrays are Python lists with an unused element at index 0, so that indices
read as 1..n like in the program.
"""

import math
import os
import re
import sys

PI = 3.1415926535

# The "default NaN" that x86-64 SSE produces for invalid operations
# (0/0, inf - inf, 0 * inf, sqrt(-1)) has its sign bit set; glibc prints it
# as "-nan".
DEFAULT_NAN = -float("nan") if math.copysign(1.0, float("nan")) > 0 else float("nan")


class InputError(Exception):
    """A data or parameter file could not be read as expected."""


# ---------------------------------------------------------------------------
# IEEE helpers: the results C gives where Python would raise
# ---------------------------------------------------------------------------

def ieee_div(a, b):
    """a / b with IEEE results for a zero divisor."""
    if b != 0.0 or math.isnan(b):
        return a / b
    if math.isnan(a):
        return a
    if a == 0.0:
        return DEFAULT_NAN
    negative = (math.copysign(1.0, a) < 0) != (math.copysign(1.0, b) < 0)
    return -math.inf if negative else math.inf


def ieee_log(x):
    """Natural log as glibc computes it: log(+-0) = -inf, log(x<0) = NaN."""
    if math.isnan(x):
        return x
    if x == 0.0:
        return -math.inf
    if x < 0.0:
        return DEFAULT_NAN
    return math.log(x)


def ieee_sqrt(x):
    if math.isnan(x):
        return x
    if x < 0.0:
        return DEFAULT_NAN
    return math.sqrt(x)


def ieee_exp(x):
    if math.isnan(x):
        return x
    try:
        return math.exp(x)
    except OverflowError:
        return math.inf


# ---------------------------------------------------------------------------
# C printf formatting (glibc)
# ---------------------------------------------------------------------------

def c_format_f(value, width=0, precision=6):
    """Format like C's "%<width>.<precision>f" with glibc's non-finite forms."""
    if math.isnan(value):
        text = "-nan" if math.copysign(1.0, value) < 0 else "nan"
    elif math.isinf(value):
        text = "-inf" if value < 0 else "inf"
    else:
        text = "%.*f" % (precision, value)
    return text.rjust(width)


# ---------------------------------------------------------------------------
# Random numbers
# ---------------------------------------------------------------------------

class Generator:
    """Combination of three multiplicative congruential generators."""

    def __init__(self, s1=3, s2=1, s3=1):
        self.s1 = s1
        self.s2 = s2
        self.s3 = s3
        self.draws = 0

    def uniform_random(self):
        self.s1 = (171 * self.s1) % 30269
        self.s2 = (172 * self.s2) % 30309
        self.s3 = (170 * self.s3) % 30323
        x = self.s1 / 30269.0 + self.s2 / 30309.0 + self.s3 / 30323.0
        self.draws += 1
        return x - int(x)


def random_permutation(rng, n):
    """Return out[0..n] (out[0] unused) holding a random permutation of 1..n.

    Draws without replacement from a shrinking pool: exactly n draws.
    """
    pool = list(range(0, n + 1))
    out = [0] * (n + 1)
    remaining = n
    for j in range(1, n + 1):
        k = int(rng.uniform_random() * remaining) + 1
        out[j] = pool[k]
        del pool[k]  # moves pool[k+1..remaining] one place down
        remaining -= 1
    return out


# ---------------------------------------------------------------------------
# Random-pivot quicksort carrying an id vector
# ---------------------------------------------------------------------------

def sort_with_index(keys, ids, n, rng, first=1):
    """Sort keys[first..first+n-1] ascending, moving ids along.

    The pivot position is drawn at random; the partition goes through a copy
    of the range: keys below the pivot fill the range from its start upward,
    keys at or above the pivot fill it from its end downward.  Recursion is
    depth-first, lower part first, so the draws follow the pre-order of the
    recursion tree.
    """
    if n <= 1:
        return
    if n == 2:
        if keys[first] > keys[first + 1]:
            keys[first], keys[first + 1] = keys[first + 1], keys[first]
            ids[first], ids[first + 1] = ids[first + 1], ids[first]
        return
    u = rng.uniform_random()
    p = int(u * n) + 1
    # 1-based scratch copies of the range
    s = [0.0] + keys[first:first + n]
    t = [0] + ids[first:first + n]
    front = 1
    back = 0
    for k in range(1, n + 1):
        if k == p:
            continue
        if s[k] >= s[p]:
            keys[first + (n - back) - 1] = s[k]
            ids[first + (n - back) - 1] = t[k]
            back += 1
        else:  # smaller, or unordered (NaN)
            keys[first + front - 1] = s[k]
            ids[first + front - 1] = t[k]
            front += 1
    keys[first + front - 1] = s[p]
    ids[first + front - 1] = t[p]
    if front == 1:
        sort_with_index(keys, ids, n - 1, rng, first + 1)
    elif back == 0:
        sort_with_index(keys, ids, n - 1, rng, first)
    else:
        sort_with_index(keys, ids, front - 1, rng, first)
        sort_with_index(keys, ids, back, rng, first + front)


# ---------------------------------------------------------------------------
# Input
# ---------------------------------------------------------------------------

_WHITESPACE = " \t\n\v\f\r"
_INT_RE = re.compile(r"[+-]?[0-9]+")
_DOUBLE_RE = re.compile(
    r"[+-]?(?:0x(?:[0-9a-f]+\.?[0-9a-f]*|\.[0-9a-f]+)(?:p[+-]?[0-9]+)?"
    r"|(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:e[+-]?[0-9]+)?"
    r"|inf(?:inity)?|nan(?:\([0-9a-z_]*\))?)",
    re.IGNORECASE)


class Scanner:
    """Reads a text the way the C stdio formatted input reads it."""

    def __init__(self, text):
        self.text = text
        self.pos = 0

    def skip_lines(self, n):
        consumed = 0
        while consumed < n:
            nl = self.text.find("\n", self.pos)
            if nl < 0:
                self.pos = len(self.text)
                return -consumed
            self.pos = nl + 1
            consumed += 1
        return n

    def _skip_space(self):
        while self.pos < len(self.text) and self.text[self.pos] in _WHITESPACE:
            self.pos += 1

    def read_string(self):
        self._skip_space()
        start = self.pos
        while self.pos < len(self.text) and self.text[self.pos] not in _WHITESPACE:
            self.pos += 1
        if start == self.pos:
            raise InputError("end of input where a name was expected")
        return self.text[start:self.pos]

    def read_int(self):
        self._skip_space()
        match = _INT_RE.match(self.text, self.pos)
        if not match:
            raise InputError("integer expected")
        self.pos = match.end()
        return int(match.group(0))

    def read_allele_code(self):
        """An allele code of the trait-and-marker file: an integer, or None
        for the missing-call token, a full stop standing alone between white
        space.  A full stop glued to other text is no code at all."""
        self._skip_space()
        text = self.text
        pos = self.pos
        if (pos < len(text) and text[pos] == "."
                and (pos == 0 or text[pos - 1] in _WHITESPACE)
                and (pos + 1 == len(text) or text[pos + 1] in _WHITESPACE)):
            self.pos = pos + 1
            return None
        return self.read_int()

    def read_double(self):
        self._skip_space()
        match = _DOUBLE_RE.match(self.text, self.pos)
        if not match:
            raise InputError("number expected")
        self.pos = match.end()
        token = match.group(0)
        if "(" in token:
            token = token[:token.index("(")]
        if "x" in token or "X" in token:
            return float.fromhex(token)
        return float(token)


def read_text(name):
    with open(name, "r", encoding="latin-1", newline="") as handle:
        return handle.read()


class Study:
    """Run parameters and sample data."""

    def __init__(self):
        self.genotype_file = ""
        self.marker_file = ""
        self.output_file = ""
        self.n_permutations = 0
        self.n_loci = 0
        self.n_markers = 0
        self.n_individuals = 0
        self.locus_allele1 = []
        self.locus_allele2 = []
        self.marker_allele1 = []
        self.marker_allele2 = []
        self.marker_called = []  # [1..N][1..M]: False where the call is ". ."
        self.trait = []


def read_parameters(folder, out):
    """Fill a Study from folder/parameter.txt and the files it names.

    Returns None after printing the open-failure message on `out`.
    """
    study = Study()
    try:
        text = read_text(os.path.join(folder, "parameter.txt"))
    except OSError:
        out.append("can't open file parameter.txt in current directory\n")
        return None
    scan = Scanner(text)
    scan.skip_lines(1)
    study.genotype_file = scan.read_string()
    scan.skip_lines(2)
    study.marker_file = scan.read_string()
    scan.skip_lines(2)
    study.output_file = scan.read_string()
    scan.skip_lines(2)
    study.n_permutations = scan.read_int()
    scan.skip_lines(2)
    study.n_loci = scan.read_int()
    scan.skip_lines(2)
    study.n_markers = scan.read_int()
    scan.skip_lines(2)
    study.n_individuals = scan.read_int()

    n = study.n_individuals
    l_count = study.n_loci
    m = study.n_markers
    study.locus_allele1 = [[0] * (l_count + 1) for _ in range(n + 1)]
    study.locus_allele2 = [[0] * (l_count + 1) for _ in range(n + 1)]
    study.marker_allele1 = [[0] * (m + 1) for _ in range(n + 1)]
    study.marker_allele2 = [[0] * (m + 1) for _ in range(n + 1)]
    study.marker_called = [[True] * (m + 1) for _ in range(n + 1)]
    study.trait = [[0.0] * (m + 1) for _ in range(n + 1)]

    try:
        text = read_text(os.path.join(folder, study.genotype_file))
    except OSError:
        out.append("can't open file %s in current directory\n" % study.genotype_file)
        return None
    scan = Scanner(text)
    scan.skip_lines(1)
    for i in range(1, n + 1):
        for j in range(1, l_count + 1):
            study.locus_allele1[i][j] = scan.read_int()
            study.locus_allele2[i][j] = scan.read_int()

    try:
        text = read_text(os.path.join(folder, study.marker_file))
    except OSError:
        out.append("can't open file %s in current directory\n" % study.marker_file)
        return None
    scan = Scanner(text)
    scan.skip_lines(1)
    for i in range(1, n + 1):
        value = scan.read_double()
        for j in range(1, m + 1):
            study.trait[i][j] = value
        for j in range(1, m + 1):
            code1 = scan.read_allele_code()
            code2 = scan.read_allele_code()
            if code1 is None and code2 is None:
                study.marker_called[i][j] = False
                code1 = code2 = 0  # never read: the codes are imputed
            elif code1 is None or code2 is None:
                raise InputError("a missing call is two full stops")
            study.marker_allele1[i][j] = code1
            study.marker_allele2[i][j] = code2
    for j in range(1, m + 1):
        if n >= 1 and not any(study.marker_called[i][j] for i in range(1, n + 1)):
            raise InputError("every call of marker %d is missing" % j)
    return study


# ---------------------------------------------------------------------------
# Similarity matrix
# ---------------------------------------------------------------------------

def compute_similarity(n, l_count, allele1, allele2):
    """N x N similarities (1-based) from Manhattan distances of allele sums."""
    allele_count = [[0] * (l_count + 1) for _ in range(n + 1)]
    for i in range(1, n + 1):
        for l in range(1, l_count + 1):
            allele_count[i][l] = allele1[i][l] + allele2[i][l]

    similarity = [[0.0] * (n + 1) for _ in range(n + 1)]
    max_distance = 0.0
    for i in range(1, n + 1):
        for j in range(1, n + 1):
            d = 0
            for l in range(1, l_count + 1):
                d += abs(allele_count[i][l] - allele_count[j][l])
            similarity[i][j] = float(d)
            if i == 1 and j == 1:
                max_distance = similarity[1][1]
            if similarity[i][j] >= max_distance:
                max_distance = similarity[i][j]

    for i in range(1, n + 1):
        for j in range(1, n + 1):
            similarity[i][j] = ieee_div(max_distance - similarity[i][j], max_distance)
    return similarity


# ---------------------------------------------------------------------------
# Population-structure test
# ---------------------------------------------------------------------------

def normal_density(x, mean, variance):
    factor = ieee_div(1.0, ieee_sqrt(2.0 * PI * variance))
    exponent = ieee_div(-(x - mean) * (x - mean) / 2.0, variance)
    return ieee_exp(exponent) * factor


STRUCTURE_TEXT = ("There exists population structure.\n"
                  "The BIC corresponding to one group and two groups of the similarities are\n")
NO_STRUCTURE_FILE_TEXT = ("There does not exist population structure.\n"
                          "The BIC corresponding to one group and two groups of the similarities are\n")
NO_STRUCTURE_STDOUT_TEXT = ("There does not exist population structure\n"
                            "The BIC corresponding to one group and two groups of the similarities are\n")


class StructureResult:
    """What the structure test decided, kept for inspection by tests."""

    def __init__(self):
        self.bic1 = 0.0
        self.bic2 = 0.0
        self.structure = False
        self.one_group_override = False
        self.convergence_tests = 0
        self.mean1 = 0.0
        self.mean0 = 0.0
        self.file_text = ""
        self.stdout_text = ""


def test_population_structure(similarity, rows, columns):
    """Fit one normal and a hard-label two-component mixture to the
    off-diagonal similarities, rewrite the matrix with the 0/1 same-group
    classification and return the verdict block texts."""
    pairs = [(i, j) for i in range(1, rows + 1) for j in range(1, columns + 1) if i != j]
    k_size = rows * columns - rows
    k_double = float(k_size)
    labels = [[0] * (columns + 1) for _ in range(rows + 1)]
    posteriors = [[0.0] * (columns + 1) for _ in range(rows + 1)]

    # one-group fit
    total = 0.0
    for i, j in pairs:
        total += similarity[i][j]
    mu = ieee_div(total, k_double)
    squares = 0.0
    for i, j in pairs:
        d = similarity[i][j] - mu
        squares += d * d
    sigma2 = ieee_div(squares, k_double)
    l1 = 0.0
    for i, j in pairs:
        l1 += ieee_log(normal_density(similarity[i][j], mu, sigma2))
    bic1 = 2.0 * ieee_log(k_double) - 2.0 * l1

    # two-component mixture with hard labels
    mean1 = mu + 0.1
    mean0 = mu - 0.1
    variance1 = 1.0
    variance0 = 1.0
    weight1 = 0.5
    weight0 = 0.5
    prev_mean1 = prev_mean0 = prev_variance1 = prev_variance0 = 0.0
    prev_weight1 = prev_weight0 = 0.0
    tests = 0
    while True:
        # (a) assignment
        for i, j in pairs:
            x = similarity[i][j]
            a = weight1 * normal_density(x, mean1, variance1)
            b = weight0 * normal_density(x, mean0, variance0)
            posterior = ieee_div(a, a + b)
            posteriors[i][j] = posterior
            labels[i][j] = 1 if posterior > 0.5 else 0
        # (b) convergence test
        tests += 1
        delta = (abs(mean1 - prev_mean1) + abs(mean0 - prev_mean0)
                 + abs(variance1 - prev_variance1) + abs(variance0 - prev_variance0)
                 + abs(weight1 - prev_weight1) + abs(weight0 - prev_weight0))
        if not delta > 1e-7:
            break
        # (c) remember this pass
        prev_mean1, prev_mean0 = mean1, mean0
        prev_variance1, prev_variance0 = variance1, variance0
        prev_weight1, prev_weight0 = weight1, weight0
        # (d) update from the labels
        size1 = 0
        sum1 = 0.0
        for i, j in pairs:
            if labels[i][j] == 1:
                size1 += 1
                sum1 += similarity[i][j]
        size0 = k_size - size1
        mean1 = sum1 / size1 if size1 != 0 else 0.0
        mean0 = (k_double * mu - sum1) / size0 if size0 != 0 else 0.0
        weight1 = size1 / k_double
        weight0 = 1.0 - weight1
        squares1 = 0.0
        squares0 = 0.0
        for i, j in pairs:
            x = similarity[i][j]
            if labels[i][j] == 1:
                squares1 += (x - mean1) * (x - mean1)
            else:
                squares0 += (x - mean0) * (x - mean0)
        variance1 = squares1 / size1 if size1 != 0 else 1.0
        variance0 = squares0 / size0 if size0 != 0 else 1.0

    l2 = 0.0
    for i, j in pairs:
        x = similarity[i][j]
        l2 += ieee_log(weight0 * normal_density(x, mean0, variance0)
                       + weight1 * normal_density(x, mean1, variance1))
    bic2 = 5.0 * ieee_log(k_double) - 2.0 * l2

    # two-group classification: 1.0 marks the component with the larger mean
    if mean1 > mean0:
        for i, j in pairs:
            similarity[i][j] = float(labels[i][j])
    else:
        for i, j in pairs:
            similarity[i][j] = float(1 - labels[i][j])

    result = StructureResult()
    # one-group override (also when the BICs cannot be ordered)
    if not bic1 >= bic2:
        for i in range(1, rows + 1):
            for j in range(1, columns + 1):
                similarity[i][j] = 1.0
        result.one_group_override = True

    result.structure = bic1 > bic2
    bic_values = (c_format_f(bic1), c_format_f(bic2))
    if result.structure:
        result.file_text = STRUCTURE_TEXT + "BIC(1)=%s  BIC(2)=%s.\n\n" % bic_values
        result.stdout_text = STRUCTURE_TEXT + "BIC(1)=%s  BIC(2)=%s\n\n" % bic_values
    else:
        result.file_text = NO_STRUCTURE_FILE_TEXT + "BIC(1)=%s  BIC(2)=%s.\n\n" % bic_values
        result.stdout_text = NO_STRUCTURE_STDOUT_TEXT + "BIC(1)=%s  BIC(2)=%s\n\n" % bic_values
    result.bic1 = bic1
    result.bic2 = bic2
    result.convergence_tests = tests
    result.mean1 = mean1
    result.mean0 = mean0
    return result


# ---------------------------------------------------------------------------
# Marker permutation test
# ---------------------------------------------------------------------------

def genotype_codes(w):
    """Additive and dominance code of an allele sum."""
    if w == 2:
        return 1.0, 0.0
    if w == 0:
        return -1.0, 0.0
    return 0.0, 1.0


def code_markers(study):
    """Additive and dominance codes [1..N][1..M] of the marker genotypes.

    A missing call gets, at its marker, the mean of the codes of the called
    individuals (sums in ascending individual order from 0.0, divided by the
    number called); a marker without missing calls keeps its codes as they
    are."""
    n = study.n_individuals
    m = study.n_markers
    called = study.marker_called
    additive = [[0.0] * (m + 1) for _ in range(n + 1)]
    dominance = [[0.0] * (m + 1) for _ in range(n + 1)]
    for i in range(1, n + 1):
        for j in range(1, m + 1):
            w = study.marker_allele1[i][j] + study.marker_allele2[i][j]
            additive[i][j], dominance[i][j] = genotype_codes(w)
    if not called:
        return additive, dominance
    for j in range(1, m + 1):
        n_called = 0
        sum_x = 0.0
        sum_z = 0.0
        for i in range(1, n + 1):
            if called[i][j]:
                n_called += 1
                sum_x += additive[i][j]
                sum_z += dominance[i][j]
        if n_called == n:
            continue
        mean_x = sum_x / float(n_called)
        mean_z = sum_z / float(n_called)
        for i in range(1, n + 1):
            if not called[i][j]:
                additive[i][j] = mean_x
                dominance[i][j] = mean_z
    return additive, dominance


ADJUSTMENTS = ("means", "sequential")


def adjust_column(column, g, n):
    """The "sequential" adjustment: subtract from each entry the mean over
    its group list, in place and row by row, so later rows see the already
    adjusted earlier rows."""
    for i in range(1, n + 1):
        w = 0.0
        a = 0.0
        for k in range(1, n + 1):
            w += g[i][k]
        for k in range(1, n + 1):
            a += column[k] * g[i][k]
        column[i] = column[i] - ieee_div(a, w)


def adjust_column_by_means(column, members, n):
    """The "means" adjustment: every entry loses the mean of the unadjusted
    column over its list (members ascending, sum from 0.0, divided by the
    list's size).  All means are formed before any entry changes."""
    means = [0.0] * (n + 1)
    for i in range(1, n + 1):
        total = 0.0
        for k in members[i]:
            total += column[k]
        means[i] = ieee_div(total, float(len(members[i])))
    for i in range(1, n + 1):
        column[i] = column[i] - means[i]


def within_list_squares(y, members, n):
    """Sum over i ascending, from 0.0, of (y[i] - ybar[i])^2, where ybar[i]
    is the mean of y over i's list (members ascending, from 0.0)."""
    squares = 0.0
    for i in range(1, n + 1):
        total = 0.0
        for k in members[i]:
            total += y[k]
        e = y[i] - ieee_div(total, float(len(members[i])))
        squares += e * e
    return squares


def distinct_lists(members, n):
    """The number of different lists among members[1..n] (the number of
    groups when the lists partition the individuals)."""
    seen = []
    for i in range(1, n + 1):
        if members[i] not in seen:
            seen.append(members[i])
    return len(seen)


def statistic(sum_zz, sum_xx, sum_xy, sum_zy, sum_xz):
    return ((sum_zz * sum_xy) * sum_xy + (sum_xx * sum_zy) * sum_zy
            - ((2.0 * sum_xz) * sum_zy) * sum_xy)


def read_clusters(name, n):
    """The user's groups from a text file: one line per individual, in the
    individuals' order, whose last white-space separated field is the
    individual's cluster label; blank lines are skipped.  Returns
    labels[1..n] (labels[0] unused)."""
    try:
        text = read_text(name)
    except OSError:
        raise InputError("cannot open the cluster file %s" % name)
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()  # the last line's end
    labels = [None]
    for line in lines:
        fields = line.split()
        if fields:
            labels.append(fields[-1])
    if len(labels) - 1 != n:
        raise InputError("the cluster file has %d labels for %d individuals"
                         % (len(labels) - 1, n))
    return labels


def cluster_matrix(labels, n):
    """The 0/1 same-group matrix of cluster labels[1..n]: 1.0 where two
    individuals carry the same label (on the diagonal too)."""
    g = [[0.0] * (n + 1) for _ in range(n + 1)]
    for i in range(1, n + 1):
        for k in range(1, n + 1):
            if labels[i] == labels[k]:
                g[i][k] = 1.0
    return g


def member_lists(g, n):
    """members[i] = ascending list of j with g[i][j] exactly 1.0."""
    members = [[] for _ in range(n + 1)]
    for i in range(1, n + 1):
        for j in range(1, n + 1):
            if g[i][j] == 1.0:
                members[i].append(j)
    return members


def assign_donors(members, visit_order, n, rng):
    """One replicate's donor assignment: donor[i] for each individual i
    (donor[i] = i when no candidate was left and i keeps its own values)."""
    taken = [False] * (n + 1)
    donor = [0] * (n + 1)
    for k in range(1, n + 1):
        i = visit_order[k]
        candidates = [0] + [j for j in members[i] if not taken[j]]
        n_c = len(candidates) - 1
        if n_c >= 1:
            u = rng.uniform_random()
            q = int(u * n_c + 1.0)
            d = candidates[q]
            donor[i] = d
            taken[d] = True
        else:
            donor[i] = i
    return donor


# ---------------------------------------------------------------------------
# Covariates
# ---------------------------------------------------------------------------

# A value field of the covariate file: a number as C's strtod reads a
# whole field, but no infinity or NaN; NA, and any number equal to -9, is a
# missing value.
_COVARIATE_NUMBER_RE = re.compile(
    r"[+-]?(?:0x(?:[0-9a-f]+\.?[0-9a-f]*|\.[0-9a-f]+)(?:p[+-]?[0-9]+)?"
    r"|(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:e[+-]?[0-9]+)?)\Z", re.IGNORECASE)
MISSING_COVARIATE_TOKENS = ("NA",)
MISSING_COVARIATE_VALUE = -9.0

# A covariate whose part outside the span of the intercept, the group
# indicators and the covariates before it is shorter than this share of
# its centred length counts as linearly dependent on them; a vector whose
# residual is shorter than this share of its centred length lies in Z's
# span, and its residual is zero (not the rounding residue the projections
# leave).
DEPENDENCE_TOLERANCE = 1e-9


class CovariateTable:
    """The covariate file of a study folder: names[0..K-1] (the header's,
    or "COV1".."COVK" when the file has none, header=False: names for
    messages only) and rows[0..N-1], each K floats, or None for a missing
    value."""

    def __init__(self, names, rows, header):
        self.names = names
        self.rows = rows
        self.header = header


def is_covariate_number(field):
    return _COVARIATE_NUMBER_RE.match(field) is not None


def covariate_number(field):
    if "x" in field or "X" in field:
        return float.fromhex(field)
    return float(field)


def read_covariate_file(name, n):
    """The covariate file of a study folder without individuals.tsv: one
    line of K values per individual, in the individuals' order, with an
    optional first line of names (one that starts with '#', which is no
    part of the first name, or whose first field is neither a number nor
    NA).  Fields are separated by white
    space; blank lines are skipped.  Every line must hold K fields; "-9"
    and "NA" are missing values.  Raises InputError naming the file (and
    the column) when the file cannot be used."""
    try:
        text = read_text(name)
    except OSError:
        raise InputError("cannot open the covariate file %s" % name)
    lines = [line.split() for line in text.split("\n")]
    lines = [fields for fields in lines if fields]
    if not lines:
        raise InputError("the covariate file %s is empty" % name)
    names = None
    first = lines[0]
    if first[0].startswith("#") or not (is_covariate_number(first[0])
                                         or first[0] in MISSING_COVARIATE_TOKENS):
        # the '#' belongs to the first name: "# PC1" names two columns
        names = list(first)
        names[0] = names[0][1:] if names[0].startswith("#") else names[0]
        lines = lines[1:]
    k_count = len(names) if names is not None else len(lines[0]) if lines else 0
    if len(lines) != n:
        raise InputError("the covariate file %s has %d lines of values for %d individuals"
                         % (name, len(lines), n))
    header = names is not None
    if names is None:
        names = ["COV%d" % k for k in range(1, k_count + 1)]
    rows = []
    for number, fields in enumerate(lines, 1):
        if len(fields) != k_count:
            raise InputError("line %d of the covariate file %s holds %d values, not %d"
                             % (number, name, len(fields), k_count))
        row = []
        for k, field in enumerate(fields):
            if field in MISSING_COVARIATE_TOKENS:
                row.append(None)
            elif is_covariate_number(field):
                value = covariate_number(field)
                row.append(None if value == MISSING_COVARIATE_VALUE else value)
            else:
                raise InputError("covariate %s of the covariate file %s: %r is not a number"
                                 % (names[k], name, field))
        rows.append(row)
    return CovariateTable(names, rows, header)


def _covariate_column(item, table):
    """The 0-based column that one item of a --covar-name list names (a
    name of the header, else a 1-based number), or None."""
    if table.header and item in table.names:
        return table.names.index(item)
    if re.match(r"[0-9]+\Z", item):
        number = int(item)
        if 1 <= number <= len(table.names):
            return number - 1
    return None


def choose_covariates(table, choice):
    """The 0-based columns a --covar-name list chooses, in its order: names
    or 1-based numbers separated by commas, "A-B" the columns from A to B;
    None chooses them all.  Raises InputError for a name or number that is
    not there, a backward range and a column chosen twice."""
    if choice is None:
        return list(range(len(table.names)))
    chosen = []
    for item in choice.split(","):
        column = _covariate_column(item, table)
        if column is not None:
            chosen.append(column)
            continue
        span = None
        for dash in range(1, len(item) - 1):
            if item[dash] != "-":
                continue
            low = _covariate_column(item[:dash], table)
            high = _covariate_column(item[dash + 1:], table)
            if low is not None and high is not None:
                span = (low, high)
                break
        if span is None or span[0] > span[1]:
            raise InputError("--covar-name: no covariate %r" % item)
        chosen.extend(range(span[0], span[1] + 1))
    if len(set(chosen)) != len(chosen):
        raise InputError("--covar-name chooses a covariate twice")
    return chosen


def covariate_rows(table, columns, file_name):
    """The N x K rows of the chosen columns; a missing value in a study
    folder is an error (there is no individual to leave out by name)."""
    rows = []
    for number, row in enumerate(table.rows, 1):
        chosen = [row[k] for k in columns]
        if any(value is None for value in chosen):
            raise InputError("individual %d of the covariate file %s has a missing value"
                             % (number, file_name))
        rows.append(chosen)
    return rows


def partition_groups(members, n):
    """When the same-group lists partition the individuals (every
    individual is in its own list, and every member of a list has that
    same list), (group[1..n], G) with the groups numbered 1..G in the order
    of their first member; None when the lists overlap."""
    group = [0] * (n + 1)
    count = 0
    for i in range(1, n + 1):
        if i not in members[i]:
            return None
        for j in members[i]:
            if members[j] != members[i]:
                return None
        if group[i] == 0:
            count += 1
            for j in members[i]:
                group[j] = count
    return group, count


def dot(u, v, n):
    total = 0.0
    for i in range(1, n + 1):
        total += u[i] * v[i]
    return total


def centred(v, n):
    """v[1..n] less its mean; all zeros when every entry is the same (the
    exact residual on the intercept, which summing would round)."""
    if all(v[i] == v[1] for i in range(1, n + 1)):
        return [0.0] * (n + 1)
    total = 0.0
    for i in range(1, n + 1):
        total += v[i]
    mean = total / float(n)
    return [0.0] + [v[i] - mean for i in range(1, n + 1)]


class LeastSquares:
    """The residual maker M_Z of Z = [1, columns]: the intercept is taken
    out by centring, the centred columns are made orthonormal by modified
    Gram-Schmidt (each column orthogonalised twice against the ones before
    it), and a vector's residual is its centred form with its projections
    on that basis taken out, one after the other and twice.  Columns are
    1-based lists; labels name them in the error a dependent column
    raises (DependentColumn)."""

    def __init__(self, columns, labels, n):
        self.n = n
        self.basis = []
        for column, label in zip(columns, labels):
            c = centred(column, n)
            length = math.sqrt(dot(c, c, n))
            if length == 0.0:
                raise DependentColumn(label, "constant")
            r = self._project_out(c)
            rest = math.sqrt(dot(r, r, n))
            if not rest > DEPENDENCE_TOLERANCE * length:
                raise DependentColumn(label, "linearly dependent")
            self.basis.append([0.0] + [r[i] / rest for i in range(1, n + 1)])

    @property
    def rank(self):
        """The rank of Z, the intercept included."""
        return 1 + len(self.basis)

    def _project_out(self, v):
        r = list(v)
        for _ in range(2):
            for q in self.basis:
                p = dot(q, r, self.n)
                for i in range(1, self.n + 1):
                    r[i] -= p * q[i]
        return r

    def residual(self, v):
        """M_Z v of v[1..n], a new 1-based list: zeros for a vector in the
        span of Z (DEPENDENCE_TOLERANCE)."""
        c = centred(v, self.n)
        r = self._project_out(c)
        if math.sqrt(dot(r, r, self.n)) <= DEPENDENCE_TOLERANCE * math.sqrt(dot(c, c, self.n)):
            return [0.0] * (self.n + 1)
        return r


class DependentColumn(Exception):
    def __init__(self, label, why):
        Exception.__init__(self, "%s is %s" % (label, why))
        self.label = label
        self.why = why


class CovariateModel:
    """What the covariates make of a run: the residual maker of Z (the
    intercept, then the group indicators of groups 2..G when the lists
    partition the individuals, then the covariates: the order in which a
    covariate that depends on the others is found and named), whether the
    lists partition, and K.  Z needs fewer columns than individuals."""

    def __init__(self, covariates, members, n, names=None, file_name="the covariate file"):
        k_count = len(covariates[0]) if covariates else 0
        if len(covariates) != n or any(len(row) != k_count for row in covariates):
            raise InputError("the covariates are not %d rows of %d values" % (n, k_count))
        if names is None:
            names = ["COV%d" % k for k in range(1, k_count + 1)]
        self.k = k_count
        partition = partition_groups(members, n)
        self.partition = partition is not None
        columns = []
        labels = []
        if self.partition:
            group, count = partition
            for g in range(2, count + 1):
                columns.append([0.0] + [1.0 if group[i] == g else 0.0 for i in range(1, n + 1)])
                labels.append("the indicator of group %d" % g)
        if 1 + len(columns) + k_count >= n:
            # no residual left to permute: every residual would be zero
            raise InputError("%s: %d individuals are too few for the intercept, %d covariates "
                             "and %d group indicators" % (file_name, n, k_count, len(columns)))
        for k in range(k_count):
            column = [0.0] + [covariates[i - 1][k] for i in range(1, n + 1)]
            if all(column[i] == column[1] for i in range(1, n + 1)):
                raise InputError("covariate %s of %s is constant" % (names[k], file_name))
            columns.append(column)
            labels.append("covariate %s of %s" % (names[k], file_name))
        try:
            self.least_squares = LeastSquares(columns, labels, n)
        except DependentColumn as error:
            raise InputError("%s is %s on the intercept, the group indicators and the "
                             "covariates before it" % (error.label, error.why))

    @property
    def rank(self):
        return self.least_squares.rank

    def residual(self, v):
        return self.least_squares.residual(v)


def statistic_bound(sum_xx, sum_zz, y, n):
    """A bound of every replicate's statistic of a marker:
    T = Delta * (the trait's sum of squares that the codes explain), at
    most sum_xx * sum_zz * (sum of the received trait values squared),
    which is at most N times the largest trait value squared."""
    largest = 0.0
    for i in range(1, n + 1):
        largest = max(largest, y[i] * y[i])
    return sum_xx * sum_zz * float(n) * largest


def near_tie(t, t_observed, bound, relative=1e-9):
    """Whether a replicate's statistic equals T_obs, or lies within
    `relative` of the statistic's bound from it: a difference that another
    rounding of the same sums could make or undo (every replicate of a
    degenerate marker, whose statistics are rounding residues)."""
    return t == t_observed or abs(t - t_observed) <= relative * bound


class AnalysisRecord:
    """What the per-marker table needs from the permutation test, all lists
    1-based: the adjustment used, the observed sums and statistic of each
    marker, its count c of replicates above T_obs plus half those equal
    (exceed[j], P = c / R), the trait's sum of squares S, the number of
    distinct same-group lists, and for each replicate r its statistics
    stat_permuted[r][1..M] and S_r, the same sum of squares of the trait
    values the individuals received.  S is the sum of y*y with the
    "sequential" adjustment and the sum of squares within the lists with
    "means".  With covariates, covariates is K and rank the rank of Z, and
    the trait is the covariate model's residual (S its sum of squares, or
    its sum of squares within the lists when they overlap); near_ties[j]
    counts the replicates whose statistic ties T_obs up to rounding (see
    near_tie)."""

    def __init__(self):
        self.adjustment = "means"
        self.sum_zz = []
        self.sum_xx = []
        self.sum_xy = []
        self.sum_zy = []
        self.sum_xz = []
        self.stat_observed = []
        self.exceed = []
        self.trait_squares = 0.0
        self.lists = 1
        self.covariates = 0
        self.rank = 1
        self.near_ties = []
        self.stat_permuted = [None]
        self.permuted_squares = [None]


def trait_sum_of_squares(y, members, n, adjustment, model=None):
    """S of the trait values y[1..n] under the adjustment; with a
    covariate model whose lists partition the individuals, the plain sum of
    squares."""
    if model is not None and model.partition:
        squares = 0.0
        for i in range(1, n + 1):
            squares += y[i] * y[i]
        return squares
    if adjustment == "means":
        return within_list_squares(y, members, n)
    squares = 0.0
    for i in range(1, n + 1):
        squares += y[i] * y[i]
    return squares


def adjust_by_covariates(trait, additive, dominance, members, n, m, model):
    """The covariate model's adjustment, in place: every trait column
    becomes the residual of the centred trait, every code column its
    residual, adjusted by the list means afterwards when the lists
    overlap."""
    if m == 0:
        return
    total = 0.0
    for i in range(1, n + 1):
        total += trait[i][1]
    mean = total / float(n)
    y = model.residual([0.0] + [trait[i][1] - mean for i in range(1, n + 1)])
    for j in range(1, m + 1):
        for i in range(1, n + 1):
            trait[i][j] = y[i]
        for codes in (additive, dominance):
            column = model.residual([0.0] + [codes[i][j] for i in range(1, n + 1)])
            if not model.partition:
                adjust_column_by_means(column, members, n)
            for i in range(1, n + 1):
                codes[i][j] = column[i]


def run_analysis(study, rng, p_values, record=None, adjustment="means", clusters=None,
                 covariates=None, covariate_names=None, covariate_file="the covariate file"):
    """Similarity, structure test and permutation test; fills p_values[1..M]
    and returns the structure test's result.  When an AnalysisRecord is
    given it is filled as the test runs.  adjustment is "means" or
    "sequential"; clusters, labels[1..N] of the user's groups, replace the
    structure test's same-group lists when given (the test still runs).

    covariates, N rows of K values in the individuals' order (with their
    names and file for the messages), adjust the trait and the codes by the
    least-squares fit on Z (see CovariateModel): the trait is the residual
    of the centred trait, each code column its residual (and then, when the
    lists overlap, adjusted by the list means), and the replicates permute
    the trait's residual.  They need the "means" adjustment."""
    if adjustment not in ADJUSTMENTS:
        raise ValueError("unknown adjustment %r" % (adjustment,))
    if covariates is not None and adjustment != "means":
        raise InputError("covariates need the means adjustment")
    n = study.n_individuals
    m = study.n_markers
    r_count = study.n_permutations

    additive, dominance = code_markers(study)

    similarity = compute_similarity(n, study.n_loci, study.locus_allele1, study.locus_allele2)
    structure = test_population_structure(similarity, n, n)
    g = similarity
    if clusters is not None:
        g = cluster_matrix(clusters, n)
    members = member_lists(g, n)

    model = None
    if covariates is not None:
        model = CovariateModel(covariates, members, n, covariate_names, covariate_file)

    trait = study.trait
    if model is not None:
        adjust_by_covariates(trait, additive, dominance, members, n, m, model)
    else:
        for j in range(1, m + 1):
            s = 0.0
            for i in range(1, n + 1):
                s += trait[i][j]
            mean = s / float(n)
            for i in range(1, n + 1):
                trait[i][j] = trait[i][j] - mean
            for codes in (additive, dominance):
                column = [0.0] + [codes[i][j] for i in range(1, n + 1)]
                if adjustment == "means":
                    adjust_column_by_means(column, members, n)
                else:
                    adjust_column(column, g, n)
                for i in range(1, n + 1):
                    codes[i][j] = column[i]

    sum_zz = [0.0] * (m + 1)
    sum_xx = [0.0] * (m + 1)
    sum_xy = [0.0] * (m + 1)
    sum_zy = [0.0] * (m + 1)
    sum_xz = [0.0] * (m + 1)
    stat_observed = [0.0] * (m + 1)
    for j in range(1, m + 1):
        for i in range(1, n + 1):
            x = additive[i][j]
            z = dominance[i][j]
            y = trait[i][j]
            sum_zz[j] += z * z
            sum_xx[j] += x * x
            sum_xy[j] += x * y
            sum_zy[j] += z * y
            sum_xz[j] += z * x
        stat_observed[j] = statistic(sum_zz[j], sum_xx[j], sum_xy[j], sum_zy[j], sum_xz[j])

    if record is not None:
        record.adjustment = adjustment
        record.sum_zz = list(sum_zz)
        record.sum_xx = list(sum_xx)
        record.sum_xy = list(sum_xy)
        record.sum_zy = list(sum_zy)
        record.sum_xz = list(sum_xz)
        record.stat_observed = list(stat_observed)
        record.lists = distinct_lists(members, n)
        if model is not None:
            record.covariates = model.k
            record.rank = model.rank
        squares = 0.0
        if m >= 1:
            y = [0.0] + [trait[i][1] for i in range(1, n + 1)]
            squares = trait_sum_of_squares(y, members, n, adjustment, model)
        record.trait_squares = squares
        record.near_ties = [0] * (m + 1)
        bounds = [0.0] * (m + 1)
        for j in range(1, m + 1):
            y = [0.0] + [trait[i][j] for i in range(1, n + 1)]
            bounds[j] = statistic_bound(sum_xx[j], sum_zz[j], y, n)

    for j in range(1, m + 1):
        p_values[j] = 0.0

    for _ in range(r_count):
        visit_order = random_permutation(rng, n)
        donor = assign_donors(members, visit_order, n, rng)
        permuted_stats = [None] * (m + 1)
        for j in range(1, m + 1):
            sxy = 0.0
            szy = 0.0
            for i in range(1, n + 1):
                y = trait[donor[i]][j]
                sxy += additive[i][j] * y
                szy += dominance[i][j] * y
            t = statistic(sum_zz[j], sum_xx[j], sxy, szy, sum_xz[j])
            permuted_stats[j] = t
            if record is not None and near_tie(t, stat_observed[j], bounds[j]):
                record.near_ties[j] += 1
            if t > stat_observed[j]:
                p_values[j] += 1.0
            elif t == stat_observed[j]:
                p_values[j] += 0.5
        if record is not None:
            squares = 0.0
            if m >= 1:
                received = [0.0] + [trait[donor[i]][1] for i in range(1, n + 1)]
                squares = trait_sum_of_squares(received, members, n, adjustment, model)
            record.stat_permuted.append(permuted_stats)
            record.permuted_squares.append(squares)

    if record is not None:
        record.exceed = list(p_values)
    for j in range(1, m + 1):
        p_values[j] = ieee_div(p_values[j], float(r_count))
    return structure


# ---------------------------------------------------------------------------
# Per-marker table of "strataperm run"
# ---------------------------------------------------------------------------

TABLE_HEADER = ("#CHROM\tPOS\tID\tA1\tA2\tA1_FREQ\tOBS_CT\tBETA_ADD\tSE_ADD"
                "\tBETA_DOM\tSE_DOM\tF_STAT\tP\tEMP1\tEMP2\n")
_STRTOL_RE = re.compile(r"[ \t\n\v\f\r]*[+-]?[0-9]+\Z")


def c_format_g(value, precision=6):
    """Format like C's "%.<precision>g", with glibc's non-finite forms and
    "NA" for a value that is not available (None)."""
    if value is None:
        return "NA"
    if math.isnan(value):
        return "-nan" if math.copysign(1.0, value) < 0 else "nan"
    if math.isinf(value):
        return "-inf" if value < 0 else "inf"
    return "%.*g" % (precision, value)


def shortest_g(value):
    """The shortest "%.<P>g", P from 1 to 17, that reads back as exactly
    the same double; "NA" for None and glibc's forms of the non-finite."""
    if value is None or math.isnan(value) or math.isinf(value):
        return c_format_g(value)
    for precision in range(1, 18):
        text = "%.*g" % (precision, value)
        if float(text) == value:
            return text
    raise AssertionError("%.17g does not read back as %r" % (value, value))


def decimal_digits(k):
    """Number of decimal digits of a positive integer (1 for 0)."""
    return len(str(abs(k)))


def empirical_precisions(r_count):
    """Significant digits of EMP1 and of EMP2 for R replicates: enough to
    tell apart multiples of 1/(2R), and of 1/(R+1)."""
    return (max(6, decimal_digits(2 * r_count) + 1),
            max(6, decimal_digits(r_count + 1) + 1))


def table_path(results_file):
    """The table's file name: the results file's name with its extension
    replaced by ".tsv", or ".tsv" appended to a name without one.  A dot that
    begins the last path component does not start an extension."""
    slash = results_file.rfind("/")
    dot = results_file.rfind(".")
    has_extension = dot > 0 and (slash < 0 or dot > slash + 1)
    return (results_file[:dot] if has_extension else results_file) + ".tsv"


def read_marker_descriptions(folder, m):
    """Marker descriptions from folder/markers.tsv: info[1..M] of
    (id, chromosome, position, allele1, allele2), or None when the file is
    absent or not usable.

    The first line is a header and is not read.  Every further line that is
    not empty (after its line end, "\n" with any "\r" before it, is removed)
    must hold at least six tab-separated fields of which the first is a
    marker number from 1 to M, written as C's strtol reads a whole field
    (leading white space and a sign allowed, nothing after the digits); a
    number given twice takes its last line; every marker 1..M must be
    described."""
    try:
        text = read_text(os.path.join(folder, "markers.tsv"))
    except OSError:
        return None
    info = [None] * (m + 1)
    for number, line in enumerate(text.split("\n"), 1):
        line = line.rstrip("\r")
        if number == 1 or line == "":
            continue
        fields = line.split("\t")
        if len(fields) < 6 or not _STRTOL_RE.match(fields[0]):
            return None
        marker = int(fields[0])
        if marker < 1 or marker > m:
            return None
        info[marker] = (fields[1], fields[2], fields[3], fields[4], fields[5])
    if any(entry is None for entry in info[1:]):
        return None
    return info


def allele_frequency(study, j):
    """(A1_FREQ, OBS_CT) of marker j over its called individuals: the share
    of allele2 copies, an allele sum other than 0 and 2 counting one."""
    called = 0
    n2 = 0
    n1 = 0
    for i in range(1, study.n_individuals + 1):
        if study.marker_called and not study.marker_called[i][j]:
            continue
        called += 1
        w = study.marker_allele1[i][j] + study.marker_allele2[i][j]
        if w == 2:
            n2 += 1
        elif w != 0:
            n1 += 1
    return ieee_div(float(2 * n2 + n1), 2.0 * called), called


class MarkerFit:
    """Least-squares summary of one marker; None stands for NA."""

    def __init__(self):
        self.delta = 0.0
        self.degenerate = True
        self.beta_add = None
        self.se_add = None
        self.beta_dom = None
        self.se_dom = None
        self.f_stat = None
        self.p = None


def marker_fit(sum_zz, sum_xx, sum_xy, sum_zy, sum_xz, t_obs, s, n, lists=1):
    """Estimates, standard errors and F test of the additive + dominance fit
    to the adjusted codes, from the observed sums of the permutation test,
    its statistic T_obs, the trait's sum of squares S, the sample size N and
    the number of list means taken out of the trait (lists: 1 with the
    "sequential" adjustment, the number of distinct lists with "means"),
    leaving d = N - 2 - lists residual degrees of freedom."""
    fit = MarkerFit()
    delta = sum_xx * sum_zz - sum_xz * sum_xz
    fit.delta = delta
    fit.degenerate = delta <= (1e-9 * sum_xx) * sum_zz
    if fit.degenerate:
        return fit
    fit.beta_add = ieee_div(sum_zz * sum_xy - sum_xz * sum_zy, delta)
    fit.beta_dom = ieee_div(sum_xx * sum_zy - sum_xz * sum_xy, delta)
    d = float(n - 2 - lists)
    if d <= 0.0:
        return fit
    explained = ieee_div(t_obs, delta)
    sigma2 = ieee_div(s - explained, d)
    if not sigma2 > 0.0:
        return fit
    fit.se_add = ieee_sqrt(ieee_div(sigma2 * sum_zz, delta))
    fit.se_dom = ieee_sqrt(ieee_div(sigma2 * sum_xx, delta))
    fit.f_stat = ieee_div(explained / 2.0, sigma2)
    if fit.f_stat <= 0.0:
        fit.p = 1.0
    else:
        fit.p = ieee_exp((-0.5 * d) * math.log1p(ieee_div(2.0 * fit.f_stat, d)))
    return fit


def family_wise_p_values(deltas, degenerate, stat_observed, trait_squares,
                         stat_permuted, permuted_squares, m, r_count):
    """EMP2[1..M], the max(T) P-values: replicate r's maximum is the largest
    T[r][j] / (Delta_j * S_r) over the non-degenerate markers (NaN never the
    largest, -inf when there is none), and marker j counts the replicates
    whose maximum reaches T_obs_j / (Delta_j * S).  None for a degenerate
    marker, and for one whose own ratio is not a number (S = 0)."""
    maxima = [None] * (r_count + 1)
    for r in range(1, r_count + 1):
        best = -math.inf
        for j in range(1, m + 1):
            if degenerate[j]:
                continue
            ratio = ieee_div(stat_permuted[r][j], deltas[j] * permuted_squares[r])
            if ratio > best:
                best = ratio
        maxima[r] = best
    emp2 = [None] * (m + 1)
    for j in range(1, m + 1):
        if degenerate[j]:
            continue
        threshold = ieee_div(stat_observed[j], deltas[j] * trait_squares)
        if math.isnan(threshold):
            continue
        count = 0
        for r in range(1, r_count + 1):
            if maxima[r] >= threshold:
                count += 1
        emp2[j] = float(1 + count) / float(r_count + 1)
    return emp2


def marker_statistics(study, record):
    """(fits[1..M], emp2[1..M]): each marker's MarkerFit and its max(T)
    P-value (None for NA).  The fit's degrees of freedom leave out the
    list means ("means"; one mean with "sequential") and the covariates."""
    n = study.n_individuals
    m = study.n_markers
    lists = record.lists if record.adjustment == "means" else 1
    fits = [None] * (m + 1)
    for j in range(1, m + 1):
        fits[j] = marker_fit(record.sum_zz[j], record.sum_xx[j], record.sum_xy[j],
                             record.sum_zy[j], record.sum_xz[j], record.stat_observed[j],
                             record.trait_squares, n, lists + record.covariates)
    emp2 = family_wise_p_values([None] + [fits[j].delta for j in range(1, m + 1)],
                                [None] + [fits[j].degenerate for j in range(1, m + 1)],
                                record.stat_observed, record.trait_squares,
                                record.stat_permuted, record.permuted_squares, m,
                                study.n_permutations)
    return fits, emp2


def family_wise_near_ties(fits, record, m, r_count, relative=1e-9):
    """near[1..M]: for each non-degenerate marker, how many replicates'
    maxima (as family_wise_p_values forms them) lie within `relative` of
    the marker's threshold T_obs / (Delta * S) (of 1 for a threshold below
    1: the ratios are shares of a sum of squares): the replicates whose
    count in EMP2 another rounding of the same sums could change."""
    near = [0] * (m + 1)
    maxima = [None] * (r_count + 1)
    for r in range(1, r_count + 1):
        best = -math.inf
        for j in range(1, m + 1):
            if fits[j].degenerate:
                continue
            ratio = ieee_div(record.stat_permuted[r][j], fits[j].delta * record.permuted_squares[r])
            if ratio > best:
                best = ratio
        maxima[r] = best
    for j in range(1, m + 1):
        if fits[j].degenerate:
            continue
        threshold = ieee_div(record.stat_observed[j], fits[j].delta * record.trait_squares)
        for r in range(1, r_count + 1):
            if maxima[r] == threshold or (abs(maxima[r] - threshold)
                                          <= relative * max(1.0, abs(threshold))):
                near[j] += 1
    return near


def marker_table(study, record, p_values, info):
    """The text of the per-marker table, one line per marker in marker
    order.  p_values are the unsorted per-marker P-values; info the marker
    descriptions or None.

    With the "sequential" adjustment EMP1 is the P-value c/R and the
    empirical P-values are printed with the precisions of
    empirical_precisions; with "means" EMP1 is (c + 1)/(R + 1) and both are
    printed in their shortest exact form."""
    m = study.n_markers
    r_count = study.n_permutations
    means = record.adjustment == "means"
    fits, emp2 = marker_statistics(study, record)
    emp1_precision, emp2_precision = empirical_precisions(r_count)
    lines = [TABLE_HEADER]
    for j in range(1, m + 1):
        if info is not None:
            marker_id, chromosome, position, allele1, allele2 = info[j]
            place = [chromosome, position, marker_id, allele2, allele1]
        else:
            place = [".", ".", str(j), ".", "."]
        frequency, called = allele_frequency(study, j)
        fit = fits[j]
        if means:
            emp1_text = shortest_g((record.exceed[j] + 1.0) / (float(r_count) + 1.0))
            emp2_text = shortest_g(emp2[j])
        else:
            emp1_text = c_format_g(p_values[j], emp1_precision)
            emp2_text = c_format_g(emp2[j], emp2_precision)
        fields = place + [
            c_format_g(frequency),
            "%d" % called,
            c_format_g(fit.beta_add),
            c_format_g(fit.se_add),
            c_format_g(fit.beta_dom),
            c_format_g(fit.se_dom),
            c_format_g(fit.f_stat),
            c_format_g(fit.p),
            emp1_text,
            emp2_text,
        ]
        lines.append("\t".join(fields) + "\n")
    return "".join(lines)


# ---------------------------------------------------------------------------
# Driver
# ---------------------------------------------------------------------------

class ProgramRun:
    """Everything one run produces.  results_name is None when no results
    file is written; table_name and table_text are None unless the table
    was asked for."""

    def __init__(self):
        self.status = 0
        self.stdout_text = ""
        self.results_name = None
        self.results_text = None
        self.table_name = None
        self.table_text = None
        # with the table: the permutation test's record, each marker's fit
        # and EMP2 (None for NA), and the replicates near EMP2's thresholds
        self.record = None
        self.fits = None
        self.emp2 = None
        self.emp2_near_ties = None


def run_full(folder, with_table=False, rng=None, adjustment="means", clusters_file=None,
             covar_file=None, covar_names=None):
    """Run the whole program in `folder`, with the per-marker table when
    with_table is set (as "strataperm run" does), on the given generator or
    on one seeded as the program seeds it, with the given adjustment and,
    when clusters_file names a file of cluster labels (a path as given, not
    relative to `folder`), with the user's groups; when covar_file names a
    covariate file (a path as given), with its covariates, those that the
    --covar-name list covar_names chooses or all of them."""
    run = ProgramRun()
    out = []
    if rng is None:
        rng = Generator(3, 1, 1)
    study = read_parameters(folder, out)
    if study is None:
        run.status = 1
        run.stdout_text = "".join(out)
        return run
    clusters = None
    if clusters_file is not None:
        clusters = read_clusters(clusters_file, study.n_individuals)
    covariates = None
    covariate_names = None
    if covar_file is not None:
        table = read_covariate_file(covar_file, study.n_individuals)
        columns = choose_covariates(table, covar_names)
        covariates = covariate_rows(table, columns, covar_file)
        covariate_names = [table.names[k] for k in columns]
    m = study.n_markers
    marker_ids = list(range(0, m + 1))
    p_values = [0.0] * (m + 1)
    results = []
    record = AnalysisRecord() if with_table else None

    structure = run_analysis(study, rng, p_values, record, adjustment, clusters,
                             covariates, covariate_names, covar_file)
    results.append(structure.file_text)
    out.append(structure.stdout_text)

    for i in range(1, m + 1):
        out.append("marker%-3d  P-value=%s\n" % (i, c_format_f(p_values[i])))
    unsorted_p_values = list(p_values)

    sort_with_index(p_values, marker_ids, m, rng)

    results.append("marker#   P-value\n")
    for i in range(1, m + 1):
        results.append("%-5d    %s\n" % (marker_ids[i], c_format_f(p_values[i], 7, 5)))
    run.stdout_text = "".join(out)
    run.results_name = study.output_file
    run.results_text = "".join(results)
    if with_table:
        info = read_marker_descriptions(folder, m)
        run.table_name = table_path(study.output_file)
        run.table_text = marker_table(study, record, unsorted_p_values, info)
        run.record = record
        run.fits, run.emp2 = marker_statistics(study, record)
        run.emp2_near_ties = family_wise_near_ties(run.fits, record, m, study.n_permutations)
    return run


def run_program(folder, adjustment="means"):
    """Run the whole program in `folder`.

    Returns (exit_status, stdout_text, results_file_name, results_text);
    results_file_name is None when no results file is written.
    """
    run = run_full(folder, adjustment=adjustment)
    return run.status, run.stdout_text, run.results_name, run.results_text


def write_output(name, text):
    try:
        with open(name, "w", encoding="latin-1", newline="") as handle:
            handle.write(text)
    except OSError:
        return False
    return True


class CommandLine:
    """The choices of the reference's command line."""

    def __init__(self):
        self.with_table = False
        self.adjustment = "means"
        self.clusters_file = None
        self.covar_file = None
        self.covar_names = None


VALUE_OPTIONS = ("--adjustment", "--within", "--covar", "--covar-name")


def parse_arguments(arguments):
    """The CommandLine of the arguments, or None when they cannot be read
    (covariates with the "sequential" adjustment, or names without a
    file, included)."""
    line = CommandLine()
    k = 0
    while k < len(arguments):
        argument = arguments[k]
        if argument == "--table":
            line.with_table = True
        elif argument in VALUE_OPTIONS and k + 1 < len(arguments):
            k += 1
            value = arguments[k]
            if argument == "--within":
                line.clusters_file = value
            elif argument == "--covar":
                line.covar_file = value
            elif argument == "--covar-name":
                line.covar_names = value
            elif value in ADJUSTMENTS:
                line.adjustment = value
            else:
                return None
        else:
            return None
        k += 1
    if line.covar_file is not None and line.adjustment != "means":
        return None
    if line.covar_names is not None and line.covar_file is None:
        return None
    return line


def main():
    sys.setrecursionlimit(max(10000, sys.getrecursionlimit()))
    line = parse_arguments(sys.argv[1:])
    if line is None:
        sys.stderr.write("usage: strataperm_reference.py [--table] "
                         "[--adjustment means|sequential] [--within FILE] "
                         "[--covar FILE [--covar-name LIST]]\n")
        return 2
    try:
        run = run_full(".", with_table=line.with_table, adjustment=line.adjustment,
                       clusters_file=line.clusters_file, covar_file=line.covar_file,
                       covar_names=line.covar_names)
    except InputError as error:
        sys.stderr.write("strataperm_reference.py: %s\n" % error)
        return 1
    if run.results_name is not None:
        if not write_output(run.results_name, run.results_text):
            sys.stdout.write("can't open file %s\n" % run.results_name)
            return 1
    # the table comes after the results file, which it replaces if the
    # two names are the same
    if run.table_name is not None and not write_output(run.table_name, run.table_text):
        sys.stderr.write("could not write %s\n" % run.table_name)
    sys.stdout.buffer.write(run.stdout_text.encode("latin-1"))
    sys.stdout.flush()
    return run.status


if __name__ == "__main__":
    sys.exit(main())
