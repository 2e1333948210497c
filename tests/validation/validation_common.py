"""Shared pieces of the validation tests: generating PLINK filesets with a
trait that follows the file order, running strataperm and reading its
outputs, and the comparisons and tolerances the tests use.

The filesets come from bench/make_fileset.cpp (built as
validation_make_fileset): individuals F<k> I<k>, the first half population 1
and the rest population 2 (the trait 1.0 higher there), so the file order
follows the population. The tests then add a trend along the file within each
group, the case in which an adjustment that depends on the file order goes
wrong.
"""
import argparse
import math
import os
import shutil
import subprocess
import sys

SKIP = 77


def arguments(description, plink=False):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--binary", required=True, help="the strataperm program")
    parser.add_argument("--make-fileset", required=True, help="the fileset generator (bench/make_fileset.cpp)")
    parser.add_argument("--workdir", required=True, help="scratch folder (emptied first)")
    if plink:
        parser.add_argument("--plink", default="/usr/bin/plink1.9", help="plink1.9 (the test is skipped without it)")
    args = parser.parse_args()
    if os.path.isdir(args.workdir):
        shutil.rmtree(args.workdir)
    os.makedirs(args.workdir)
    return args


class Failures:
    """Collects failed checks, so that one run reports all of them."""

    def __init__(self):
        self.messages = []

    def check(self, condition, message):
        if not condition:
            self.messages.append(message)
            print("FAILED: " + message)
        return condition

    def finish(self):
        if self.messages:
            print("%d check(s) failed" % len(self.messages))
            sys.exit(1)
        print("all checks passed")
        sys.exit(0)


def execute(command, cwd=None):
    """Runs a command; ends the test with its output when it fails."""
    done = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if done.returncode != 0:
        sys.stdout.write("command failed (exit status %d): %s\n%s%s" % (
            done.returncode, " ".join(command), done.stdout[-4000:], done.stderr[-4000:]))
        sys.exit(1)
    return done.stdout


# ---------------------------------------------------------------- filesets

def make_fileset(args, prefix, individuals, snps, fst, seed, causal=0, effect=0.5, populations=2,
                 chromosomes=22):
    """Writes PREFIX.bed/.bim/.fam/.pheno; returns the causal SNP ids."""
    out = execute([args.make_fileset, "--out", prefix, "--individuals", str(individuals),
                   "--snps", str(snps), "--fst", repr(fst), "--seed", str(seed),
                   "--causal", str(causal), "--effect", repr(effect),
                   "--populations", str(populations), "--chromosomes", str(chromosomes)])
    return out.split(":", 1)[1].split()


def read_fam(prefix):
    with open(prefix + ".fam") as f:
        return [tuple(line.split()[:2]) for line in f if line.strip()]


def read_pheno(path):
    """The trait table FID IID trait: a list of (fid, iid, value)."""
    rows = []
    with open(path) as f:
        for line in f:
            fields = line.split()
            if not fields or fields[0] in ("FID", "#FID"):
                continue
            rows.append((fields[0], fields[1], float(fields[2])))
    return rows


def write_pheno(path, rows):
    with open(path, "w") as f:
        f.write("FID IID trait\n")
        for fid, iid, value in rows:
            f.write("%s %s %.6f\n" % (fid, iid, value))


def halves(n):
    """Group numbers of the two generated populations, in file order."""
    return [0 if i < n // 2 else 1 for i in range(n)]


def blocks(n, sizes):
    """Group numbers of consecutive blocks of the given sizes, in file order."""
    if sum(sizes) != n:
        raise ValueError("block sizes do not add up to %d" % n)
    groups = []
    for g, size in enumerate(sizes):
        groups += [g] * size
    return groups


def shaped_trait(rows, groups, trend, offsets=None):
    """The trait plus a trend along the file within each group (0 for the
    group's first member in file order, rising by `trend` over the group)
    and a shift offsets[g] for group g."""
    size = {}
    for g in groups:
        size[g] = size.get(g, 0) + 1
    seen = {}
    shaped = []
    for (fid, iid, value), g in zip(rows, groups):
        k = seen.get(g, 0)
        seen[g] = k + 1
        value += trend * k / max(1, size[g] - 1)
        if offsets:
            value += offsets[g]
        shaped.append((fid, iid, value))
    return shaped


def write_clusters(path, ids, groups, labels, with_fid=True, reverse=True):
    """A cluster file as PLINK's --within takes it (FID IID CLUSTER, or
    IID CLUSTER), lines in the reverse of the file order by default, so that
    the rows are matched by id and not by position."""
    lines = []
    for (fid, iid), g in zip(ids, groups):
        lines.append("%s %s %s\n" % (fid, iid, labels[g]) if with_fid else "%s %s\n" % (iid, labels[g]))
    if reverse:
        lines.reverse()
    with open(path, "w") as f:
        f.writelines(lines)


def genotype_classes(prefix, wanted):
    """For each SNP id in `wanted`: the counts of the three called genotype
    classes (homozygous allele1, heterozygous, homozygous allele2) and of
    missing calls, read from the .bed."""
    return {snp: (calls.count(0), calls.count(1), calls.count(2), calls.count(None))
            for snp, calls in allele2_counts(prefix, wanted).items()}


def allele2_counts(prefix, wanted):
    """For each SNP id in `wanted`: every individual's count of allele2 (the
    .bim's second allele) in file order, None for a missing call."""
    with open(prefix + ".bim") as f:
        ids = [line.split()[1] for line in f if line.strip()]
    n = len(read_fam(prefix))
    per_snp = (n + 3) // 4
    decode = {0: 0, 2: 1, 3: 2, 1: None}  # 00 hom allele1, 10 het, 11 hom allele2, 01 missing
    counts = {}
    with open(prefix + ".bed", "rb") as bed:
        if bed.read(3) != bytes([0x6C, 0x1B, 0x01]):
            raise ValueError(prefix + ".bed is not a SNP-major PLINK 1 .bed")
        for j, snp in enumerate(ids):
            if snp not in wanted:
                continue
            bed.seek(3 + j * per_snp)
            data = bed.read(per_snp)
            counts[snp] = [decode[(data[i >> 2] >> (2 * (i & 3))) & 3] for i in range(n)]
    return counts


# ---------------------------------------------------------------- strataperm

def run_strataperm(args, out, options):
    """`strataperm run OPTIONS --out OUT`; returns (stdout, table rows, log lines)."""
    console = execute([args.binary, "run"] + options + ["--out", out])
    return console, read_table(os.path.join(out, "results.tsv")), read_log(os.path.join(out, "results.log"))


def read_table(path):
    with open(path) as f:
        header = f.readline().rstrip("\n").lstrip("#").split("\t")
        return [dict(zip(header, line.rstrip("\n").split("\t"))) for line in f if line.strip()]


def read_log(path):
    with open(path) as f:
        return [line.rstrip("\n") for line in f]


def log_value(log, key):
    """The rest of the log's first line whose first field is `key`."""
    for line in log:
        fields = line.split("\t", 1)
        if fields[0] == key:
            return fields[1] if len(fields) > 1 else ""
    return None


def group_sizes(log):
    """The sizes from the log's `groups` line (`2 (sizes 300 300)`), or None
    when the lists do not partition the sample."""
    text = log_value(log, "groups")
    if text is None or "(sizes" not in text:
        return None
    return [int(s) for s in text.split("(sizes", 1)[1].rstrip(")").split()]


def number(text):
    """A table value as a float, None for NA."""
    return None if text in ("NA", "nan", "-nan", "") else float(text)


# ---------------------------------------------------------------- statistics

def round_significant(x, digits=4):
    if x == 0 or not math.isfinite(x):
        return x
    return round(x, digits - 1 - int(math.floor(math.log10(abs(x)))))


def agree_to_digits(ours, theirs, digits=4):
    """True when `ours`, rounded to `digits` significant digits, is within
    one unit in the last of those digits of `theirs` (a peer's value printed
    with `digits` significant digits, its own rounding allowed for)."""
    if ours == theirs:
        return True
    rounded = round_significant(ours, digits)
    scale = max(abs(rounded), abs(theirs))
    if scale == 0:
        return False
    unit = 10.0 ** (math.floor(math.log10(scale)) - (digits - 1))
    return abs(rounded - theirs) <= unit * (1 + 1e-9)


def share_below(values, threshold):
    return sum(1 for v in values if v < threshold) / len(values)


def binomial_band(count, p=0.05, sds=3.5):
    """The shares within `sds` binomial standard deviations of p among `count` trials."""
    sd = math.sqrt(p * (1 - p) / count)
    return p - sds * sd, p + sds * sd


def median(values):
    ordered = sorted(values)
    m = len(ordered)
    return ordered[m // 2] if m % 2 else (ordered[m // 2 - 1] + ordered[m // 2]) / 2


class Worst:
    """The largest relative differences from plink1.9 seen, per quantity."""

    def __init__(self):
        self.values = {"2*F_STAT": (0.0, None), "BETA_ADD": (0.0, None), "BETA_DOM": (0.0, None)}

    def add(self, name, ours, theirs, where):
        if not theirs:
            return
        relative = abs(ours - theirs) / abs(theirs)
        if relative > self.values[name][0]:
            self.values[name] = (relative, where)

    def merge(self, other):
        for name, (value, where) in other.values.items():
            if value > self.values[name][0]:
                self.values[name] = (value, where)

    def text(self):
        return "; ".join("%s %.3g (%s)" % (name, value, where) for name, (value, where) in self.values.items())


def compare_with_plink(label, snp, row, plink_rows, classes, failures, worst):
    """One fully called marker's RESULTS.tsv row against plink1.9's
    `--linear genotypic` rows: 2*F_STAT with GENO_2DF STAT, BETA_ADD with ADD
    BETA (sign by the tested allele), BETA_DOM with DOMDEV BETA, to plink's
    printed digits. `classes` are the called counts of the three genotypes.
    Returns "compared", "empty" (a class is empty: NA in both), "vif" (left
    out by plink's variance-inflation check) or None (a failure)."""
    add, dom, joint = (plink_rows.get((snp, test)) for test in ("ADD", "DOMDEV", "GENO_2DF"))
    if joint is None or add is None or dom is None:
        failures.check(False, "%s: plink1.9 has no genotypic rows for %s" % (label, snp))
        return None
    f_stat = number(row["F_STAT"])
    stat = number(joint["STAT"])
    if min(classes) == 0:
        failures.check(f_stat is None and stat is None,
                       "%s %s: a genotype class is empty (counts %s), so the codes are collinear and "
                       "the fit undefined; F_STAT %s, plink GENO_2DF STAT %s (both NA expected)"
                       % (label, snp, list(classes), row["F_STAT"], joint["STAT"]))
        return "empty"
    if stat is None:
        return "vif"
    if not failures.check(f_stat is not None, "%s %s: F_STAT is NA but plink1.9 fits it (GENO_2DF STAT %s)"
                          % (label, snp, joint["STAT"])):
        return None
    sign = 1.0 if row["A1"] == add["A1"] else -1.0
    ours = {"2*F_STAT": 2 * f_stat, "BETA_ADD": sign * float(row["BETA_ADD"]),
            "BETA_DOM": float(row["BETA_DOM"])}
    theirs = {"2*F_STAT": stat, "BETA_ADD": float(add["BETA"]), "BETA_DOM": float(dom["BETA"])}
    for name in ours:
        failures.check(agree_to_digits(ours[name], theirs[name]),
                       "%s %s: %s = %.6g but plink1.9 gives %s (A1 %s, plink A1 %s)"
                       % (label, snp, name, ours[name], repr(theirs[name]), row["A1"], add["A1"]))
        worst.add(name, ours[name], theirs[name], snp)
    return "compared"


def run_plink_genotypic(plink, prefix, pheno, ids_file, covar, out):
    """plink1.9 --linear genotypic on the SNPs of `ids_file` (with the
    covariates of `covar` when given, their rows hidden); its rows keyed by
    (SNP, TEST)."""
    command = [plink, "--bfile", prefix, "--linear", "genotypic", "--pheno", pheno,
               "--pheno-name", "trait", "--allow-no-sex", "--extract", ids_file, "--out", out,
               "--threads", "1"]
    if covar:
        command += ["--covar", covar, "--hide-covar"]
    execute(command)
    rows = {}
    with open(out + ".assoc.linear") as f:
        header = f.readline().split()
        for line in f:
            fields = dict(zip(header, line.split()))
            rows[(fields["SNP"], fields["TEST"])] = fields
    return rows


def plink_missing(args):
    """True (after saying so) when the plink1.9 of args.plink is not there."""
    if (os.path.isfile(args.plink) and os.access(args.plink, os.X_OK)) or shutil.which(args.plink):
        return False
    print("plink1.9 not found at %s: skipped" % args.plink)
    return True
