#!/usr/bin/env python3
"""Writes a synthetic study: two populations with different allele frequencies
at the background loci, a trait shifted between them, null markers and one
marker that truly affects the trait.

    python3 make_example.py FOLDER [--n 200] [--loci 500] [--markers 50]
                            [--permutations 1000] [--causal 17] [--seed 1]

The study is fully determined by the arguments, so the shipped example can be
regenerated exactly.
"""
import argparse
import os
import random


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("--n", type=int, default=200, help="individuals")
    parser.add_argument("--loci", type=int, default=500, help="background loci")
    parser.add_argument("--markers", type=int, default=50, help="candidate markers")
    parser.add_argument("--permutations", type=int, default=1000)
    parser.add_argument("--causal", type=int, default=17, help="the associated marker (1-based)")
    parser.add_argument("--effect", type=float, default=0.6, help="trait change per allele copy")
    parser.add_argument("--shift", type=float, default=1.0, help="trait shift of population 2")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    rng = random.Random(args.seed)
    os.makedirs(args.folder, exist_ok=True)
    population = [0] * (args.n // 2) + [1] * (args.n - args.n // 2)

    # Background loci: population frequencies drift apart from a common one.
    locus_freq = []
    for _ in range(args.loci):
        base = rng.uniform(0.1, 0.9)
        locus_freq.append([min(0.98, max(0.02, base + rng.gauss(0, 0.25))) for _ in range(2)])
    # Candidate markers: the same frequencies in both populations.
    marker_freq = [rng.uniform(0.15, 0.85) for _ in range(args.markers)]

    def allele(p):
        return 1 if rng.random() < p else 0

    with open(os.path.join(args.folder, "genotypes.txt"), "w") as out:
        out.write("background genotypes: two allele codes per locus, one individual per line\n")
        for i in range(args.n):
            codes = []
            for freq in locus_freq:
                p = freq[population[i]]
                codes += [allele(p), allele(p)]
            out.write(" ".join(map(str, codes)) + "\n")

    with open(os.path.join(args.folder, "traits.txt"), "w") as out:
        out.write("trait, then two allele codes per candidate marker, one individual per line\n")
        for i in range(args.n):
            codes = []
            causal_count = 0
            for j, p in enumerate(marker_freq, start=1):
                a, b = allele(p), allele(p)
                codes += [a, b]
                if j == args.causal:
                    causal_count = a + b
            trait = args.shift * population[i] + args.effect * causal_count + rng.gauss(0, 1)
            out.write("%.4f %s\n" % (trait, " ".join(map(str, codes))))

    with open(os.path.join(args.folder, "parameter.txt"), "w") as out:
        out.write("genotype file of the background loci\ngenotypes.txt\n")
        out.write("trait and marker file\ntraits.txt\n")
        out.write("results file\nresults.txt\n")
        out.write("number of permutations\n%d\n" % args.permutations)
        out.write("number of background loci\n%d\n" % args.loci)
        out.write("number of candidate markers\n%d\n" % args.markers)
        out.write("number of individuals\n%d\n" % args.n)


if __name__ == "__main__":
    main()
