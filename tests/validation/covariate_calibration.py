#!/usr/bin/env python3
"""EMP1 and P with --covar on null markers: a share of about 5% below 0.05.

A null study in which a covariate confounds the markers: 800 individuals of
two drifted populations (file order following the populations, given by
--within; trait means 1.0 apart and a trend along the file within each), 2000
background loci and 2000 candidate markers. The covariate SCORE is an
ancestry-like score, the standardized allele count summed over a block of 100
of the candidate markers plus noise, and it shifts the trait strongly (2.5 per
unit). No marker affects the trait once SCORE is known, so every candidate is
null under the model with SCORE, but the block's markers are correlated with
the trait through it.

With --covar (the covariate-only model's residuals permuted within groups):

  - the share of markers with EMP1 < 0.05 and the share with P < 0.05 must
    lie within 3.5 binomial standard deviations of 5%;
  - among the block's markers alone, the share with EMP1 < 0.05 must not
    exceed the upper end of its own band;
  - EMP1 is never below 1/(R + 1).

Printed beside it, not checked: the same shares when the covariate is left
out (the block's markers then carry the covariate's effect), and the share of
plink1.9's own permutation EMP1 below 0.05 (--linear genotypic with SCORE and
the group indicator as covariates, --within the two groups, --mperm R; its
EMP1 is that of the GENO_2DF test, by permuting the trait and refitting),
when plink1.9 is installed.

Markers whose fit is undefined (NA in F_STAT) are left out of the shares and
counted.

usage: covariate_calibration.py --binary PATH --make-fileset PATH [--plink PATH] --workdir DIR
"""
import math
import os
import random
import shutil
import sys

import validation_common as vc

INDIVIDUALS = 800
SNPS = 4000  # every other SNP a candidate marker, the rest background loci
BLOCK = 100  # candidate markers that make up the covariate
PERMUTATIONS = 399
TREND = 2.0
EFFECT = 2.5  # trait shift per unit of the covariate
SEED = 51


def shares(rows):
    """(markers, share with EMP1 < 0.05, share with P < 0.05, left out)."""
    defined = [row for row in rows if vc.number(row["F_STAT"]) is not None]
    if not defined:
        return 0, float("nan"), float("nan"), len(rows)
    emp1 = [float(row["EMP1"]) for row in defined]
    p = [float(row["P"]) for row in defined]
    return len(defined), vc.share_below(emp1, 0.05), vc.share_below(p, 0.05), len(rows) - len(defined)


def make_study(args, work):
    """The fileset, the background file, the candidates, the block and the
    trait and covariate files."""
    prefix = os.path.join(work, "data")
    vc.make_fileset(args, prefix, INDIVIDUALS, SNPS, 0.1, SEED, causal=0, populations=2)
    ids = vc.read_fam(prefix)
    with open(prefix + ".bim") as f:
        snps = [line.split()[1] for line in f if line.strip()]
    candidates = snps[1::2]
    background = os.path.join(work, "background.txt")
    chosen = set(candidates)
    with open(background, "w") as f:
        f.writelines(snp + "\n" for snp in snps if snp not in chosen)
    block = candidates[::len(candidates) // BLOCK][:BLOCK]

    # The score: allele counts summed over the block, standardized, plus noise.
    counts = vc.allele2_counts(prefix, set(block))
    sums = [sum(counts[snp][i] for snp in block) for i in range(INDIVIDUALS)]
    mean = sum(sums) / INDIVIDUALS
    sd = math.sqrt(sum((s - mean) ** 2 for s in sums) / INDIVIDUALS)
    rng = random.Random(SEED)
    score = [(s - mean) / sd + rng.gauss(0, 0.4) for s in sums]

    groups = vc.halves(INDIVIDUALS)
    trait = vc.shaped_trait(vc.read_pheno(prefix + ".pheno"), groups, TREND)
    pheno = os.path.join(work, "trait.txt")
    vc.write_pheno(pheno, [(fid, iid, value + EFFECT * s) for (fid, iid, value), s in zip(trait, score)])
    covar = os.path.join(work, "covariates.txt")
    with open(covar, "w") as f:
        f.write("FID IID SCORE\n")
        f.writelines("%s %s %.6g\n" % (fid, iid, s) for (fid, iid), s in reversed(list(zip(ids, score))))
    plink_covar = os.path.join(work, "covariates_plink.txt")
    with open(plink_covar, "w") as f:
        f.write("FID IID SCORE G1\n")
        f.writelines("%s %s %.6g %d\n" % (fid, iid, s, g) for (fid, iid), s, g in zip(ids, score, groups))
    clusters = os.path.join(work, "clusters.txt")
    vc.write_clusters(clusters, ids, groups, ["pop1", "pop2"])
    ids_file = os.path.join(work, "candidates.txt")
    with open(ids_file, "w") as f:
        f.writelines(snp + "\n" for snp in candidates)
    return prefix, background, candidates, set(block), pheno, covar, plink_covar, clusters, ids_file


def plink_shares(args, work, prefix, pheno, plink_covar, clusters, ids_file, block):
    """plink1.9's own permutation EMP1 (GENO_2DF) and asymptotic P: the
    shares below 0.05 over all markers and over the block's."""
    out = os.path.join(work, "plink")
    vc.execute([args.plink, "--bfile", prefix, "--linear", "genotypic", "hide-covar", "mperm=%d" % PERMUTATIONS,
                "--pheno", pheno, "--pheno-name", "trait", "--covar", plink_covar, "--within", clusters,
                "--extract", ids_file, "--allow-no-sex", "--seed", str(SEED), "--out", out, "--threads", "1"])
    emp1 = {}
    with open(out + ".assoc.linear.mperm") as f:
        header = f.readline().split()
        for line in f:
            fields = dict(zip(header, line.split()))
            if fields["EMP1"] != "NA":
                emp1[fields["SNP"]] = float(fields["EMP1"])
    p = {}
    with open(out + ".assoc.linear") as f:
        header = f.readline().split()
        for line in f:
            fields = dict(zip(header, line.split()))
            if fields["TEST"] == "GENO_2DF" and fields["P"] != "NA":
                p[fields["SNP"]] = float(fields["P"])
    in_block = [v for snp, v in emp1.items() if snp in block]
    return (len(emp1), vc.share_below(list(emp1.values()), 0.05), vc.share_below(list(p.values()), 0.05),
            vc.share_below(in_block, 0.05) if in_block else float("nan"))


def main():
    args = vc.arguments(__doc__.split("\n")[0], plink=True)
    failures = vc.Failures()
    work = args.workdir
    prefix, background, candidates, block, pheno, covar, plink_covar, clusters, ids_file = make_study(args, work)
    options = ["--bfile", prefix, "--pheno", pheno, "--background-ids", background, "--within", clusters,
               "--permutations", str(PERMUTATIONS), "--threads", "2"]

    _, table, log = vc.run_strataperm(args, os.path.join(work, "covar"), options + ["--covar", covar])
    print("N %d, %d candidate markers (%d make up the covariate), R %d, groups %s"
          % (INDIVIDUALS, len(table), len(block), PERMUTATIONS, vc.log_value(log, "groups")))
    failures.check(vc.group_sizes(log) == [INDIVIDUALS // 2, INDIVIDUALS - INDIVIDUALS // 2],
                   "the log gives groups '%s', not the two populations" % vc.log_value(log, "groups"))
    failures.check(len(table) == len(candidates),
                   "%d markers in the table, %d candidates" % (len(table), len(candidates)))
    count, emp1_share, p_share, left_out = shares(table)
    low, high = vc.binomial_band(count)
    print("with --covar: %d null markers (%d with an undefined fit left out): share EMP1 < 0.05 = %.4f, "
          "share P < 0.05 = %.4f (accepted: %.4f to %.4f)" % (count, left_out, emp1_share, p_share, low, high))
    failures.check(count >= 900, "only %d markers with a defined fit" % count)
    failures.check(low <= emp1_share <= high,
                   "with --covar, the share of null markers with EMP1 < 0.05 is %.4f, outside %.4f to %.4f"
                   % (emp1_share, low, high))
    failures.check(low <= p_share <= high,
                   "with --covar, the share of null markers with P < 0.05 is %.4f, outside %.4f to %.4f"
                   % (p_share, low, high))
    block_count, block_emp1, block_p, _ = shares([row for row in table if row["ID"] in block])
    block_high = vc.binomial_band(block_count)[1]
    print("with --covar, the covariate's %d markers: share EMP1 < 0.05 = %.4f, share P < 0.05 = %.4f "
          "(accepted: at most %.4f)" % (block_count, block_emp1, block_p, block_high))
    failures.check(block_emp1 <= block_high,
                   "with --covar, the share of the covariate's markers with EMP1 < 0.05 is %.4f, above %.4f"
                   % (block_emp1, block_high))
    smallest = min(float(row["EMP1"]) for row in table)
    failures.check(smallest >= (1 - 1e-5) / (PERMUTATIONS + 1),
                   "the smallest EMP1 is %g, below 1/(R + 1) = %g" % (smallest, 1.0 / (PERMUTATIONS + 1)))

    # The covariate left out, for comparison only.
    _, without, _ = vc.run_strataperm(args, os.path.join(work, "no_covar"), options)
    count, emp1_share, p_share, _ = shares(without)
    block_count, block_emp1, block_p, _ = shares([row for row in without if row["ID"] in block])
    print("covariate left out (not checked): share EMP1 < 0.05 = %.4f, share P < 0.05 = %.4f; among the "
          "covariate's %d markers: EMP1 %.4f, P %.4f" % (emp1_share, p_share, block_count, block_emp1, block_p))

    if (os.path.isfile(args.plink) and os.access(args.plink, os.X_OK)) or shutil.which(args.plink):
        count, emp1_share, p_share, block_emp1 = plink_shares(args, work, prefix, pheno, plink_covar, clusters,
                                                              ids_file, block)
        print("plink1.9 --linear genotypic --covar SCORE,G1 --within --mperm %d (not checked): %d markers, "
              "share EMP1 < 0.05 = %.4f (GENO_2DF P < 0.05: %.4f); among the covariate's markers: EMP1 %.4f"
              % (PERMUTATIONS, count, emp1_share, p_share, block_emp1))
    else:
        print("plink1.9 not found at %s: its permutation shares are not printed" % args.plink)
    failures.finish()


if __name__ == "__main__":
    sys.exit(main())
