#!/usr/bin/env python3
"""Runs workflow/Snakefile through the local-cluster profile (the cluster
mode, each job run by a plain shell) with 3 shards, on a study folder and on
PLINK files, and compares the merged outputs with a single run byte for byte.

usage: check_workflow.py --binary PATH --snakefile PATH --profile PATH --study DIR --workdir DIR

Exit status 0 when everything is identical, 1 when not, 77 (skipped) when
snakemake is not installed.
"""
import argparse
import filecmp
import os
import shutil
import struct
import subprocess
import sys

COMPARED = ["results.txt", "results.tsv", "results.similarity.tsv"]


def run(command, cwd):
    done = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if done.returncode != 0:
        sys.stderr.write("failed: %s\n%s%s" % (" ".join(command), done.stdout[-3000:], done.stderr[-3000:]))
        sys.exit(1)
    return done.stdout


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


def check(args, name, input_path, options, results, cwd):
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
    stem = results.rsplit(".", 1)[0]
    same = True
    with open(os.path.join(out, stem + ".console.txt")) as f:
        if f.read() != console:
            print("%s: the merged console report differs" % name)
            same = False
    for file_name in [results] + [n.replace("results", stem) for n in COMPARED[1:]]:
        a, b = os.path.join(single, file_name), os.path.join(out, file_name)
        if not (os.path.exists(b) and filecmp.cmp(a, b, shallow=False)):
            print("%s: %s differs" % (name, file_name))
            same = False
    print("%s: %s" % (name, "identical" if same else "DIFFERENT"))
    return same


def main():
    parser = argparse.ArgumentParser()
    for option in ("--binary", "--snakefile", "--profile", "--study", "--workdir"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    if shutil.which("snakemake") is None:
        print("snakemake is not installed: skipped")
        return 77
    args.workdir = os.path.abspath(args.workdir)
    shutil.rmtree(args.workdir, ignore_errors=True)
    os.makedirs(args.workdir)
    # Started from a folder of its own, not the project's.
    cwd = os.path.join(args.workdir, "elsewhere")
    os.makedirs(cwd)
    study = os.path.join(args.workdir, "study")
    shutil.copytree(args.study, study)
    prefix = os.path.join(args.workdir, "data")
    write_plink(prefix)
    ok = check(args, "study", study, [], "results.txt", cwd)
    ok = check(args, "plink", prefix, ["--background-count", "30", "--permutations", "200"],
               "results.txt", cwd) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
