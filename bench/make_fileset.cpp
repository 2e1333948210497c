// Writes a genome-like PLINK 1 binary fileset (PREFIX.bed, .bim, .fam) and a
// quantitative trait table (PREFIX.pheno), for tests and benchmarks of the
// --bfile route at genome scale.
//
//   make_fileset --out PREFIX --individuals N --snps M [options]  (see usage())
//
// Individuals F<k>/I<k>: the first half is population 1, the rest population
// 2. SNPs rs<j> are split evenly over chromosomes 1..C; each chromosome spans
// about 136 Mb (the human autosome average), so with 22 chromosomes the
// fileset covers about 3 Gb whatever M is. Per SNP an ancestral frequency
// p ~ U(0.05, 0.95) of allele2, and per population a Balding-Nichols draw
// Beta(p(1-F)/F, (1-p)(1-F)/F) clamped to [0.01, 0.99]. The trait is 1.0
// higher in population 2, plus the effect per copy of allele2 at each causal
// SNP, plus standard normal noise.
//
// The .bed is written SNP by SNP through one large buffer; only a few
// per-individual vectors stay in memory. Every random number comes from the
// generators below (no std::*_distribution, whose output differs between
// standard libraries), one independent stream per purpose, so the output is
// the same on every machine for a given seed, and changing, say, --missing
// leaves the genotypes, positions and noise as they were.
#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

const char* const kUsage =
    "usage: make_fileset --out PREFIX --individuals N --snps M [options]\n"
    "\n"
    "Writes PREFIX.bed, PREFIX.bim, PREFIX.fam (PLINK 1 binary, SNP-major) and\n"
    "PREFIX.pheno (header 'FID IID trait'), and prints the causal SNP ids.\n"
    "\n"
    "  --out PREFIX          output path prefix (required)\n"
    "  --individuals N       number of individuals, N >= 1 (required)\n"
    "  --snps M              number of SNPs, M >= number of chromosomes (required)\n"
    "  --chromosomes C       chromosomes 1..C, C in 1..22 (default 22)\n"
    "  --seed S              random seed, an unsigned integer (default 1)\n"
    "  --populations P       1 or 2; with 2 the second half of the individuals is\n"
    "                        population 2 (default 2)\n"
    "  --fst F               Balding-Nichols drift of each population from the\n"
    "                        ancestral frequency, 0 <= F < 1 (default 0.05)\n"
    "  --causal K            number of causal SNPs, 0 <= K <= M (default 1: the SNP\n"
    "                        in the middle of chromosome 1; more are spread evenly,\n"
    "                        round-robin over the chromosomes)\n"
    "  --effect B            trait effect per copy of allele2 at a causal SNP\n"
    "                        (default 0.5)\n"
    "  --missing RATE        probability that a call is missing, 0..1 (default 0)\n"
    "  --unplaced U          the first U SNPs of the last chromosome get position 0\n"
    "                        (default 0)\n"
    "  --pheno-missing RATE  fraction of individuals whose trait is NA, 0..1\n"
    "                        (default 0)\n"
    "  --help                this text\n";

[[noreturn]] void usage_error(const std::string& message) {
    std::fprintf(stderr, "make_fileset: %s\n\n%s", message.c_str(), kUsage);
    std::exit(2);
}

[[noreturn]] void io_error(const std::string& path) {
    std::fprintf(stderr, "make_fileset: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    std::exit(1);
}

std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// xoshiro256** seeded through splitmix64 from (seed, stream): each stream is
// its own sequence, the same on every platform.
class Random {
public:
    Random(std::uint64_t seed, std::uint64_t stream) {
        std::uint64_t state = seed;
        state = splitmix64(state) ^ (stream * 0xd1b54a32d192ed03ULL);
        for (auto& word : s_) word = splitmix64(state);
    }

    std::uint64_t next() {
        const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }

    // Uniform on [0, 1) and on (0, 1], 53 bits.
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    double uniform_positive() { return static_cast<double>((next() >> 11) + 1) * 0x1.0p-53; }

    // Uniform integer in [0, n).
    std::uint64_t below(std::uint64_t n) {
        return static_cast<std::uint64_t>((static_cast<unsigned __int128>(next()) * n) >> 64);
    }

    // Standard normal by Box-Muller, both values of each pair used.
    double gauss() {
        if (have_spare_) {
            have_spare_ = false;
            return spare_;
        }
        const double radius = std::sqrt(-2.0 * std::log(uniform_positive()));
        const double angle = 6.283185307179586 * uniform();
        spare_ = radius * std::sin(angle);
        have_spare_ = true;
        return radius * std::cos(angle);
    }

    // Gamma(shape, 1) by Marsaglia and Tsang; shapes below 1 through
    // Gamma(shape + 1) * U^(1/shape).
    double gamma(double shape) {
        if (shape < 1.0) return gamma(shape + 1.0) * std::pow(uniform_positive(), 1.0 / shape);
        const double d = shape - 1.0 / 3.0;
        const double c = 1.0 / std::sqrt(9.0 * d);
        for (;;) {
            const double x = gauss();
            double v = 1.0 + c * x;
            if (v <= 0.0) continue;
            v = v * v * v;
            const double u = uniform_positive();
            if (u < 1.0 - 0.0331 * (x * x) * (x * x)) return d * v;
            if (std::log(u) < 0.5 * x * x + d * (1.0 - v + std::log(v))) return d * v;
        }
    }

    // Beta(a, b) as X / (X + Y) with X ~ Gamma(a), Y ~ Gamma(b). Both can
    // underflow for tiny shapes; the draw is then 0 or 1 with the right mean.
    double beta(double a, double b) {
        const double x = gamma(a), y = gamma(b);
        if (x + y > 0.0) return x / (x + y);
        return uniform() < a / (a + b) ? 1.0 : 0.0;
    }

private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t s_[4];
    double spare_ = 0.0;
    bool have_spare_ = false;
};

// The generator streams; their numbers are part of the output's definition.
enum Stream : std::uint64_t {
    kSnpStream = 1,       // positions, alleles, frequencies
    kGenotypeStream = 2,  // allele draws
    kMissingStream = 3,   // missing calls
    kNoiseStream = 4,     // trait noise
    kPhenoNaStream = 5,   // which traits are NA
};

// An output file written through one large buffer.
class Output {
public:
    Output(std::string path, std::size_t capacity) : path_(std::move(path)) {
        file_ = std::fopen(path_.c_str(), "wb");
        if (!file_) io_error(path_);
        buffer_.reserve(capacity);
    }
    ~Output() {
        if (file_) std::fclose(file_);
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Room for n more bytes, flushing first if needed.
    char* reserve(std::size_t n) {
        if (buffer_.size() + n > buffer_.capacity()) flush();
        if (n > buffer_.capacity()) buffer_.reserve(n);
        const std::size_t at = buffer_.size();
        buffer_.resize(at + n);
        return buffer_.data() + at;
    }
    void put(std::string_view text) { std::memcpy(reserve(text.size()), text.data(), text.size()); }
    void put(char c) { *reserve(1) = c; }
    void put(std::uint64_t value) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        put(std::string_view(digits, static_cast<std::size_t>(end - digits)));
    }

    void close() {
        flush();
        if (std::fclose(file_) != 0) io_error(path_);
        file_ = nullptr;
    }

private:
    void flush() {
        if (!buffer_.empty() && std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size())
            io_error(path_);
        buffer_.clear();
    }
    std::string path_;
    std::FILE* file_ = nullptr;
    std::vector<char> buffer_;
};

struct Options {
    std::string out;
    std::uint64_t individuals = 0;
    std::uint64_t snps = 0;
    std::uint64_t chromosomes = 22;
    std::uint64_t seed = 1;
    std::uint64_t populations = 2;
    double fst = 0.05;
    std::uint64_t causal = 1;
    double effect = 0.5;
    double missing = 0.0;
    std::uint64_t unplaced = 0;
    double pheno_missing = 0.0;
};

std::uint64_t parse_count(const std::string& option, const char* text) {
    std::uint64_t value = 0;
    const char* end = text + std::strlen(text);
    const auto [ptr, ec] = std::from_chars(text, end, value);
    if (ec != std::errc() || ptr != end || ptr == text)
        usage_error(option + " takes a non-negative integer, not '" + text + "'");
    return value;
}

double parse_real(const std::string& option, const char* text) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(value))
        usage_error(option + " takes a number, not '" + text + "'");
    return value;
}

Options parse_options(int argc, char** argv) {
    Options o;
    bool have_out = false, have_n = false, have_m = false;
    for (int k = 1; k < argc; ++k) {
        const std::string option = argv[k];
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (option.rfind("--", 0) != 0) usage_error("unexpected '" + option + "'");
        if (k + 1 >= argc) usage_error(option + " needs a value");
        const char* value = argv[++k];
        if (option == "--out") {
            o.out = value;
            have_out = !o.out.empty();
        } else if (option == "--individuals") {
            o.individuals = parse_count(option, value);
            have_n = true;
        } else if (option == "--snps") {
            o.snps = parse_count(option, value);
            have_m = true;
        } else if (option == "--chromosomes") {
            o.chromosomes = parse_count(option, value);
        } else if (option == "--seed") {
            o.seed = parse_count(option, value);
        } else if (option == "--populations") {
            o.populations = parse_count(option, value);
        } else if (option == "--fst") {
            o.fst = parse_real(option, value);
        } else if (option == "--causal") {
            o.causal = parse_count(option, value);
        } else if (option == "--effect") {
            o.effect = parse_real(option, value);
        } else if (option == "--missing") {
            o.missing = parse_real(option, value);
        } else if (option == "--unplaced") {
            o.unplaced = parse_count(option, value);
        } else if (option == "--pheno-missing") {
            o.pheno_missing = parse_real(option, value);
        } else {
            usage_error("unknown option '" + option + "'");
        }
    }
    if (!have_out || !have_n || !have_m) usage_error("--out, --individuals and --snps are required");
    if (o.individuals < 1) usage_error("--individuals must be at least 1");
    if (o.chromosomes < 1 || o.chromosomes > 22) usage_error("--chromosomes must be 1..22");
    if (o.snps < o.chromosomes) usage_error("--snps must be at least the number of chromosomes");
    if (o.populations != 1 && o.populations != 2) usage_error("--populations must be 1 or 2");
    if (o.populations == 2 && o.individuals < 2) usage_error("two populations need at least 2 individuals");
    if (!(o.fst >= 0.0 && o.fst < 1.0)) usage_error("--fst must be in [0, 1)");
    if (o.causal > o.snps) usage_error("--causal must not exceed --snps");
    if (!(o.missing >= 0.0 && o.missing <= 1.0)) usage_error("--missing must be in [0, 1]");
    if (!(o.pheno_missing >= 0.0 && o.pheno_missing <= 1.0)) usage_error("--pheno-missing must be in [0, 1]");
    return o;
}

// SNPs per chromosome: M split evenly, the remainder spread among them.
std::vector<std::uint64_t> chromosome_sizes(std::uint64_t snps, std::uint64_t chromosomes) {
    std::vector<std::uint64_t> sizes(chromosomes);
    for (std::uint64_t c = 0; c < chromosomes; ++c)
        sizes[c] = snps * (c + 1) / chromosomes - snps * c / chromosomes;
    return sizes;
}

// The causal SNPs (0-based, in file order): round-robin over the chromosomes
// from chromosome 1, a chromosome's share clamped to its size and the excess
// passed on; within a chromosome, k causal SNPs at the midpoints of k equal
// stretches (one: its middle SNP).
std::vector<std::uint64_t> causal_snps(const std::vector<std::uint64_t>& sizes, std::uint64_t causal) {
    const std::uint64_t chromosomes = sizes.size();
    std::vector<std::uint64_t> share(chromosomes);
    std::uint64_t excess = 0;
    for (std::uint64_t c = 0; c < chromosomes; ++c) {
        const std::uint64_t want = causal / chromosomes + (c < causal % chromosomes ? 1 : 0);
        share[c] = std::min(want, sizes[c]);
        excess += want - share[c];
    }
    for (std::uint64_t c = 0; excess > 0 && c < chromosomes; ++c) {
        const std::uint64_t more = std::min(excess, sizes[c] - share[c]);
        share[c] += more;
        excess -= more;
    }
    std::vector<std::uint64_t> snps;
    std::uint64_t start = 0;
    for (std::uint64_t c = 0; c < chromosomes; ++c) {
        for (std::uint64_t i = 0; i < share[c]; ++i)
            snps.push_back(start + (2 * i + 1) * sizes[c] / (2 * share[c]));
        start += sizes[c];
    }
    return snps;
}

// 2 bits a call, 4 calls a byte, low bits first: 00 homozygous allele1,
// 10 heterozygous, 11 homozygous allele2 (01, missing, is set afterwards).
// Allele2 is drawn twice per individual against a 32-bit threshold, the two
// halves of one 64-bit draw. With counts, the allele2 count of each
// individual is stored there too.
void draw_snp(Random& rng, std::uint64_t n, std::uint64_t boundary, std::uint64_t threshold1,
              std::uint64_t threshold2, unsigned char* bytes, unsigned char* counts) {
    const std::uint64_t nbytes = (n + 3) / 4;
    for (std::uint64_t b = 0; b < nbytes; ++b) {
        unsigned byte = 0;
        const std::uint64_t first = 4 * b, last = std::min(first + 4, n);
        for (std::uint64_t i = first; i < last; ++i) {
            const std::uint64_t t = i < boundary ? threshold1 : threshold2;
            const std::uint64_t r = rng.next();
            const unsigned count = static_cast<unsigned>((r & 0xffffffffULL) < t) +
                                   static_cast<unsigned>((r >> 32) < t);
            byte |= (count + (count != 0)) << (2 * (i - first));
            if (counts) counts[i] = static_cast<unsigned char>(count);
        }
        bytes[b] = static_cast<unsigned char>(byte);
    }
}

std::uint64_t threshold_of(double frequency) {
    return static_cast<std::uint64_t>(frequency * 4294967296.0);
}

// Missing calls as one Bernoulli process over the calls in file order: the
// number of calls kept before the next missing one is geometric, so a call
// costs nothing unless it goes missing.
class MissingCalls {
public:
    MissingCalls(std::uint64_t seed, double rate) : rng_(seed, kMissingStream), rate_(rate) {
        if (rate_ > 0.0) gap_ = draw_gap();
    }

    // Marks this SNP's missing calls in its bytes (and counts, when given).
    void apply(std::uint64_t n, unsigned char* bytes, unsigned char* counts) {
        if (rate_ <= 0.0) return;
        std::uint64_t i = gap_;
        while (i < n) {
            const unsigned shift = 2 * static_cast<unsigned>(i & 3);
            bytes[i >> 2] = static_cast<unsigned char>((bytes[i >> 2] & ~(3u << shift)) | (1u << shift));
            if (counts) counts[i] = 0;
            i += 1 + draw_gap();
        }
        gap_ = i - n;
    }

private:
    std::uint64_t draw_gap() {
        if (rate_ >= 1.0) return 0;
        const double gap = std::floor(std::log(rng_.uniform_positive()) / std::log1p(-rate_));
        return gap < 1e18 ? static_cast<std::uint64_t>(gap) : static_cast<std::uint64_t>(1e18);
    }
    Random rng_;
    double rate_;
    std::uint64_t gap_ = 0;
};

// Writes a trait value with 6 decimals.
void put_trait(Output& out, double value) {
    char text[64];
    const int length = std::snprintf(text, sizeof text, "%.6f", value);
    out.put(std::string_view(text, static_cast<std::size_t>(length)));
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse_options(argc, argv);
    const std::uint64_t n = o.individuals;
    const std::uint64_t boundary = o.populations == 2 ? n / 2 : n;  // first individual of population 2

    const std::vector<std::uint64_t> sizes = chromosome_sizes(o.snps, o.chromosomes);
    if (o.unplaced > sizes.back())
        usage_error("--unplaced must not exceed the " + std::to_string(sizes.back()) +
                    " SNPs of the last chromosome");
    const std::vector<std::uint64_t> causal = causal_snps(sizes, o.causal);

    // .fam
    {
        Output fam(o.out + ".fam", 1 << 20);
        for (std::uint64_t k = 1; k <= n; ++k) {
            fam.put('F');
            fam.put(k);
            fam.put(" I");
            fam.put(k);
            fam.put(k % 2 == 1 ? " 0 0 1 -9\n" : " 0 0 2 -9\n");
        }
        fam.close();
    }

    // .bed and .bim, SNP by SNP.
    const std::uint64_t bytes_per_snp = (n + 3) / 4;
    Output bed(o.out + ".bed", std::max<std::size_t>(16 << 20, bytes_per_snp));
    Output bim(o.out + ".bim", 4 << 20);
    const unsigned char magic[3] = {0x6c, 0x1b, 0x01};
    std::memcpy(bed.reserve(3), magic, 3);

    Random snp_rng(o.seed, kSnpStream);
    Random genotype_rng(o.seed, kGenotypeStream);
    MissingCalls missing(o.seed, o.missing);
    std::vector<double> trait(n, 0.0);
    std::vector<unsigned char> counts(n);
    const char bases[4] = {'A', 'C', 'G', 'T'};
    // Each chromosome spans about 136 Mb: 3 Gb over 22 autosomes.
    const double chromosome_span = 3.0e9 / 22.0;

    std::uint64_t snp = 0;
    std::size_t next_causal = 0;
    for (std::uint64_t c = 0; c < o.chromosomes; ++c) {
        const double mean_gap = std::max(1.0, chromosome_span / static_cast<double>(sizes[c]));
        const bool last_chromosome = c + 1 == o.chromosomes;
        std::uint64_t position = 0;
        for (std::uint64_t j = 0; j < sizes[c]; ++j, ++snp) {
            // Gaps uniform on 1 .. 2*mean_gap - 1 (mean mean_gap), so positions increase.
            position += 1 + static_cast<std::uint64_t>(snp_rng.uniform() * (2.0 * mean_gap - 1.0));
            const std::uint64_t allele1 = snp_rng.below(4);
            const std::uint64_t allele2 = (allele1 + 1 + snp_rng.below(3)) % 4;
            const double p = 0.05 + 0.9 * snp_rng.uniform();
            double frequency[2];
            for (double& f : frequency) {
                f = p;
                if (o.fst > 0.0) {
                    const double scale = (1.0 - o.fst) / o.fst;
                    f = snp_rng.beta(p * scale, (1.0 - p) * scale);
                }
                f = std::clamp(f, 0.01, 0.99);
            }

            bim.put(c + 1);
            bim.put("\trs");
            bim.put(snp + 1);
            bim.put("\t0\t");
            bim.put(last_chromosome && j < o.unplaced ? 0 : position);
            bim.put('\t');
            bim.put(bases[allele1]);
            bim.put('\t');
            bim.put(bases[allele2]);
            bim.put('\n');

            const bool is_causal = next_causal < causal.size() && causal[next_causal] == snp;
            unsigned char* bytes = reinterpret_cast<unsigned char*>(bed.reserve(bytes_per_snp));
            unsigned char* snp_counts = is_causal ? counts.data() : nullptr;
            draw_snp(genotype_rng, n, boundary, threshold_of(frequency[0]), threshold_of(frequency[1]),
                     bytes, snp_counts);
            missing.apply(n, bytes, snp_counts);
            if (is_causal) {
                for (std::uint64_t i = 0; i < n; ++i) trait[i] += o.effect * counts[i];
                ++next_causal;
            }
        }
    }
    bed.close();
    bim.close();

    // Trait: population effect, causal effects, noise; then the NA individuals,
    // an exact share chosen by a partial Fisher-Yates shuffle.
    Random noise_rng(o.seed, kNoiseStream);
    for (std::uint64_t i = 0; i < n; ++i) trait[i] += (i >= boundary ? 1.0 : 0.0) + noise_rng.gauss();
    std::vector<bool> na(n, false);
    {
        const auto na_count = static_cast<std::uint64_t>(std::llround(o.pheno_missing * static_cast<double>(n)));
        std::vector<std::uint64_t> order(n);
        for (std::uint64_t i = 0; i < n; ++i) order[i] = i;
        Random na_rng(o.seed, kPhenoNaStream);
        for (std::uint64_t k = 0; k < std::min(na_count, n); ++k) {
            std::swap(order[k], order[k + na_rng.below(n - k)]);
            na[order[k]] = true;
        }
    }
    Output pheno(o.out + ".pheno", 1 << 20);
    pheno.put("FID IID trait\n");
    for (std::uint64_t i = 0; i < n; ++i) {
        pheno.put('F');
        pheno.put(i + 1);
        pheno.put(" I");
        pheno.put(i + 1);
        pheno.put(' ');
        if (na[i])
            pheno.put("NA");
        else
            put_trait(pheno, trait[i]);
        pheno.put('\n');
    }
    pheno.close();

    std::string line = "causal:";
    for (const std::uint64_t s : causal) line += " rs" + std::to_string(s + 1);
    std::printf("%s\n", line.c_str());
    return 0;
}
