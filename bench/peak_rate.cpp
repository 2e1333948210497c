// Measures the machine's peak rate of separate (non-fused) double-precision
// multiply and add: many independent accumulator chains of a = a*b + c,
// written as a multiply followed by an add. bench/run compiles it with
//   g++ -O2 -ffp-contract=off -pthread [-DUSE_AVX2]
// so the compiler cannot fuse them. Prints two numbers, multiply-add pairs per
// second on one thread and on THREADS threads:
//
//   peak_rate [THREADS] [SECONDS]
//
// With --sad, the peak rate of byte sums of absolute differences instead:
// independent chains of total = total + SAD(x, y) from registers (psadbw:
// 16 byte pairs at a time, vpsadbw: 32 with AVX2 where the build defines
// USE_AVX2, 64 with AVX-512BW where the build enables it or the host has it),
// the operations of a distance kernel's inner loop. Prints byte pairs
// compared per second on one thread and on THREADS threads, then the
// instruction set (sse2, avx2 or avx512bw):
//
//   peak_rate --sad [THREADS] [SECONDS]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#ifdef USE_AVX2
#define KERNEL_TARGET __attribute__((target("avx2")))
typedef double vec __attribute__((vector_size(32)));
constexpr int kLanes = 4;
#else
#define KERNEL_TARGET
typedef double vec __attribute__((vector_size(16)));
constexpr int kLanes = 2;
#endif

// Enough chains to cover the multiply + add latency on two pipes of each,
// few enough that they all stay in the 16 vector registers with b and c.
constexpr int kChains = 12;

// Runs `rounds` rounds over all chains; returns a value that depends on every
// chain so that none of the work can be dropped.
KERNEL_TARGET __attribute__((noinline)) double kernel(long rounds, double seed) {
    vec a[kChains];
    vec b, c;
    for (int l = 0; l < kLanes; ++l) {
        b[l] = 0.999999 - 1e-9 * l;
        c[l] = 1e-6 * seed;
    }
    for (int k = 0; k < kChains; ++k)
        for (int l = 0; l < kLanes; ++l) a[k][l] = seed + 0.001 * k + 0.0001 * l;
    for (long r = 0; r < rounds; ++r) {
#pragma GCC unroll 16
        for (int k = 0; k < kChains; ++k) {
            vec product = a[k] * b;
            a[k] = product + c;
        }
        // Stops the compiler from folding the rounds into a closed form.
        __asm__ volatile("" : "+x"(b));
    }
    double sum = 0;
    for (int k = 0; k < kChains; ++k)
        for (int l = 0; l < kLanes; ++l) sum += a[k][l];
    return sum;
}

// Work units per second of one thread running `kernel` for about `seconds`:
// kernel(rounds, seed) does `per_round` units a round.
template <typename Result, typename Kernel>
double run_one(double seconds, double* sink, Kernel kernel, double per_round) {
    using clock = std::chrono::steady_clock;
    long rounds = 1 << 16;
    for (;;) {
        const auto start = clock::now();
        *sink += static_cast<double>(static_cast<Result>(kernel(rounds, 1.0 + *sink * 1e-300)));
        const double elapsed = std::chrono::duration<double>(clock::now() - start).count();
        if (elapsed >= seconds) return static_cast<double>(rounds) * per_round / elapsed;
        rounds *= elapsed > 0.01 ? std::max(2L, static_cast<long>(seconds / elapsed) + 1) : 8;
    }
}

// Multiply-add pairs per second of one thread running for about `seconds`.
double run_one(double seconds, double* sink) {
    return run_one<double>(seconds, sink, kernel, static_cast<double>(kChains) * kLanes);
}

// ------------------------------------------------------------ byte SAD peak

// total[k] = total[k] + SAD(x[k], y) for `rounds` rounds over the chains; y
// is made opaque each round, so every SAD is computed again. Returns a value
// that depends on every chain. kSadChains chains hold 2 kSadChains + 1 of the
// 16 vector registers (31 of 32 with AVX-512).
constexpr int kSadChains = 7;
constexpr int kSadChains512 = 15;

struct SadPeak {
    std::uint64_t (*kernel)(long, double);
    double bytes_per_round;
    const char* isa;
};

#if defined(__SSE2__)

// Bytes of x[k] and y from the seed.
inline void sad_bytes(double seed, int chain, unsigned char* bytes, int width) {
    for (int b = 0; b < width; ++b)
        bytes[b] = static_cast<unsigned char>(static_cast<int>(seed * 7) + 37 * chain + 11 * b);
}

__attribute__((noinline)) std::uint64_t sad_kernel_sse2(long rounds, double seed) {
    __m128i x[kSadChains], total[kSadChains];
    alignas(16) unsigned char bytes[16];
    for (int k = 0; k < kSadChains; ++k) {
        sad_bytes(seed, k, bytes, 16);
        x[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(bytes));
        total[k] = _mm_setzero_si128();
    }
    sad_bytes(seed, kSadChains, bytes, 16);
    __m128i y = _mm_load_si128(reinterpret_cast<const __m128i*>(bytes));
    for (long r = 0; r < rounds; ++r) {
#pragma GCC unroll 16
        for (int k = 0; k < kSadChains; ++k) total[k] = _mm_add_epi64(total[k], _mm_sad_epu8(x[k], y));
        __asm__ volatile("" : "+x"(y));
    }
    std::uint64_t out = 0;
    alignas(16) std::uint64_t lanes[2];
    for (int k = 0; k < kSadChains; ++k) {
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), total[k]);
        out += lanes[0] + lanes[1];
    }
    return out;
}

#ifdef USE_AVX2
KERNEL_TARGET __attribute__((noinline)) std::uint64_t sad_kernel_avx2(long rounds, double seed) {
    __m256i x[kSadChains], total[kSadChains];
    alignas(32) unsigned char bytes[32];
    for (int k = 0; k < kSadChains; ++k) {
        sad_bytes(seed, k, bytes, 32);
        x[k] = _mm256_load_si256(reinterpret_cast<const __m256i*>(bytes));
        total[k] = _mm256_setzero_si256();
    }
    sad_bytes(seed, kSadChains, bytes, 32);
    __m256i y = _mm256_load_si256(reinterpret_cast<const __m256i*>(bytes));
    for (long r = 0; r < rounds; ++r) {
#pragma GCC unroll 16
        for (int k = 0; k < kSadChains; ++k) total[k] = _mm256_add_epi64(total[k], _mm256_sad_epu8(x[k], y));
        __asm__ volatile("" : "+x"(y));
    }
    std::uint64_t out = 0;
    alignas(32) std::uint64_t lanes[4];
    for (int k = 0; k < kSadChains; ++k) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), total[k]);
        out += lanes[0] + lanes[1] + lanes[2] + lanes[3];
    }
    return out;
}
#endif

__attribute__((target("avx512bw"), noinline)) std::uint64_t sad_kernel_avx512(long rounds, double seed) {
    __m512i x[kSadChains512], total[kSadChains512];
    alignas(64) unsigned char bytes[64];
    for (int k = 0; k < kSadChains512; ++k) {
        sad_bytes(seed, k, bytes, 64);
        x[k] = _mm512_load_si512(bytes);
        total[k] = _mm512_setzero_si512();
    }
    sad_bytes(seed, kSadChains512, bytes, 64);
    __m512i y = _mm512_load_si512(bytes);
    for (long r = 0; r < rounds; ++r) {
#pragma GCC unroll 16
        for (int k = 0; k < kSadChains512; ++k) total[k] = _mm512_add_epi64(total[k], _mm512_sad_epu8(x[k], y));
        __asm__ volatile("" : "+v"(y));
    }
    std::uint64_t out = 0;
    alignas(64) std::uint64_t lanes[8];
    for (int k = 0; k < kSadChains512; ++k) {
        _mm512_store_si512(lanes, total[k]);
        for (int l = 0; l < 8; ++l) out += lanes[l];
    }
    return out;
}

#endif  // __SSE2__

// The widest SAD this build and host allow (none without SSE2).
SadPeak sad_peak_kernel() {
#if !defined(__SSE2__)
    return {nullptr, 0.0, "none"};
#else
#ifndef __AVX512BW__
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512bw"))
#endif
        return {sad_kernel_avx512, 64.0 * kSadChains512, "avx512bw"};
#ifdef USE_AVX2
    return {sad_kernel_avx2, 32.0 * kSadChains, "avx2"};
#else
    return {sad_kernel_sse2, 16.0 * kSadChains, "sse2"};
#endif
#endif
}

int main(int argc, char** argv) {
    const bool sad = argc > 1 && std::strcmp(argv[1], "--sad") == 0;
    if (sad) {
        --argc;
        ++argv;
    }
    const int threads = argc > 1 ? std::atoi(argv[1]) : static_cast<int>(std::thread::hardware_concurrency());
    const double seconds = argc > 2 ? std::atof(argv[2]) : 0.5;
    const SadPeak peak = sad_peak_kernel();
    if (sad && peak.kernel == nullptr) {
        std::fprintf(stderr, "peak_rate: no SIMD sum of absolute differences on this machine\n");
        return 1;
    }
    const auto measure = [&](double* sink) {
        return sad ? run_one<std::uint64_t>(seconds, sink, peak.kernel, peak.bytes_per_round)
                   : run_one(seconds, sink);
    };
    double sink = 0;
    const double single = measure(&sink);

    std::vector<double> rates(threads), sinks(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] { rates[t] = measure(&sinks[t]); });
    for (auto& th : pool) th.join();
    double all = 0;
    for (int t = 0; t < threads; ++t) {
        all += rates[t];
        sink += sinks[t];
    }
    if (sad)
        std::printf("%.6e %.6e %s\n", single, all, peak.isa);
    else
        std::printf("%.6e %.6e\n", single, all);
    std::fprintf(stderr, "(checksum %g)\n", sink);
    return 0;
}
