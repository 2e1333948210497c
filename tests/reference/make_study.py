#!/usr/bin/env python3
"""Write a random study (parameter.txt, genotypes.txt, traits.txt) into a folder.

usage: make_study.py DIR --seed S --regime REGIME [--n N --l L --m M --r R]
                     [--markers-table] [--clusters FILE] [--covariates FILE [--k K]]

Regimes:
  one      one population: every individual shares the allele frequencies
  two      two well separated populations with very different frequencies
  overlap  two outer clusters and an intermediate (admixed) one, so that the
           two-group classification gives overlapping same-group lists
  odd      allele codes drawn from -1..3, so allele sums like 3 or -1 occur
  ties     traits from the integers 0..2 and some monomorphic markers
  tiny     N = 2 or 3 and M = 1
  mixed    one of the regimes above, chosen by the seed

Regimes with missing marker calls (". ." pairs) and a markers.tsv:
  missing     one or two populations, each marker with its own rate of
              missing calls (none to nine in ten), one marker with a single
              called individual
  degenerate  monomorphic, all-heterozygous and homozygotes-only markers,
              some with missing calls, beside ordinary markers
  constant    a constant trait (a whole number, or a fraction whose centred
              values are rounding residues), with missing calls

The study never has all individuals equal at every background locus (that
would make every similarity 0/0), and always has at least one replicate.
No marker has all of its calls missing.  The results file is always named
results.txt.

markers.tsv (marker number, id, chromosome, position, allele1, allele2) is
written for the regimes with missing calls, and for the others too when
asked (--markers-table); it is usually well formed, sometimes absent and
sometimes unusable (a marker left out, a bad marker number, too few
fields).  It is drawn from a random stream of its own, so asking for it
leaves the data files unchanged.  So is the file of cluster labels that
--clusters writes (write_cluster_file), and the covariate file that
--covariates writes (write_covariate_file: K, by default 1 to 5, columns
of values, some following the trait or the first marker's allele sum).
"""

import argparse
import os
import random

REGIMES = ("one", "two", "overlap", "odd", "ties", "tiny")
MISSING_CALL_REGIMES = ("missing", "degenerate", "constant")
ALL_REGIMES = REGIMES + ("mixed",) + MISSING_CALL_REGIMES
MISSING = None  # a missing call, written ". ."


def draw_allele(rng, frequency):
    return 1 if rng.random() < frequency else 0


def format_trait(rng, value):
    style = rng.random()
    if style < 0.5:
        return repr(value)
    if style < 0.8:
        return "%.17g" % value
    if style < 0.9:
        return "%.3f" % value
    return "%.2g" % value


class Sizes:
    def __init__(self, n, l_count, m, r_count):
        self.n = n
        self.l = l_count
        self.m = m
        self.r = r_count


def default_sizes(rng, regime):
    if regime in MISSING_CALL_REGIMES:
        return Sizes(rng.randint(3, 30), rng.randint(5, 40), rng.randint(2, 12), rng.randint(1, 60))
    if regime == "tiny":
        return Sizes(rng.choice((2, 3)), rng.randint(1, 6), 1, rng.randint(1, 30))
    if regime in ("two", "overlap"):
        return Sizes(rng.randint(12, 36), rng.randint(20, 60), rng.randint(1, 15), rng.randint(1, 60))
    return Sizes(rng.randint(10, 40), rng.randint(5, 60), rng.randint(1, 15), rng.randint(1, 60))


def population_genotypes(rng, frequencies_of_individual, n, l_count):
    """Genotypes [i][l] = (a1, a2), 0-based lists, from per-individual
    allele frequency vectors."""
    rows = []
    for i in range(n):
        freqs = frequencies_of_individual[i]
        rows.append([(draw_allele(rng, freqs[l]), draw_allele(rng, freqs[l]))
                     for l in range(l_count)])
    return rows


def background(rng, regime, n, l_count):
    """Background genotypes and each individual's cluster (0, 1 or 2)."""
    if regime == "two":
        freq_a = []
        freq_b = []
        for _ in range(l_count):
            low = rng.uniform(0.02, 0.25)
            high = rng.uniform(0.75, 0.98)
            if rng.random() < 0.5:
                low, high = high, low
            freq_a.append(low)
            freq_b.append(high)
        size_a = rng.randint(max(2, n // 4), n - max(2, n // 4))
        clusters = [0] * size_a + [1] * (n - size_a)
        rng.shuffle(clusters)
        freqs = [freq_a if c == 0 else freq_b for c in clusters]
        return population_genotypes(rng, freqs, n, l_count), clusters
    if regime == "overlap":
        # cluster 0 and 1 far apart, cluster 2 halfway between them
        freq_a = []
        freq_b = []
        for _ in range(l_count):
            low = rng.uniform(0.0, 0.1)
            high = rng.uniform(0.9, 1.0)
            if rng.random() < 0.5:
                low, high = high, low
            freq_a.append(low)
            freq_b.append(high)
        freq_mid = [(a + b) / 2.0 for a, b in zip(freq_a, freq_b)]
        n_mid = rng.randint(max(2, n // 5), max(2, n // 3))
        n_a = (n - n_mid) // 2
        clusters = [0] * n_a + [1] * (n - n_mid - n_a) + [2] * n_mid
        rng.shuffle(clusters)
        rows = []
        for i in range(n):
            if clusters[i] == 2 and rng.random() < 0.5:
                # admixed: one allele from each outer population
                rows.append([(draw_allele(rng, freq_a[l]), draw_allele(rng, freq_b[l]))
                             for l in range(l_count)])
            else:
                f = (freq_a, freq_b, freq_mid)[clusters[i]]
                rows.append([(draw_allele(rng, f[l]), draw_allele(rng, f[l]))
                             for l in range(l_count)])
        return rows, clusters
    if regime == "odd":
        codes = (-1, 0, 1, 2, 3)
        rows = [[(rng.choice(codes), rng.choice(codes)) for _ in range(l_count)]
                for _ in range(n)]
        return rows, [0] * n
    freq = [rng.uniform(0.05, 0.95) for _ in range(l_count)]
    return population_genotypes(rng, [freq] * n, n, l_count), [0] * n


def ensure_variation(rng, rows):
    """Make sure two individuals differ in allele sum at some locus."""
    sums = [tuple(a + b for a, b in row) for row in rows]
    if len(set(sums)) > 1:
        return
    l = rng.randrange(len(rows[0]))
    a, b = rows[0][l]
    rows[0][l] = (1 - a, b) if a in (0, 1) else (a - 1, b)


def markers(rng, regime, n, m, clusters):
    rows = [[None] * m for _ in range(n)]
    for j in range(m):
        kind = rng.random()
        if regime == "ties" and kind < 0.3:
            pair = rng.choice(((0, 0), (1, 1), (0, 1)))  # monomorphic marker
            for i in range(n):
                rows[i][j] = pair if pair != (0, 1) else rng.choice(((0, 1), (1, 0)))
            continue
        if regime == "odd":
            codes = (-1, 0, 1, 2, 3)
            weights = (1, 4, 4, 2, 1)
            for i in range(n):
                rows[i][j] = (rng.choices(codes, weights)[0], rng.choices(codes, weights)[0])
            continue
        base = rng.uniform(0.05, 0.95)
        shift = rng.uniform(-0.4, 0.4)
        for i in range(n):
            f = min(0.98, max(0.02, base + (shift if clusters[i] == 1 else 0.0)))
            rows[i][j] = (draw_allele(rng, f), draw_allele(rng, f))
    return rows


def het_pair(rng):
    return rng.choice(((0, 1), (1, 0), (1, 2)))


def degenerate_markers(rng, n, m, rows):
    """Overwrite some marker columns with degenerate kinds: every individual
    homozygous for one allele, every one heterozygous, or homozygotes of
    both kinds only."""
    for j in range(m):
        kind = rng.random()
        if kind < 0.2:
            pair = rng.choice(((0, 0), (1, 1)))
            for i in range(n):
                rows[i][j] = pair
        elif kind < 0.4:
            for i in range(n):
                rows[i][j] = het_pair(rng)
        elif kind < 0.6:
            for i in range(n):
                rows[i][j] = rng.choice(((0, 0), (1, 1)))


def add_missing_calls(rng, regime, n, m, rows):
    """Replace calls by missing ones, at a rate drawn per marker, keeping at
    least one call per marker; one marker keeps a single call."""
    if regime == "degenerate":
        rates = (0.0, 0.0, 0.1, 0.4)
    else:
        rates = (0.0, 0.02, 0.1, 0.3, 0.6, 0.9)
    single = rng.randrange(m)
    for j in range(m):
        if j == single:
            keep = rng.randrange(n)
            for i in range(n):
                if i != keep:
                    rows[i][j] = MISSING
            continue
        rate = rng.choice(rates)
        for i in range(n):
            if rng.random() < rate:
                rows[i][j] = MISSING
        if all(rows[i][j] is MISSING for i in range(n)):
            rows[rng.randrange(n)][j] = (0, 1)


def call_text(pair):
    return ". ." if pair is MISSING else "%d %d" % pair


def traits(rng, regime, n, marker_rows, clusters):
    values = []
    effect_marker = 0
    effect = rng.choice((0.0, 0.0, 0.5, 2.0))
    offset = rng.choice((0.0, 1.5))
    if regime == "constant":
        value = rng.choice((float(rng.randint(-3, 12)), rng.choice((0.1, 2.7, -13.3))))
        return [value] * n
    for i in range(n):
        if regime == "ties":
            values.append(float(rng.randint(0, 2)))
            continue
        pair = marker_rows[i][effect_marker]
        dose = 1 if pair is MISSING else pair[0] + pair[1]
        value = rng.gauss(10.0, 2.0) + effect * dose + offset * clusters[i]
        values.append(value)
    return values


def write_study(folder, seed, regime, n=None, l_count=None, m=None, r_count=None,
                marker_table=False, clusters_file=None, covariates_file=None,
                covariate_count=None):
    """Write the study, the file of cluster labels at the path
    clusters_file and the covariate file (of covariate_count columns, by
    default drawn) at the path covariates_file when given; returns the
    regime used (the one "mixed" chose)."""
    rng = random.Random("%s:%s" % (seed, regime))
    table_rng = random.Random("%s:%s:markers.tsv" % (seed, regime))
    if regime == "mixed":
        regime = rng.choice(REGIMES)
    with_missing = regime in MISSING_CALL_REGIMES
    sizes = default_sizes(rng, regime)
    if n is not None:
        sizes.n = n
    if l_count is not None:
        sizes.l = l_count
    if m is not None:
        sizes.m = m
    if r_count is not None:
        sizes.r = r_count

    background_regime = regime
    if with_missing:
        # the individuals' background: one population, or two when there
        # are enough individuals to make two
        background_regime = rng.choice(("one", "two")) if sizes.n >= 8 else "one"
    geno, clusters = background(rng, background_regime, sizes.n, sizes.l)
    if sizes.n >= 2 and sizes.l >= 1:
        ensure_variation(rng, geno)
    mark = markers(rng, background_regime, sizes.n, sizes.m, clusters)
    if regime == "degenerate":
        degenerate_markers(rng, sizes.n, sizes.m, mark)
    if with_missing and sizes.n >= 1 and sizes.m >= 1:
        add_missing_calls(rng, regime, sizes.n, sizes.m, mark)
    values = traits(rng, regime, sizes.n, mark, clusters)

    os.makedirs(folder, exist_ok=True)
    write_parameters(rng, folder, sizes)

    lines = ["individual genotypes at the background loci\n"]
    for row in geno:
        tokens = ["%d %d" % pair for pair in row]
        lines.append(split_line(rng, tokens))
    write_file(folder, "genotypes.txt", lines)

    lines = ["trait value and marker genotypes\n"]
    for i in range(sizes.n):
        if regime == "constant":
            # written exactly, so that every individual reads the same value
            trait_text = rng.choice((repr(values[i]), "%.17g" % values[i]))
        else:
            trait_text = format_trait(rng, values[i])
        tokens = [trait_text] + [call_text(pair) for pair in mark[i]]
        lines.append(split_line(rng, tokens))
    write_file(folder, "traits.txt", lines)
    if with_missing or marker_table:
        write_marker_table(table_rng, folder, sizes.m)
    if clusters_file is not None:
        write_cluster_file(clusters_file, seed, regime, sizes.n)
    if covariates_file is not None:
        write_covariate_file(covariates_file, seed, regime, values, mark, covariate_count)
    return regime


def write_marker_table(rng, folder, m):
    """markers.tsv: usually well formed, sometimes absent or unusable."""
    style = rng.random()
    if style < 0.1:
        return
    chromosome = rng.choice(("1", "2", "7", "19", "X", "chr3"))
    position = rng.randint(1, 5000)
    rows = []
    for j in range(1, m + 1):
        if rng.random() < 0.15:
            chromosome = rng.choice(("1", "2", "7", "19", "X", "chr3"))
        position += rng.randint(1, 100000)
        allele1, allele2 = rng.sample(("A", "C", "G", "T"), 2)
        marker_id = rng.choice(("rs%d" % rng.randint(1, 10 ** 8), "%s:%d" % (chromosome, position),
                                "snp_%d" % j))
        rows.append([str(j), marker_id, chromosome, str(position), allele1, allele2])
    if rng.random() < 0.2:
        rng.shuffle(rows)  # described by number, not by line order
    if style >= 0.8:
        broken = rng.randrange(m)
        damage = rng.choice(("left out", "number", "range", "fields"))
        if damage == "left out":
            del rows[broken]
        elif damage == "number":
            rows[broken][0] = rows[broken][0] + "a"
        elif damage == "range":
            rows[broken][0] = str(m + 1)
        else:
            del rows[broken][4:]
    lines = ["marker\tid\tchromosome\tposition\tallele1\tallele2\n"]
    lines += ["\t".join(row) + "\n" for row in rows]
    write_file(folder, "markers.tsv", lines)


LABEL_STYLES = (("1", "2", "3", "4"), ("pop1", "pop2", "pop3", "pop4"), ("A", "B", "C", "D"),
                ("east", "west", "north", "south"), ("0", "7", "12", "305"))


def write_cluster_file(path, seed, regime, n, with_ids=False):
    """A file of cluster labels for "strataperm run --within": one line per
    individual, in order, holding its label; 1 to 4 labels (at most n),
    every one used.  Some lines have white space around the label, and with
    with_ids some have two fields before it ("FID IID label"); the last line
    sometimes lacks its end.  Drawn from a stream of its own.  Returns the
    labels, 0-based."""
    rng = random.Random("%s:%s:clusters" % (seed, regime))
    count = rng.randint(1, min(4, n))
    names = rng.choice(LABEL_STYLES)[:count]
    labels = list(names) + [rng.choice(names) for _ in range(n - count)]
    rng.shuffle(labels)
    lines = []
    for i, label in enumerate(labels, 1):
        style = rng.random()
        if style < 0.8:
            lines.append(label + "\n")
        elif style < 0.9:
            lines.append(rng.choice((" ", "\t")) + label + rng.choice((" ", "\t ", "\r")) + "\n")
        elif with_ids:
            lines.append(rng.choice(("f%d\ti%d\t%s\n", "f%d i%d %s\n")) % (i, i, label))
        else:
            lines.append(label + "\n")
    if rng.random() < 0.1:
        lines[-1] = lines[-1].rstrip("\n")
    with open(path, "w", encoding="ascii", newline="") as handle:
        handle.write("".join(lines))
    return labels


COVARIATE_KINDS = ("noise", "trait", "marker", "age", "scaled", "dose")
COVARIATE_KIND_WEIGHTS = (3, 2, 2, 1, 1, 1)
COVARIATE_FORMATS = ("%r", "%.17g", "%.6g", "%.3f", "%.4e")


def covariate_values(rng, kind, trait_values, marker_rows):
    """One covariate column: noise; the trait plus noise; the first
    marker's allele sum plus noise (a missing call counting 1), or the
    allele sum itself (which puts the marker's additive code, where no call
    is missing, in the covariates' span); whole numbers from 18 to 80; or
    noise of scale 1000 around 40000."""
    n = len(trait_values)
    if kind == "dose" and marker_rows and marker_rows[0]:
        return [1.0 if row[0] is MISSING else float(row[0][0] + row[0][1]) for row in marker_rows]
    if kind == "trait":
        slope = rng.choice((-1.0, 0.5, 2.0))
        return [slope * y + rng.gauss(0.0, 1.0) for y in trait_values]
    if kind == "marker" and marker_rows and marker_rows[0]:
        doses = [1 if row[0] is MISSING else row[0][0] + row[0][1] for row in marker_rows]
        return [0.8 * dose + rng.gauss(0.0, 0.5) for dose in doses]
    if kind == "age":
        return [float(rng.randint(18, 80)) for _ in range(n)]
    if kind == "scaled":
        return [40000.0 + 1000.0 * rng.gauss(0.0, 1.0) for _ in range(n)]
    scale = rng.uniform(0.5, 3.0)
    offset = rng.choice((0.0, -2.0, 7.5))
    return [offset + scale * rng.gauss(0.0, 1.0) for _ in range(n)]


def format_covariate(style, value):
    if style == "%r":
        return repr(value)
    text = style % value
    return "0" if float(text) == 0.0 else text  # no "-0.000"


def write_covariate_file(path, seed, regime, trait_values, marker_rows, count=None):
    """A covariate file for "strataperm run --covar" on a study folder: one
    line of `count` values (1 to 5 when not given) per individual, in
    order, each column of a kind from COVARIATE_KINDS and written in a
    format of its own; a first line of names ("PC1 age ...", maybe
    starting with "#") or none; fields separated by a space, a
    tab or several spaces; the last line sometimes lacks its end.  Drawn
    from a stream of its own.  Returns (names, header written, columns of
    the values as written and read back)."""
    rng = random.Random("%s:%s:covariates" % (seed, regime))
    if count is None:
        count = rng.randint(1, 5)
    kinds = [rng.choices(COVARIATE_KINDS, COVARIATE_KIND_WEIGHTS)[0] for _ in range(count)]
    styles = [rng.choice(COVARIATE_FORMATS) for _ in range(count)]
    names = []
    pcs = 0
    for kind in kinds:
        if kind in ("age", "scaled", "dose") and kind not in names:
            names.append(kind)
        else:
            pcs += 1
            names.append("PC%d" % pcs)
    columns = []
    for kind, style in zip(kinds, styles):
        values = covariate_values(rng, kind, trait_values, marker_rows)
        columns.append([format_covariate(style, value) for value in values])
    header = rng.choice(("none", "names", "#names"))
    separator = rng.choice((" ", "\t", "  "))
    lines = []
    if header != "none":
        lead = "#" if header == "#names" else ""
        lines.append(lead + separator.join(names) + "\n")
    for i in range(len(trait_values)):
        lines.append(separator.join(column[i] for column in columns) + "\n")
    if rng.random() < 0.1:
        lines[-1] = lines[-1].rstrip("\n")
    with open(path, "w", encoding="ascii", newline="") as handle:
        handle.write("".join(lines))
    return names, header != "none", [[float(text) for text in column] for column in columns]


def split_line(rng, tokens):
    """Usually one line per individual; sometimes the tokens are spread over
    several lines or separated by tabs, which the reader must accept."""
    style = rng.random()
    if style < 0.85:
        return " ".join(tokens) + "\n"
    if style < 0.95:
        parts = []
        for index, token in enumerate(tokens):
            parts.append(token)
            parts.append("\n" if index % 3 == 2 else " ")
        text = "".join(parts).rstrip() + "\n"
        return text
    return "\t".join(tokens) + "  \n"


def write_parameters(rng, folder, sizes):
    labels = [
        "genotype file",
        "trait and marker file",
        "results file",
        "number of permutations",
        "number of background loci",
        "number of markers",
        "number of individuals",
    ]
    values = ["genotypes.txt", "traits.txt", "results.txt",
              str(sizes.r), str(sizes.l), str(sizes.m), str(sizes.n)]
    lines = []
    for label, value in zip(labels, values):
        if rng.random() < 0.2:
            label = label + " (2 columns, 10 x 3)"  # digits in a label are not read
        lines.append(label + "\n")
        if rng.random() < 0.1:
            lines.append("\n")  # blank line before a value is skipped as white space
        if rng.random() < 0.2:
            value = value + "   trailing words 7"
        lines.append(value + "\n")
    write_file(folder, "parameter.txt", lines)


def write_file(folder, name, lines):
    with open(os.path.join(folder, name), "w", encoding="ascii", newline="") as handle:
        handle.write("".join(lines))


def main():
    parser = argparse.ArgumentParser(description="write a random strataperm study")
    parser.add_argument("folder")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--regime", choices=ALL_REGIMES, default="mixed")
    parser.add_argument("--n", type=int)
    parser.add_argument("--l", type=int)
    parser.add_argument("--m", type=int)
    parser.add_argument("--r", type=int)
    parser.add_argument("--markers-table", action="store_true",
                        help="write markers.tsv for the regimes without missing calls too")
    parser.add_argument("--clusters", metavar="FILE",
                        help="also write a random file of cluster labels for --within")
    parser.add_argument("--covariates", metavar="FILE",
                        help="also write a random covariate file for --covar")
    parser.add_argument("--k", type=int, help="the number of covariates (default: 1 to 5)")
    args = parser.parse_args()
    regime = write_study(args.folder, args.seed, args.regime, args.n, args.l, args.m, args.r,
                         args.markers_table, args.clusters, args.covariates, args.k)
    print(regime)


if __name__ == "__main__":
    main()
