#!/usr/bin/env python3
"""Runs workflow/Snakefile through the local-cluster profile (the cluster
mode, each job run by a plain shell) with 3 shards, on a study folder and on
PLINK files, and compares the merged outputs with a single run byte for byte.

usage: check_workflow.py --binary PATH --snakefile PATH --profile PATH --study DIR --workdir DIR

Exit status 0 when everything is identical, 1 when not, 77 (skipped) when
snakemake is not installed.
"""
import os
import shutil
import sys

from workflow_checks import run, same_outputs, start


def write_plink(prefix, n=40, m=120):
    """A small PLINK fileset with a trait in the .fam (deterministic)."""
    state = 12345

    def uniform():
        nonlocal state
        state = (state * 1103515245 + 12345) % 2**31
        return state / 2**31

    with open(prefix + ".fam", "w") as f:
        for k in range(1, n + 1):
            f.write("f%d i%d 0 0 1 %.3f\n" % (k, k, uniform() * 4 + (k > n // 2)))
    with open(prefix + ".bim", "w") as bim, open(prefix + ".bed", "wb") as bed:
        bed.write(bytes([0x6C, 0x1B, 0x01]))
        for j in range(m):
            bim.write("%d\trs%d\t0\t%d\tA\tG\n" % (1 + j // 40, j, 1000 * (j + 1)))
            p = 0.2 + 0.6 * uniform()
            packed = bytearray((n + 3) // 4)
            for k in range(n):
                call = (uniform() < p) + (uniform() < p)
                code = {0: 0, 1: 2, 2: 3}[call]
                packed[k // 4] |= code << (2 * (k % 4))
            bed.write(bytes(packed))


def check(args, name, input_path, options, cwd):
    work = os.path.join(args.workdir, "run-" + name)
    single = os.path.join(work, "single")
    out = os.path.join(work, "out")
    os.makedirs(work)
    source = ["--bfile", input_path] if not os.path.isdir(input_path) else [input_path]
    console = run([args.binary, "run"] + source + options + ["--out", single], cwd)
    command = ["snakemake", "-s", args.snakefile, "--profile", args.profile, "--config",
               "input=" + input_path, "shards=3", "threads=1", "out=" + out, "binary=" + args.binary]
    if options:
        command.append("options=" + " ".join(options))
    run(command, cwd)
    same = same_outputs(name, single, out, console)
    print("%s: %s" % (name, "identical" if same else "DIFFERENT"))
    return same


def main():
    args, cwd = start(("--binary", "--snakefile", "--profile", "--study", "--workdir"), ("snakemake",))
    study = os.path.join(args.workdir, "study")
    shutil.copytree(args.study, study)
    prefix = os.path.join(args.workdir, "data")
    write_plink(prefix)
    ok = check(args, "study", study, [], cwd)
    ok = check(args, "plink", prefix, ["--background-count", "30", "--permutations", "200"], cwd) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
