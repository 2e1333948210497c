#!/usr/bin/env python3
"""A genome-like study: 2000 individuals of two drifted populations (file
order following the population, trait means 1.0 apart, a trend along the file
within each), 22,000 SNPs over 22 chromosomes, about 2000 of them background
loci spread along the genome, one causal SNP (never a background locus). The
structure test must find the two populations, the causal SNP must have
P < 1e-8, and with R = 200 it alone must be genome-wide significant:
EMP2 < 0.05 there and EMP2 >= 0.05 at every other marker with a fit.

usage: genome_like.py --binary PATH --make-fileset PATH --workdir DIR
"""
import os
import sys

import validation_common as vc

INDIVIDUALS = 2000
BACKGROUND = 2000
CANDIDATES = 20000
PERMUTATIONS = 200
TREND = 2.0


def main():
    args = vc.arguments(__doc__.split("\n")[0])
    failures = vc.Failures()
    prefix = os.path.join(args.workdir, "data")
    causal = vc.make_fileset(args, prefix, INDIVIDUALS, BACKGROUND + CANDIDATES, 0.15, 31, causal=1,
                             effect=0.5)
    groups = vc.halves(INDIVIDUALS)
    pheno = os.path.join(args.workdir, "trait.txt")
    vc.write_pheno(pheno, vc.shaped_trait(vc.read_pheno(prefix + ".pheno"), groups, TREND))
    # Background loci: every step-th SNP along the genome, the causal SNP
    # passed over (the even spread by position would take it, as the middle
    # SNP of chromosome 1).
    with open(prefix + ".bim") as f:
        snps = [line.split()[1] for line in f if line.strip()]
    step = len(snps) // BACKGROUND
    background = [snps[k] for k in range(step // 2, len(snps), step) if snps[k] not in causal][:BACKGROUND]
    background_file = os.path.join(args.workdir, "background.txt")
    with open(background_file, "w") as f:
        f.writelines(snp + "\n" for snp in background)
    console, table, log = vc.run_strataperm(
        args, os.path.join(args.workdir, "out"),
        ["--bfile", prefix, "--pheno", pheno, "--background-ids", background_file,
         "--permutations", str(PERMUTATIONS)])

    verdict = console.splitlines()[0]
    print("N %d, %d candidate markers, R %d, verdict '%s', groups %s, causal %s"
          % (INDIVIDUALS, len(table), PERMUTATIONS, verdict, vc.log_value(log, "groups"), " ".join(causal)))
    failures.check(verdict.startswith("There exists"),
                   "the structure test's verdict is '%s'; the study has two drifted populations" % verdict)
    failures.check(vc.group_sizes(log) == [INDIVIDUALS // 2, INDIVIDUALS - INDIVIDUALS // 2],
                   "the log gives groups '%s', not the two populations" % vc.log_value(log, "groups"))
    failures.check(len(table) >= 20000, "only %d candidate markers" % len(table))

    by_id = {row["ID"]: row for row in table}
    if not failures.check(len(causal) == 1 and causal[0] in by_id,
                          "the causal SNP %s is not among the candidate markers" % causal):
        failures.finish()
    hit = by_id[causal[0]]
    p, emp1, emp2 = vc.number(hit["P"]), float(hit["EMP1"]), float(hit["EMP2"])
    print("causal %s: A1_FREQ %s, BETA_ADD %s, BETA_DOM %s, P %s, EMP1 %s, EMP2 %s"
          % (causal[0], hit["A1_FREQ"], hit["BETA_ADD"], hit["BETA_DOM"], hit["P"], hit["EMP1"], hit["EMP2"]))
    failures.check(p is not None and p < 1e-8, "the causal SNP has P %s, not below 1e-8" % hit["P"])
    failures.check(emp2 < 0.05, "the causal SNP has EMP2 %g, not below 0.05" % emp2)

    # EMP2 and P are NA where the fit is undefined (an empty genotype class).
    others = [row for row in table if row["ID"] != causal[0] and vc.number(row["EMP2"]) is not None]
    undefined = len(table) - 1 - len(others)
    strongest = min(others, key=lambda row: float(row["EMP2"]))
    with_p = [row for row in others if vc.number(row["P"]) is not None]
    smallest_p = min(with_p, key=lambda row: float(row["P"]))
    significant = [row["ID"] for row in others if float(row["EMP2"]) < 0.05]
    print("other markers: %d with a fit (%d NA), smallest EMP2 %s (%s), smallest P %s (%s), %d with EMP2 < 0.05"
          % (len(others), undefined, strongest["EMP2"], strongest["ID"], smallest_p["P"], smallest_p["ID"],
             len(significant)))
    failures.check(not significant, "null markers with EMP2 < 0.05: %s" % ", ".join(significant[:10]))
    failures.check(emp1 > 0, "the causal SNP has EMP1 0; it is (c + 1)/(R + 1), never 0")
    failures.finish()


if __name__ == "__main__":
    sys.exit(main())
