#!/usr/bin/env python3
"""EMP1 and P on null markers: a share of about 5% below 0.05.

Two null studies (no causal SNP; the markers are independent of the trait
within each population), each with the file order following the populations,
trait means 1.0 apart between them and a trend along the file within each:

  drift   strong drift: the structure test finds the two populations;
  within  no drift: the structure test finds one group, and --within (a
          FID IID CLUSTER file) gives the two populations.

For each, with the default adjustment (group means of the unadjusted codes),
the share of markers with EMP1 < 0.05 and the share with P < 0.05 must lie
within 3.5 binomial standard deviations of 5%, and EMP1 never below
1/(R + 1); an --adaptive run must stop most markers early (median NP below
1000 of at most 5000). The same study with --adjustment sequential is run and
its shares printed for comparison, not checked.

Markers whose fit is undefined (an empty genotype class makes the codes
collinear: NA in F_STAT) are left out of the shares and counted.

usage: null_calibration.py --binary PATH --make-fileset PATH --workdir DIR
"""
import os
import sys

import validation_common as vc

INDIVIDUALS = 800
BACKGROUND = 2000
CANDIDATES = 2000
PERMUTATIONS = 399
MAX_PERMUTATIONS = 5000
TREND = 2.0


def shares(table):
    """(markers, share with EMP1 < 0.05, share with P < 0.05, left out)."""
    defined = [row for row in table if vc.number(row["F_STAT"]) is not None]
    emp1 = [float(row["EMP1"]) for row in defined]
    p = [float(row["P"]) for row in defined]
    return len(defined), vc.share_below(emp1, 0.05), vc.share_below(p, 0.05), len(table) - len(defined)


def calibrate(args, failures, study, fst, seed, populations, within):
    work = os.path.join(args.workdir, study)
    os.makedirs(work)
    prefix = os.path.join(work, "data")
    vc.make_fileset(args, prefix, INDIVIDUALS, BACKGROUND + CANDIDATES, fst, seed, causal=0,
                    populations=populations)
    ids = vc.read_fam(prefix)
    groups = vc.halves(INDIVIDUALS)
    pheno = os.path.join(work, "trait.txt")
    vc.write_pheno(pheno, vc.shaped_trait(vc.read_pheno(prefix + ".pheno"), groups, TREND))
    options = ["--bfile", prefix, "--pheno", pheno, "--background-count", str(BACKGROUND),
               "--maf", "0.05", "--threads", "2"]
    if within:
        clusters = os.path.join(work, "clusters.txt")
        vc.write_clusters(clusters, ids, groups, ["pop1", "pop2"])
        options += ["--within", clusters]

    # The default adjustment, a fixed number of replicates.
    console, table, log = vc.run_strataperm(args, os.path.join(work, "fixed"),
                                            options + ["--permutations", str(PERMUTATIONS)])
    verdict = console.splitlines()[0]
    print("%s: N %d, verdict '%s', groups %s (from %s), adjustment %s"
          % (study, INDIVIDUALS, verdict, vc.log_value(log, "groups"), vc.log_value(log, "groups_from"),
             (vc.log_value(log, "adjustment") or "?").split(" ")[0]))
    failures.check(verdict.startswith("There exists") != within,
                   "%s: the structure test's verdict is '%s'; the study is made for %s"
                   % (study, verdict, "one group" if within else "two groups"))
    failures.check(vc.group_sizes(log) == [INDIVIDUALS // 2, INDIVIDUALS - INDIVIDUALS // 2],
                   "%s: the log gives groups '%s', not the two populations"
                   % (study, vc.log_value(log, "groups")))
    count, emp1_share, p_share, left_out = shares(table)
    low, high = vc.binomial_band(count)
    print("%s: %d null markers (%d with an undefined fit left out), R %d: share EMP1 < 0.05 = %.4f, "
          "share P < 0.05 = %.4f (accepted: %.4f to %.4f)"
          % (study, count, left_out, PERMUTATIONS, emp1_share, p_share, low, high))
    failures.check(count >= 1000, "%s: only %d markers with a defined fit" % (study, count))
    failures.check(low <= emp1_share <= high,
                   "%s: share of null markers with EMP1 < 0.05 is %.4f, outside %.4f to %.4f"
                   % (study, emp1_share, low, high))
    failures.check(low <= p_share <= high,
                   "%s: share of null markers with P < 0.05 is %.4f, outside %.4f to %.4f"
                   % (study, p_share, low, high))
    smallest = min(float(row["EMP1"]) for row in table)
    failures.check(smallest >= (1 - 1e-5) / (PERMUTATIONS + 1),
                   "%s: the smallest EMP1 is %g, below 1/(R + 1) = %g"
                   % (study, smallest, 1.0 / (PERMUTATIONS + 1)))

    # Adaptive: null markers stop long before the cap.
    _, adaptive, log = vc.run_strataperm(
        args, os.path.join(work, "adaptive"),
        options + ["--adaptive", "--max-permutations", str(MAX_PERMUTATIONS)])
    if failures.check(adaptive and "NP" in adaptive[0], "%s: the --adaptive table has no NP column" % study):
        np_values = [int(row["NP"]) for row in adaptive]
        middle = vc.median(np_values)
        print("%s: --adaptive (at most %d): median NP %g, largest NP %d, %d markers at the cap"
              % (study, MAX_PERMUTATIONS, middle, max(np_values),
                 sum(1 for v in np_values if v >= MAX_PERMUTATIONS)))
        failures.check(middle < 1000, "%s: --adaptive median NP is %g, not below 1000" % (study, middle))
        below = [row["ID"] for row in adaptive if float(row["EMP1"]) < (1 - 1e-5) / (int(row["NP"]) + 1)]
        failures.check(not below, "%s: --adaptive EMP1 below 1/(NP + 1) at %s" % (study, ", ".join(below[:10])))

    # The adjustment as first defined, for comparison only.
    _, sequential, _ = vc.run_strataperm(args, os.path.join(work, "sequential"),
                                         options + ["--permutations", str(PERMUTATIONS),
                                                    "--adjustment", "sequential"])
    count, emp1_share, p_share, left_out = shares(sequential)
    print("%s: --adjustment sequential (not checked): %d markers, share EMP1 < 0.05 = %.4f, "
          "share P < 0.05 = %.4f" % (study, count, emp1_share, p_share))


def main():
    args = vc.arguments(__doc__.split("\n")[0])
    failures = vc.Failures()
    calibrate(args, failures, "drift", 0.15, 21, populations=2, within=False)
    calibrate(args, failures, "within", 0.0, 22, populations=2, within=True)
    failures.finish()


if __name__ == "__main__":
    sys.exit(main())
