"""Study files for bench/run: reading a strataperm study, writing it as PLINK
binary files (.bed/.bim/.fam) for plink1.9, and turning the mouse_hs1940
example of Debian's gemma-doc package into a strataperm study.

PLINK's .bed (SNP-major) stores four genotypes per byte, the first individual
in the lowest two bits: 00 homozygous for the .bim's first allele (A1),
10 heterozygous, 11 homozygous for the second allele (A2), 01 missing.
"""
import glob
import gzip
import operator
import os

BED_MAGIC = b"\x6c\x1b\x01"  # two magic bytes, then 01 = SNP-major

# strataperm allele codes 0/1 are written to PLINK as alleles C/A: A1 = "A"
# stands for code 1, so a code sum of 2 is homozygous A1.
A1, A2 = "A", "C"


def read_parameters(folder):
    """The seven values of parameter.txt: a dict with the file names and N, L, M, R."""
    with open(os.path.join(folder, "parameter.txt")) as f:
        lines = f.read().splitlines()
    values = [lines[k].split()[0] for k in range(1, 14, 2)]
    return {
        "genotypes": values[0],
        "traits": values[1],
        "results": values[2],
        "R": int(values[3]),
        "L": int(values[4]),
        "M": int(values[5]),
        "N": int(values[6]),
    }


def _bed_code(a, b):
    """The two-bit .bed code of a strataperm marker genotype (its code sum)."""
    total = int(a) + int(b)
    if total == 2:
        return 0b00
    if total == 0:
        return 0b11
    return 0b10  # sum 1, and any other sum, is a heterozygote


def _pack_snp(codes):
    """One SNP's .bed bytes from its per-individual two-bit codes."""
    out = bytearray((len(codes) + 3) // 4)
    for i, code in enumerate(codes):
        out[i >> 2] |= code << ((i & 3) * 2)
    return bytes(out)


def write_plink(folder, prefix, populations=None):
    """Writes PLINK binary files PREFIX.bed/.bim/.fam for the study in FOLDER:
    its candidate markers as SNPs on chromosome 1 and its trait as the
    phenotype (sex unknown). With POPULATIONS (one label per individual) also
    writes PREFIX.clusters for --within. Returns the list of files written."""
    params = read_parameters(folder)
    n, m = params["N"], params["M"]
    with open(os.path.join(folder, params["traits"])) as f:
        f.readline()  # header
        tokens = f.read().split()
    per_individual = 1 + 2 * m
    if len(tokens) < n * per_individual:
        raise ValueError("trait-and-marker file ends early")
    cache = {}
    traits, rows = [], []
    for i in range(n):
        values = tokens[i * per_individual:(i + 1) * per_individual]
        traits.append(values[0])
        row = []
        for pair in zip(values[1::2], values[2::2]):
            code = cache.get(pair)
            if code is None:
                code = cache[pair] = _bed_code(*pair)
            row.append(code)
        rows.append(row)
    with open(prefix + ".bed", "wb") as bed:
        bed.write(BED_MAGIC)
        for snp in zip(*rows):
            bed.write(_pack_snp(snp))
    with open(prefix + ".bim", "w") as bim:
        for j in range(1, m + 1):
            bim.write("1\tm%d\t0\t%d\t%s\t%s\n" % (j, 1000 * j, A1, A2))
    with open(prefix + ".fam", "w") as fam:
        for i, trait in enumerate(traits, start=1):
            fam.write("i%d i%d 0 0 0 %s\n" % (i, i, trait))
    written = [prefix + ".bed", prefix + ".bim", prefix + ".fam"]
    if populations is not None:
        with open(prefix + ".clusters", "w") as out:
            for i, label in enumerate(populations, start=1):
                out.write("i%d i%d pop%s\n" % (i, i, label))
        written.append(prefix + ".clusters")
    return written


# ---------------------------------------------------------------- mouse_hs1940

def find_mouse_files():
    """The gzipped or plain mouse_hs1940 .bed/.bim/.fam of gemma-doc, or None."""
    for pattern in ("/usr/share/doc/gemma*/example/mouse_hs1940.bed*",
                    "/usr/share/doc/gemma*/**/mouse_hs1940.bed*"):
        for bed in sorted(glob.glob(pattern, recursive=True)):
            base = bed[:-len(".bed.gz")] if bed.endswith(".gz") else bed[:-len(".bed")]
            found = {}
            for ext in ("bed", "bim", "fam"):
                for candidate in (base + "." + ext + ".gz", base + "." + ext):
                    if os.path.exists(candidate):
                        found[ext] = candidate
                        break
            if len(found) == 3:
                return found
    return None


def _open_any(path, mode="rb"):
    return gzip.open(path, mode) if path.endswith(".gz") else open(path, mode)


def _decoder_tables():
    """For each position k in a byte, a bytes.translate table giving that
    individual's allele-1 count as an ASCII digit, or 'm' when missing."""
    symbol = {0b00: ord("2"), 0b01: ord("m"), 0b10: ord("1"), 0b11: ord("0")}
    return [bytes(symbol[(v >> (2 * k)) & 3] for v in range(256)) for k in range(4)]


def make_mouse_study(files, folder, markers=200, loci=2000, permutations=1000):
    """Writes a strataperm study into FOLDER from the mouse_hs1940 PLINK files:
    the individuals with a first phenotype, the first MARKERS SNPs without a
    missing call among them as candidate markers and LOCI evenly spaced other
    complete SNPs as background loci. Returns a dict describing it."""
    with _open_any(files["fam"], "rt") as f:
        fam = [line.split() for line in f if line.strip()]
    with _open_any(files["bim"], "rt") as f:
        snp_names = [line.split()[1] for line in f if line.strip()]
    with _open_any(files["bed"]) as f:
        bed = f.read()
    if bed[:3] != BED_MAGIC:
        raise ValueError("%s is not a SNP-major PLINK .bed" % files["bed"])
    total = len(fam)
    width = (total + 3) // 4
    if len(bed) != 3 + width * len(snp_names):
        raise ValueError("%s: size does not match .bim and .fam" % files["bed"])

    def phenotype_present(value):
        return value not in ("NA", "-9", "nan", "NaN")

    kept = [i for i, row in enumerate(fam) if len(row) > 5 and phenotype_present(row[5])]
    traits = [fam[i][5] for i in kept]
    pick = operator.itemgetter(*kept)
    tables = _decoder_tables()
    missing = ord("m")
    complete = []  # (snp index, tuple of allele-1 counts as ASCII digits)
    dropped = 0
    for s in range(len(snp_names)):
        row = bed[3 + s * width:3 + (s + 1) * width]
        decoded = bytearray(4 * width)
        for k in range(4):
            decoded[k::4] = row.translate(tables[k])
        counts = pick(decoded)
        if missing in counts:
            dropped += 1
        else:
            complete.append((s, counts))
    if len(complete) < markers + loci:
        raise ValueError("only %d SNPs without missing calls" % len(complete))
    candidate = complete[:markers]
    rest = complete[markers:]
    step = len(rest) / loci
    background = [rest[int(k * step)] for k in range(loci)]

    os.makedirs(folder, exist_ok=True)
    pair = {ord("0"): "0 0", ord("1"): "0 1", ord("2"): "1 1"}
    n = len(kept)
    with open(os.path.join(folder, "genotypes.txt"), "w") as out:
        out.write("mouse_hs1940 background loci: two allele codes per locus, one individual per line\n")
        for i in range(n):
            out.write(" ".join(pair[snp[1][i]] for snp in background) + "\n")
    with open(os.path.join(folder, "traits.txt"), "w") as out:
        out.write("mouse_hs1940 first phenotype, then two allele codes per candidate marker\n")
        for i in range(n):
            out.write(traits[i] + " " + " ".join(pair[snp[1][i]] for snp in candidate) + "\n")
    with open(os.path.join(folder, "parameter.txt"), "w") as out:
        out.write("genotype file of the background loci\ngenotypes.txt\n"
                  "trait and marker file\ntraits.txt\n"
                  "results file\nresults.txt\n"
                  "number of permutations (R)\n%d\n"
                  "number of background loci (L)\n%d\n"
                  "number of candidate markers (M)\n%d\n"
                  "number of individuals (N)\n%d\n" % (permutations, loci, markers, n))
    with open(os.path.join(folder, "markers.txt"), "w") as out:
        out.write("marker# SNP (mouse_hs1940.bim)\n")
        for j, (s, _) in enumerate(candidate, start=1):
            out.write("%d %s\n" % (j, snp_names[s]))
    return {"N": n, "L": loci, "M": markers, "R": permutations,
            "individuals": total, "snps": len(snp_names), "dropped_snps": dropped,
            "last_candidate_snp": candidate[-1][0] + 1}
