#!/usr/bin/env python3
"""Runs workflow/Snakefile (2 shards, local) on PLINK 2 and BGEN copies of a
PLINK 1 fileset, made from it by plink2, and checks that what the workflow
converts them back to is the fileset itself (the individuals, the variants,
the alleles in their order, the calls) and that its merged outputs are byte
for byte those of 'strataperm run --bfile' on the original.

usage: check_conversion.py --binary PATH --snakefile PATH --make-fileset PATH --workdir DIR

Exit status 0 when everything is identical, 1 when not, 77 (skipped) when
snakemake or plink2 is not installed.
"""
import filecmp
import os
import sys

from workflow_checks import read, run, same_outputs, start

OPTIONS = ["--background-count", "30", "--permutations", "200", "--geno", "0.2"]


def make_original(args, prefix, cwd):
    """A PLINK 1 fileset with missing calls, FID != IID, both allele orders
    among the SNPs and one SNP whose first allele is the missing code '0'. Its
    .fam has the trait with 3 decimals (plink2 keeps 6 digits), -9 where it is
    missing (NA in plink2's .psam and .sample), and PREFIX.trait has the same
    trait as a table. Returns the id of the SNP with allele '0'."""
    run([args.make_fileset, "--out", prefix, "--individuals", "60", "--snps", "150",
         "--chromosomes", "2", "--seed", "7", "--causal", "2", "--missing", "0.02",
         "--pheno-missing", "0.05"], cwd)
    trait = {}
    for line in read(prefix + ".pheno").splitlines()[1:]:
        fid, iid, value = line.split()
        trait[fid, iid] = "NA" if value == "NA" else "%.3f" % float(value)
    fam = [line.split() for line in read(prefix + ".fam").splitlines()]
    with open(prefix + ".fam", "w") as f:
        for fields in fam:
            value = trait[fields[0], fields[1]]
            f.write(" ".join(fields[:5] + ["-9" if value == "NA" else value]) + "\n")
    with open(prefix + ".trait", "w") as f:
        f.write("FID IID trait\n")
        for fields in fam:
            f.write("%s %s %s\n" % (fields[0], fields[1], trait[fields[0], fields[1]]))
    lines = read(prefix + ".bim").splitlines(keepends=True)
    fields = lines[-1].split("\t")
    fields[4] = "0"
    lines[-1] = "\t".join(fields)
    with open(prefix + ".bim", "w") as f:
        f.writelines(lines)
    return fields[1]


def check_conversion(name, original, out, expected_source):
    """The converted fileset is the original one, and the log says how it was made."""
    converted = os.path.join(out, "converted", "data")
    same = True
    for extension in (".bed", ".bim"):
        if not filecmp.cmp(original + extension, converted + extension, shallow=False):
            print("%s: the converted %s differs from the original" % (name, extension))
            same = False
    ids = [line.split()[:2] for line in read(original + ".fam").splitlines()]
    if [line.split()[:2] for line in read(converted + ".fam").splitlines()] != ids:
        print("%s: the converted .fam's FID/IID differ from the original" % name)
        same = False
    log = read(os.path.join(out, "converted", "conversion.log")).splitlines()
    version = run(["plink2", "--version"], None).strip()
    if "plink2 version: " + version not in log:
        print("%s: conversion.log does not give plink2's version %r" % (name, version))
        same = False
    commands = [line for line in log if line.startswith("command: plink2 ")]
    if len(commands) != 1 or expected_source not in commands[0] or "--make-bed" not in commands[0]:
        print("%s: conversion.log does not give the plink2 command line" % name)
        same = False
    if not os.path.exists(converted + ".log"):
        print("%s: plink2's own log is not kept" % name)
        same = False
    return same


def workflow(args, name, config, options, cwd):
    out = os.path.join(args.workdir, "out-" + name)
    run(["snakemake", "-s", args.snakefile, "--cores", "2", "--config"] + config +
        ["shards=2", "threads=1", "out=" + out, "binary=" + args.binary,
         "options=" + " ".join(options)], cwd)
    return out


def main():
    args, cwd = start(("--binary", "--snakefile", "--make-fileset", "--workdir"),
                      ("snakemake", "plink2"))
    original = os.path.join(args.workdir, "original")
    zero_allele_snp = make_original(args, original, cwd)

    single = os.path.join(args.workdir, "single")
    console = run([args.binary, "run", "--bfile", original] + OPTIONS + ["--out", single], cwd)
    rows = [line.split("\t") for line in read(os.path.join(single, "results.tsv")).splitlines()]
    if not any(row[2] == zero_allele_snp and row[4] == "0" for row in rows):
        print("the SNP with allele '0' is not among the tested markers")
        return 1

    pgen = os.path.join(args.workdir, "pgen", "data")
    bgen = os.path.join(args.workdir, "bgen", "data")
    os.makedirs(os.path.dirname(pgen))
    os.makedirs(os.path.dirname(bgen))
    run(["plink2", "--bfile", original, "--make-pgen", "--out", pgen], cwd)
    # The .sample under a name of its own, given through sample=.
    run(["plink2", "--bfile", original, "--export", "bgen-1.2", "--out", bgen], cwd)
    os.rename(bgen + ".sample", bgen + "-ids.sample")

    # The trait of the .bed run from its .fam; that of the .pgen run from a
    # table naming FID and IID, that of the .bgen run from the .sample.
    ok = True
    for name, config, options, source in [
            ("pgen", ["input=" + pgen], OPTIONS + ["--pheno", original + ".trait"], "--pfile " + pgen),
            ("bgen", ["input=" + bgen + ".bgen", "sample=" + bgen + "-ids.sample"], OPTIONS,
             "--bgen " + bgen + ".bgen ref-unknown")]:
        out = workflow(args, name, config, options, cwd)
        same = check_conversion(name, original, out, source)
        same = same_outputs(name, single, out, console) and same
        print("%s: %s" % (name, "identical" if same else "DIFFERENT"))
        ok = ok and same
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
