#!/usr/bin/env python3
"""Independent Python reference of the strataperm console program.

Run it without arguments in a folder that holds "parameter.txt": it reads the
parameter file and the two data files it names, writes the results file and
prints the same standard output as the C++ program, byte for byte.

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


def adjust_column(column, g, n):
    """Subtract from each entry the mean over its group list, in place and
    row by row, so later rows see the already adjusted earlier rows."""
    for i in range(1, n + 1):
        w = 0.0
        a = 0.0
        for k in range(1, n + 1):
            w += g[i][k]
        for k in range(1, n + 1):
            a += column[k] * g[i][k]
        column[i] = column[i] - ieee_div(a, w)


def statistic(sum_zz, sum_xx, sum_xy, sum_zy, sum_xz):
    return ((sum_zz * sum_xy) * sum_xy + (sum_xx * sum_zy) * sum_zy
            - ((2.0 * sum_xz) * sum_zy) * sum_xy)


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


def run_analysis(study, rng, p_values):
    """Similarity, structure test and permutation test; fills p_values[1..M]
    and returns the structure test's result."""
    n = study.n_individuals
    m = study.n_markers
    r_count = study.n_permutations

    additive, dominance = code_markers(study)

    similarity = compute_similarity(n, study.n_loci, study.locus_allele1, study.locus_allele2)
    structure = test_population_structure(similarity, n, n)
    g = similarity

    trait = study.trait
    for j in range(1, m + 1):
        s = 0.0
        for i in range(1, n + 1):
            s += trait[i][j]
        mean = s / float(n)
        for i in range(1, n + 1):
            trait[i][j] = trait[i][j] - mean
        column = [0.0] + [additive[i][j] for i in range(1, n + 1)]
        adjust_column(column, g, n)
        for i in range(1, n + 1):
            additive[i][j] = column[i]
        column = [0.0] + [dominance[i][j] for i in range(1, n + 1)]
        adjust_column(column, g, n)
        for i in range(1, n + 1):
            dominance[i][j] = column[i]

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

    members = member_lists(g, n)

    for j in range(1, m + 1):
        p_values[j] = 0.0

    for _ in range(r_count):
        visit_order = random_permutation(rng, n)
        donor = assign_donors(members, visit_order, n, rng)
        for j in range(1, m + 1):
            sxy = 0.0
            szy = 0.0
            for i in range(1, n + 1):
                y = trait[donor[i]][j]
                sxy += additive[i][j] * y
                szy += dominance[i][j] * y
            t = statistic(sum_zz[j], sum_xx[j], sxy, szy, sum_xz[j])
            if t > stat_observed[j]:
                p_values[j] += 1.0
            elif t == stat_observed[j]:
                p_values[j] += 0.5

    for j in range(1, m + 1):
        p_values[j] = ieee_div(p_values[j], float(r_count))
    return structure


# ---------------------------------------------------------------------------
# Driver
# ---------------------------------------------------------------------------

def run_program(folder):
    """Run the whole program in `folder`.

    Returns (exit_status, stdout_text, results_file_name, results_text);
    results_file_name is None when no results file is written.
    """
    out = []
    rng = Generator(3, 1, 1)
    study = read_parameters(folder, out)
    if study is None:
        return 1, "".join(out), None, None
    m = study.n_markers
    marker_ids = list(range(0, m + 1))
    p_values = [0.0] * (m + 1)
    results = []

    structure = run_analysis(study, rng, p_values)
    results.append(structure.file_text)
    out.append(structure.stdout_text)

    for i in range(1, m + 1):
        out.append("marker%-3d  P-value=%s\n" % (i, c_format_f(p_values[i])))

    sort_with_index(p_values, marker_ids, m, rng)

    results.append("marker#   P-value\n")
    for i in range(1, m + 1):
        results.append("%-5d    %s\n" % (marker_ids[i], c_format_f(p_values[i], 7, 5)))
    return 0, "".join(out), study.output_file, "".join(results)


def main():
    sys.setrecursionlimit(max(10000, sys.getrecursionlimit()))
    try:
        status, stdout_text, results_name, results_text = run_program(".")
    except InputError:
        return 1
    if results_name is not None:
        try:
            with open(results_name, "w", encoding="latin-1", newline="") as handle:
                handle.write(results_text)
        except OSError:
            sys.stdout.write("can't open file %s\n" % results_name)
            return 1
    sys.stdout.buffer.write(stdout_text.encode("latin-1"))
    sys.stdout.flush()
    return status


if __name__ == "__main__":
    sys.exit(main())
