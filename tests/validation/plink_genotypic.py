#!/usr/bin/env python3
"""strataperm's fitted table against plink1.9's --linear genotypic.

With groups that partition the individuals, RESULTS.tsv holds the
least-squares fit of the trait on the additive and dominance codes with one
intercept per group. plink1.9 fits the same model when the groups enter as
covariates (one indicator column for each group but the first): its
GENO_2DF STAT (the Wald chi-square of the two genotype terms) is 2 * F_STAT,
and its ADD and DOMDEV BETA are BETA_ADD and BETA_DOM (ADD with the opposite
sign where the two programs count different alleles). Three studies, each
with its file order following the groups and a trait trend along the file
within each group:

  one_group   no drift: the structure test finds one group (no covariate);
  two_groups  strong drift: the structure test finds the two populations,
              whose sizes the log must give (one indicator covariate);
  within      no drift, three clusters given by --within (FID IID CLUSTER,
              lines in reverse order) with different trait means; the same
              study read from a VCF with an IID CLUSTER file must give the
              same statistics.

Every marker without missing calls is compared to 4 significant digits, one
unit in the last digit allowed for plink's rounding; a marker lacking a
genotype class (collinear codes) must be NA in both programs. plink1.9 drops
some rare markers by its variance-inflation check; those are counted, not
compared.

usage: plink_genotypic.py --binary PATH --make-fileset PATH --plink PATH --workdir DIR
Exit status 0 when everything agrees, 1 when not, 77 (skipped) without plink1.9.
"""
import os
import sys

import validation_common as vc

PERMUTATIONS = "50"
TREND = 2.0


def run_plink(args, prefix, pheno, ids_file, covar, out):
    return vc.run_plink_genotypic(args.plink, prefix, pheno, ids_file, covar, out)


def write_covariates(path, ids, groups):
    """FID IID and one 0/1 column for each group but group 0."""
    count = max(groups) + 1
    with open(path, "w") as f:
        f.write("FID IID " + " ".join("G%d" % g for g in range(1, count)) + "\n")
        for (fid, iid), g in zip(ids, groups):
            f.write("%s %s %s\n" % (fid, iid, " ".join("1" if g == h else "0" for h in range(1, count))))


def compare(study, prefix, table, plink_rows, individuals, failures):
    """Checks every marker of `table` against plink's rows; prints a summary."""
    classes = vc.genotype_classes(prefix, {row["ID"] for row in table})
    worst = vc.Worst()
    outcomes = {"compared": 0, "empty": 0, "vif": 0, None: 0}
    for row in table:
        snp = row["ID"]
        if int(row["OBS_CT"]) != individuals or classes[snp][3] != 0:
            continue
        outcomes[vc.compare_with_plink(study, snp, row, plink_rows, classes[snp][:3], failures, worst)] += 1
    print("%s: %d markers compared, %d with an empty genotype class (NA in both), %d left out by "
          "plink1.9's variance-inflation check; largest relative differences: %s"
          % (study, outcomes["compared"], outcomes["empty"], outcomes["vif"], worst.text()))
    failures.check(outcomes["compared"] >= len(table) // 2,
                   "%s: only %d of %d markers could be compared" % (study, outcomes["compared"], len(table)))
    return worst.values["2*F_STAT"][0]


def study_run(args, failures, study, individuals, fst, seed, groups_of, offsets=None, labels=None,
              expect_structure=False, populations=2):
    """Generates a study, runs strataperm (with --within when labels are
    given) and plink1.9, and compares them. Returns (prefix, table)."""
    work = os.path.join(args.workdir, study)
    os.makedirs(work)
    prefix = os.path.join(work, "data")
    vc.make_fileset(args, prefix, individuals, 2000 + 400, fst, seed, populations=populations)
    ids = vc.read_fam(prefix)
    groups = groups_of(individuals)
    pheno = os.path.join(work, "trait.txt")
    vc.write_pheno(pheno, vc.shaped_trait(vc.read_pheno(prefix + ".pheno"), groups, TREND, offsets))

    options = ["--bfile", prefix, "--pheno", pheno, "--permutations", PERMUTATIONS, "--threads", "2"]
    clusters = None
    if labels:
        clusters = os.path.join(work, "clusters.txt")
        vc.write_clusters(clusters, ids, groups, labels)
        options += ["--within", clusters]
    out = os.path.join(work, "out")
    console, table, log = vc.run_strataperm(args, out, options)

    sizes = [groups.count(g) for g in range(max(groups) + 1)]
    print("%s: N %d, %d candidate markers, verdict '%s', groups %s, groups from %s"
          % (study, individuals, len(table), vc.log_value(log, "verdict"), vc.log_value(log, "groups"),
             vc.log_value(log, "groups_from")))
    verdict = console.splitlines()[0]
    failures.check(verdict.startswith("There exists") == expect_structure,
                   "%s: the structure test's verdict is '%s'; the study is made for %s"
                   % (study, verdict, "two groups" if expect_structure else "one group"))
    reported = vc.group_sizes(log)
    failures.check(reported is not None and sorted(reported) == sorted(sizes),
                   "%s: the log gives groups '%s'; the study's groups have sizes %s"
                   % (study, vc.log_value(log, "groups"), sizes))
    if clusters:
        failures.check(clusters in (vc.log_value(log, "groups_from") or ""),
                       "%s: the log's groups_from line ('%s') does not name the cluster file"
                       % (study, vc.log_value(log, "groups_from")))

    ids_file = os.path.join(work, "candidates.txt")
    with open(ids_file, "w") as f:
        f.writelines(row["ID"] + "\n" for row in table)
    covar = None
    if max(groups) > 0:
        covar = os.path.join(work, "covariates.txt")
        write_covariates(covar, ids, groups)
    plink_rows = run_plink(args, prefix, pheno, ids_file, covar, os.path.join(work, "plink"))
    compare(study, prefix, table, plink_rows, individuals, failures)
    return work, prefix, pheno, ids, groups, table


def same_statistics_from_vcf(args, failures, work, prefix, pheno, ids, groups, labels, table):
    """The `within` study from a VCF (plink1.9's conversion), with the trait
    matched by IID and an IID CLUSTER file: the same statistics as the .bed
    run, marker for marker (BETA_ADD's sign by the counted allele)."""
    vcf = os.path.join(work, "data_vcf")
    vc.execute([args.plink, "--bfile", prefix, "--recode", "vcf-iid", "bgz", "--out", vcf, "--threads", "1"])
    iid_pheno = os.path.join(work, "trait_iid.txt")
    with open(iid_pheno, "w") as f:
        f.write("IID trait\n")
        f.writelines("%s %.6f\n" % (iid, value) for _, iid, value in vc.read_pheno(pheno))
    clusters = os.path.join(work, "clusters_iid.txt")
    vc.write_clusters(clusters, ids, groups, labels, with_fid=False)
    _, vcf_table, log = vc.run_strataperm(
        args, os.path.join(work, "out_vcf"),
        ["--vcf", vcf + ".vcf.gz", "--pheno", iid_pheno, "--within", clusters, "--permutations", PERMUTATIONS,
         "--background-ids", os.path.join(work, "out", "background_ids.txt"), "--threads", "2"])
    by_id = {row["ID"]: row for row in vcf_table}
    differing = []
    for row in table:
        other = by_id.get(row["ID"])
        if other is None:
            differing.append(row["ID"] + " (missing from the VCF run)")
            continue
        flip = row["A1"] != other["A1"]
        same = all(row[k] == other[k] for k in ("OBS_CT", "BETA_DOM", "SE_ADD", "SE_DOM", "F_STAT", "P",
                                                "EMP1", "EMP2"))
        add, other_add = vc.number(row["BETA_ADD"]), vc.number(other["BETA_ADD"])
        same = same and (add == other_add if add is None or other_add is None or not flip
                         else add == -other_add)
        if not same:
            differing.append(row["ID"])
    print("within_vcf: %d markers, %d differ from the .bed run; groups %s"
          % (len(table), len(differing), vc.log_value(log, "groups")))
    failures.check(len(vcf_table) == len(table) and not differing,
                   "within_vcf: the VCF run with an IID CLUSTER file differs from the .bed run at %s"
                   % ", ".join(differing[:10]))


def main():
    args = vc.arguments(__doc__.split("\n")[0], plink=True)
    if vc.plink_missing(args):
        return vc.SKIP
    failures = vc.Failures()
    study_run(args, failures, "one_group", 500, 0.0, 11, lambda n: [0] * n)
    study_run(args, failures, "two_groups", 600, 0.15, 12, vc.halves, expect_structure=True)
    labels = ["north", "centre", "south"]
    work, prefix, pheno, ids, groups, table = study_run(
        args, failures, "within", 600, 0.0, 13, lambda n: vc.blocks(n, [150, 200, 250]),
        offsets=[0.0, 0.7, -0.5], labels=labels, populations=1)
    same_statistics_from_vcf(args, failures, work, prefix, pheno, ids, groups, labels, table)
    failures.finish()


if __name__ == "__main__":
    sys.exit(main())
