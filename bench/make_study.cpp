// Writes a synthetic strataperm study, fast enough for tens of millions of
// allele codes (bench/run compiles it with g++ -O2 on first use).
//
//   make_study FOLDER N L M R [SEED]
//
// Two populations of sizes N/2 and N - N/2. At each of the L background loci
// the two populations have clearly different allele frequencies; the M
// candidate markers have one frequency shared by both. The trait is 1.0
// higher in the second population, plus 0.6 per copy of allele 1 at the
// causal marker (marker 17, or marker M when M < 17), plus standard normal
// noise. Writes parameter.txt, genotypes.txt, traits.txt and populations.txt
// (the generating population of each individual, 1 or 2, one per line).
// The output is fully determined by the arguments.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// xoshiro256** seeded through splitmix64: fast and the same on every platform.
struct Random {
    std::uint64_t s[4];
    explicit Random(std::uint64_t seed) {
        for (auto& word : s) {
            seed += 0x9e3779b97f4a7c15ULL;
            std::uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            word = z ^ (z >> 31);
        }
    }
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t next() {
        const std::uint64_t result = rotl(s[1] * 5, 7) * 9;
        const std::uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = rotl(s[3], 45);
        return result;
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    double gauss() {  // Box-Muller, one value per call
        double u = uniform();
        while (u <= 0.0) u = uniform();
        return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * uniform());
    }
    // An allele drawn with probability p of being 1, as a 53-bit threshold
    // compare so that drawing stays cheap.
    int allele(std::uint64_t threshold) { return (next() >> 11) < threshold ? 1 : 0; }
};

std::uint64_t threshold_of(double p) { return static_cast<std::uint64_t>(p * 0x1.0p53); }

FILE* open_or_die(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
        std::perror(path.c_str());
        std::exit(1);
    }
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: make_study FOLDER N L M R [SEED]\n");
        return 2;
    }
    const std::string folder = argv[1];
    const long n = std::atol(argv[2]), loci = std::atol(argv[3]), markers = std::atol(argv[4]),
               permutations = std::atol(argv[5]);
    const std::uint64_t seed = argc > 6 ? std::strtoull(argv[6], nullptr, 10) : 1;
    if (n < 2 || loci < 1 || markers < 1 || permutations < 1) {
        std::fprintf(stderr, "make_study: N >= 2 and L, M, R >= 1 please\n");
        return 2;
    }
    const long causal = std::min(17L, markers);  // 1-based
    Random rng(seed);

    std::vector<int> population(n);
    for (long i = 0; i < n; ++i) population[i] = i < n / 2 ? 0 : 1;

    // Background loci: each population's frequency drifts far from a common one.
    std::vector<std::uint64_t> locus_threshold(2 * loci);
    for (long l = 0; l < loci; ++l) {
        const double base = rng.uniform(0.1, 0.9);
        for (int p = 0; p < 2; ++p) {
            const double f = std::clamp(base + 0.25 * rng.gauss(), 0.02, 0.98);
            locus_threshold[2 * l + p] = threshold_of(f);
        }
    }
    std::vector<std::uint64_t> marker_threshold(markers);
    for (auto& t : marker_threshold) t = threshold_of(rng.uniform(0.15, 0.85));

    std::string line;
    line.reserve(4 * static_cast<std::size_t>(std::max(loci, markers)) + 64);

    FILE* geno = open_or_die(folder + "/genotypes.txt");
    std::fputs("background genotypes: two allele codes per locus, one individual per line\n", geno);
    for (long i = 0; i < n; ++i) {
        line.clear();
        for (long l = 0; l < loci; ++l) {
            const std::uint64_t t = locus_threshold[2 * l + population[i]];
            line += static_cast<char>('0' + rng.allele(t));
            line += ' ';
            line += static_cast<char>('0' + rng.allele(t));
            line += ' ';
        }
        line.back() = '\n';
        std::fwrite(line.data(), 1, line.size(), geno);
    }
    std::fclose(geno);

    FILE* traits = open_or_die(folder + "/traits.txt");
    std::fputs("trait, then two allele codes per candidate marker, one individual per line\n", traits);
    for (long i = 0; i < n; ++i) {
        line.clear();
        int causal_count = 0;
        for (long j = 0; j < markers; ++j) {
            const int a = rng.allele(marker_threshold[j]), b = rng.allele(marker_threshold[j]);
            if (j + 1 == causal) causal_count = a + b;
            line += ' ';
            line += static_cast<char>('0' + a);
            line += ' ';
            line += static_cast<char>('0' + b);
        }
        const double trait = 1.0 * population[i] + 0.6 * causal_count + rng.gauss();
        std::fprintf(traits, "%.4f%s\n", trait, line.c_str());
    }
    std::fclose(traits);

    FILE* pops = open_or_die(folder + "/populations.txt");
    for (long i = 0; i < n; ++i) std::fprintf(pops, "%d\n", population[i] + 1);
    std::fclose(pops);

    FILE* param = open_or_die(folder + "/parameter.txt");
    std::fprintf(param,
                 "genotype file of the background loci\ngenotypes.txt\n"
                 "trait and marker file\ntraits.txt\n"
                 "results file\nresults.txt\n"
                 "number of permutations (R)\n%ld\n"
                 "number of background loci (L)\n%ld\n"
                 "number of candidate markers (M)\n%ld\n"
                 "number of individuals (N)\n%ld\n",
                 permutations, loci, markers, n);
    std::fclose(param);
    return 0;
}
