#!/usr/bin/env python3
"""strataperm's fitted table with --covar against plink1.9's --linear genotypic --covar.

With covariates the trait and each marker's additive and dominance codes are
replaced by their residuals on Z = [1, the covariates, one indicator per group
but the first]. By the Frisch-Waugh-Lovell theorem the fit on the residuals is
the full least-squares fit of the trait on the two codes, the covariates and
one intercept per group, which is what plink1.9 fits when it is given the same
covariates plus the group indicators: its GENO_2DF STAT is 2 * F_STAT and its
ADD and DOMDEV BETA are BETA_ADD and BETA_DOM (ADD with the opposite sign
where the two programs count different alleles).

Ten covariates, written as FID IID NAME... with the lines in the reverse of
the file order (so they are matched by id, not by position):

  PC1     an ancestry-like score (allele counts over a block of SNPs + noise)
  AGE     uniform 20..80, shifts the trait
  DOSE    the allele count at one candidate marker + noise, shifts the trait
  BMI     shifts the trait; five -9 and two NA values, so seven individuals
          are left out of every run that uses it
  PC2     another ancestry-like score
  SMOKER  0/1, shifts the trait
  WAIST   correlated with AGE
  BATCH   1..4
  SCORE   shifts the trait
  NOISE   unrelated to anything

Each study is run with 1 (DOSE), 3 (AGE DOSE BMI) and all 10 covariates:

  one_group   no drift: the structure test finds one group (Z without
              indicators; plink gets the covariates alone);
  two_groups  strong drift: the structure test finds the two populations
              (one indicator);
  within      no drift, three clusters given by --within with different
              trait means (two indicators), 3 covariates only.

Every marker without missing calls is compared to plink's printed 4
significant digits, one unit in the last digit allowed for its rounding; a
marker lacking a genotype class among the kept individuals must be NA in both
programs; markers plink1.9 drops by its variance-inflation check are counted,
not compared. The largest relative differences are printed per study.

--covar-name is checked on the 10-column file: names, a number, a range of
numbers and a range of names must give the same RESULTS.tsv, byte for byte, as
a file holding only those columns; so must the 3-column file with a '#FID IID'
header and with no header.

usage: plink_covariates.py --binary PATH --make-fileset PATH --plink PATH --workdir DIR
Exit status 0 when everything agrees, 1 when not, 77 (skipped) without plink1.9.
"""
import math
import os
import random
import sys

import validation_common as vc

PERMUTATIONS = "20"
TREND = 2.0
CANDIDATE_STEP = 8  # every 8th SNP is a candidate marker, the rest background loci
SNPS = 2400
NAMES = ["PC1", "AGE", "DOSE", "BMI", "PC2", "SMOKER", "WAIST", "BATCH", "SCORE", "NOISE"]
COVARIATE_SETS = [["DOSE"], ["AGE", "DOSE", "BMI"], NAMES]
MISSING_BMI = 7  # five -9 and two NA


def split_markers(prefix, work):
    """Writes the background loci (every SNP but every CANDIDATE_STEP-th) to
    a file; returns (that file, the candidate ids in file order)."""
    with open(prefix + ".bim") as f:
        snps = [line.split()[1] for line in f if line.strip()]
    candidates = snps[CANDIDATE_STEP // 2::CANDIDATE_STEP]
    chosen = set(candidates)
    background = os.path.join(work, "background.txt")
    with open(background, "w") as f:
        f.writelines(snp + "\n" for snp in snps if snp not in chosen)
    return background, candidates


def standardized(values):
    mean = sum(values) / len(values)
    sd = math.sqrt(sum((v - mean) ** 2 for v in values) / len(values)) or 1.0
    return [(v - mean) / sd for v in values]


def block_score(counts, snps, n):
    """The mean of the standardized allele counts over `snps`, per individual."""
    columns = [standardized([float(c) for c in counts[snp]]) for snp in snps]
    return [sum(column[i] for column in columns) / len(columns) for i in range(n)]


def make_covariates(prefix, candidates, seed):
    """The ten covariates (a list of rows of floats, None where missing, in
    file order), the true values behind the missing ones, and the candidate
    marker DOSE follows."""
    with open(prefix + ".bim") as f:
        snps = [line.split()[1] for line in f if line.strip()]
    n = len(vc.read_fam(prefix))
    rng = random.Random(seed)
    block1 = snps[1:400:13]
    block2 = snps[1201:1600:13]
    counts = vc.allele2_counts(prefix, set(block1) | set(block2) | set(candidates))
    # DOSE follows the candidate with the most even genotype classes, so the
    # comparison always includes it.
    dose_snp = max(candidates, key=lambda s: min(counts[s].count(0), counts[s].count(1), counts[s].count(2)))
    pc1 = block_score(counts, block1, n)
    pc2 = block_score(counts, block2, n)
    rows = []
    for i in range(n):
        age = round(rng.uniform(20, 80), 1)
        rows.append([
            pc1[i] + rng.gauss(0, 0.3),
            age,
            counts[dose_snp][i] + rng.gauss(0, 0.6),
            rng.gauss(25, 4),
            pc2[i] + rng.gauss(0, 0.3),
            1.0 if rng.random() < 0.3 else 0.0,
            80 + 0.3 * (age - 50) + rng.gauss(0, 6),
            float(rng.randint(1, 4)),
            rng.gauss(0, 1),
            rng.gauss(0, 1),
        ])
    truth = [list(row) for row in rows]
    missing = {}
    for k, i in enumerate(range(n // 9, n, n // 8)[:MISSING_BMI]):
        rows[i][NAMES.index("BMI")] = None
        missing[i] = "NA" if k % 3 == 2 else "-9"
    return rows, truth, missing, dose_snp


def trait_with_covariates(rows, truth):
    """The trait plus the covariates' effects (the true values where the
    file holds a missing one)."""
    shifted = []
    for (fid, iid, value), c in zip(rows, truth):
        value += (0.4 * c[0] + 0.03 * (c[1] - 50) + 0.4 * c[2] + 0.05 * (c[3] - 25) + 0.3 * c[5]
                  + 0.5 * c[8])
        shifted.append((fid, iid, value))
    return shifted


def format_value(value):
    return "%.6g" % value


def write_covariates(path, ids, rows, missing, names, header="FID IID", indicators=None, plink=False):
    """A covariate table of the chosen columns, lines in the reverse of the
    file order. header: 'FID IID', '#FID IID' or None (no header line).
    indicators: group numbers, one 0/1 column per group but the first added
    after the covariates (plink's input). plink: -9 for every missing value."""
    columns = [NAMES.index(name) for name in names]
    groups = (max(indicators) + 1) if indicators else 1
    lines = []
    if header is not None:
        lines.append(" ".join([header] + names + ["G%d" % g for g in range(1, groups)]) + "\n")
    body = []
    for i, ((fid, iid), row) in enumerate(zip(ids, rows)):
        fields = [fid, iid]
        for k in columns:
            if row[k] is None:
                fields.append("-9" if plink else missing[i])
            else:
                fields.append(format_value(row[k]))
        if indicators:
            fields += ["1" if indicators[i] == g else "0" for g in range(1, groups)]
        body.append(" ".join(fields) + "\n")
    body.reverse()
    with open(path, "w") as f:
        f.writelines(lines + body)


def run_plink(args, prefix, pheno, ids_file, covar, out):
    return vc.run_plink_genotypic(args.plink, prefix, pheno, ids_file, covar, out)


def compare(case, table, plink_rows, counts, kept, failures):
    """Checks every marker of `table` against plink's rows over the kept
    individuals (a list of booleans in file order); returns a Worst and the
    number of markers compared."""
    worst = vc.Worst()
    outcomes = {"compared": 0, "empty": 0, "vif": 0, None: 0}
    kept_count = sum(kept)
    for row in table:
        snp = row["ID"]
        calls = [c for c, k in zip(counts[snp], kept) if k]
        if not failures.check(int(row["OBS_CT"]) == kept_count,
                              "%s %s: OBS_CT %s, but %d individuals have every covariate"
                              % (case, snp, row["OBS_CT"], kept_count)):
            continue
        if None in calls:
            continue
        classes = (calls.count(0), calls.count(1), calls.count(2))
        outcomes[vc.compare_with_plink(case, snp, row, plink_rows, classes, failures, worst)] += 1
    print("%s: %d markers compared, %d with an empty genotype class (NA in both), %d left out by "
          "plink1.9's variance-inflation check; largest relative differences: %s"
          % (case, outcomes["compared"], outcomes["empty"], outcomes["vif"], worst.text()))
    failures.check(outcomes["compared"] >= len(table) // 2,
                   "%s: only %d of %d markers could be compared" % (case, outcomes["compared"], len(table)))
    return worst, outcomes["compared"]


class Study:
    """A generated fileset with its trait, covariates and groups."""

    def __init__(self, args, name, individuals, fst, seed, groups, populations, offsets=None, labels=None):
        self.args = args
        self.name = name
        self.work = os.path.join(args.workdir, name)
        os.makedirs(self.work)
        self.prefix = os.path.join(self.work, "data")
        vc.make_fileset(args, self.prefix, individuals, SNPS, fst, seed, populations=populations)
        self.ids = vc.read_fam(self.prefix)
        self.groups = groups
        self.background, self.candidates = split_markers(self.prefix, self.work)
        self.rows, truth, self.missing, self.dose_snp = make_covariates(self.prefix, self.candidates, seed)
        self.counts = vc.allele2_counts(self.prefix, set(self.candidates))
        base = vc.shaped_trait(vc.read_pheno(self.prefix + ".pheno"), groups, TREND, offsets)
        self.pheno = os.path.join(self.work, "trait.txt")
        vc.write_pheno(self.pheno, trait_with_covariates(base, truth))
        self.ids_file = os.path.join(self.work, "candidates.txt")
        with open(self.ids_file, "w") as f:
            f.writelines(snp + "\n" for snp in self.candidates)
        self.options = ["--bfile", self.prefix, "--pheno", self.pheno, "--background-ids", self.background,
                        "--permutations", PERMUTATIONS, "--threads", "2"]
        self.clusters = None
        if labels:
            self.clusters = os.path.join(self.work, "clusters.txt")
            vc.write_clusters(self.clusters, self.ids, groups, labels)
            self.options += ["--within", self.clusters]

    def covariate_file(self, tag, names, **kwargs):
        path = os.path.join(self.work, "covariates_%s.txt" % tag)
        write_covariates(path, self.ids, self.rows, self.missing, names, **kwargs)
        return path

    def run(self, tag, covar_options):
        out = os.path.join(self.work, "out_" + tag)
        console, table, log = vc.run_strataperm(self.args, out, self.options + covar_options)
        return out, console, table, log

    def kept(self, names):
        uses_bmi = "BMI" in names
        return [not (uses_bmi and i in self.missing) for i in range(len(self.ids))]


def check_groups(study, console, log, kept, expect_structure, failures):
    """The verdict, and the group sizes in the log among the kept individuals."""
    verdict = console.splitlines()[0]
    failures.check(verdict.startswith("There exists") == expect_structure,
                   "%s: the structure test's verdict is '%s'; the study is made for %s"
                   % (study.name, verdict, "two groups" if expect_structure else "one group"))
    kept_groups = [g for g, k in zip(study.groups, kept) if k]
    sizes = [kept_groups.count(g) for g in range(max(study.groups) + 1)]
    reported = vc.group_sizes(log)
    failures.check(reported is not None and sorted(reported) == sorted(sizes),
                   "%s: the log gives groups '%s'; the study's groups have sizes %s"
                   % (study.name, vc.log_value(log, "groups"), sizes))


def dropped_for_covariates(log):
    """The count of the log's 'individuals dropped, no covariate row or a
    missing covariate' line, None without one."""
    for line in log:
        if line.startswith("study\t") and "missing covariate" in line:
            return int(line.rsplit(":", 1)[1])
    return None


def study_run(args, failures, study, covariate_sets, expect_structure):
    """Runs strataperm and plink1.9 with each set of covariates and compares
    them; returns the results of the runs by set size."""
    worst = vc.Worst()
    indicators = study.groups if max(study.groups) > 0 else None
    runs = {}
    for names in covariate_sets:
        case = "%s K=%d" % (study.name, len(names))
        covar = study.covariate_file("k%d" % len(names), names)
        out, console, table, log = study.run("k%d" % len(names), ["--covar", covar])
        runs[len(names)] = out
        kept = study.kept(names)
        print("%s: N %d (%d left out for a missing covariate), %d candidate markers, groups %s"
              % (case, sum(kept), len(kept) - sum(kept), len(table), vc.log_value(log, "groups")))
        check_groups(study, console, log, kept, expect_structure, failures)
        failures.check(len(table) == len(study.candidates),
                       "%s: %d markers in the table, %d candidates" % (case, len(table), len(study.candidates)))
        failures.check(vc.log_value(log, "individuals") == str(sum(kept)),
                       "%s: the log gives %s individuals; %d have every covariate"
                       % (case, vc.log_value(log, "individuals"), sum(kept)))
        failures.check(dropped_for_covariates(log) == len(kept) - sum(kept),
                       "%s: the log gives %s individuals left out for a missing covariate; %d have one"
                       % (case, dropped_for_covariates(log), len(kept) - sum(kept)))
        failures.check(vc.log_value(log, "covariates") == " ".join(names)
                       and vc.log_value(log, "covariates_from") == covar,
                       "%s: the log gives covariates '%s' from '%s'; the run has %s from %s"
                       % (case, vc.log_value(log, "covariates"), vc.log_value(log, "covariates_from"),
                          " ".join(names), covar))
        rank = 1 + len(names) + max(study.groups)
        failures.check((vc.log_value(log, "model_rank") or "").split(" ")[0] == str(rank),
                       "%s: the log gives Z's rank as '%s'; the intercept, %d covariates and %d group "
                       "indicators make %d" % (case, vc.log_value(log, "model_rank"), len(names),
                                               max(study.groups), rank))
        plink_covar = study.covariate_file("k%d_plink" % len(names), names, indicators=indicators, plink=True)
        plink_rows = run_plink(args, study.prefix, study.pheno, study.ids_file, plink_covar,
                               os.path.join(study.work, "plink_k%d" % len(names)))
        case_worst, compared = compare(case, table, plink_rows, study.counts, kept, failures)
        worst.merge(case_worst)
        if study.dose_snp in [row["ID"] for row in table]:
            row = next(r for r in table if r["ID"] == study.dose_snp)
            failures.check(vc.number(row["F_STAT"]) is not None,
                           "%s: %s, the marker DOSE follows, has no fit" % (case, study.dose_snp))
    print("%s: largest relative difference over all covariate sets: %s" % (study.name, worst.text()))
    return runs


def same_file(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        return fa.read() == fb.read()


def covariate_names(args, failures, study, runs):
    """--covar-name on the 10-column file, and the 3-column file with other
    headers, against the runs with files of only those columns."""
    full = study.covariate_file("all", NAMES)
    bare = study.covariate_file("k3_bare", ["AGE", "DOSE", "BMI"], header=None)
    hashed = study.covariate_file("k3_hash", ["AGE", "DOSE", "BMI"], header="#FID IID")
    cases = [
        ("names", ["--covar", full, "--covar-name", "AGE,DOSE,BMI"], 3),
        ("numbers", ["--covar", full, "--covar-name", "2,3,4"], 3),
        ("number_range", ["--covar", full, "--covar-name", "2-4"], 3),
        ("name_range", ["--covar", full, "--covar-name", "AGE-BMI"], 3),
        ("one_name", ["--covar", full, "--covar-name", "DOSE"], 1),
        ("one_number", ["--covar", full, "--covar-name", "3"], 1),
        ("all_by_default", ["--covar", full], 10),
        ("all_by_range", ["--covar", full, "--covar-name", "1-10"], 10),
        ("hash_header", ["--covar", hashed], 3),
        ("no_header", ["--covar", bare], 3),
    ]
    differing = []
    for tag, options, count in cases:
        out, _, _, _ = study.run("name_" + tag, options)
        if not same_file(os.path.join(out, "results.tsv"), os.path.join(runs[count], "results.tsv")):
            differing.append("%s (%s)" % (tag, " ".join(options[2:]) or "no --covar-name"))
    print("%s: --covar-name and header variants: %d runs, %d differ from the runs with files of only "
          "those columns" % (study.name, len(cases), len(differing)))
    failures.check(not differing, "%s: RESULTS.tsv differs from the run with a file of only the chosen "
                   "columns for: %s" % (study.name, "; ".join(differing)))


def main():
    args = vc.arguments(__doc__.split("\n")[0], plink=True)
    if vc.plink_missing(args):
        return vc.SKIP
    failures = vc.Failures()
    one = Study(args, "one_group", 500, 0.0, 41, [0] * 500, populations=1)
    runs = study_run(args, failures, one, COVARIATE_SETS, expect_structure=False)
    covariate_names(args, failures, one, runs)
    two = Study(args, "two_groups", 600, 0.15, 42, vc.halves(600), populations=2)
    study_run(args, failures, two, COVARIATE_SETS, expect_structure=True)
    within = Study(args, "within", 600, 0.0, 43, vc.blocks(600, [150, 200, 250]), populations=1,
                   offsets=[0.0, 0.7, -0.5], labels=["north", "centre", "south"])
    study_run(args, failures, within, [["AGE", "DOSE", "BMI"]], expect_structure=False)
    failures.finish()


if __name__ == "__main__":
    sys.exit(main())
