// Measures the machine's peak rate of separate (non-fused) double-precision
// multiply and add: many independent accumulator chains of a = a*b + c,
// written as a multiply followed by an add. bench/run compiles it with
//   g++ -O2 -ffp-contract=off -pthread [-DUSE_AVX2]
// so the compiler cannot fuse them. Prints two numbers, multiply-add pairs per
// second on one thread and on THREADS threads:
//
//   peak_rate [THREADS] [SECONDS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

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

// Multiply-add pairs per second of one thread running for about `seconds`.
double run_one(double seconds, double* sink) {
    using clock = std::chrono::steady_clock;
    long rounds = 1 << 16;
    for (;;) {
        const auto start = clock::now();
        *sink += kernel(rounds, 1.0 + *sink * 1e-300);
        const double elapsed = std::chrono::duration<double>(clock::now() - start).count();
        if (elapsed >= seconds) return static_cast<double>(rounds) * kChains * kLanes / elapsed;
        rounds *= elapsed > 0.01 ? std::max(2L, static_cast<long>(seconds / elapsed) + 1) : 8;
    }
}

int main(int argc, char** argv) {
    const int threads = argc > 1 ? std::atoi(argv[1]) : static_cast<int>(std::thread::hardware_concurrency());
    const double seconds = argc > 2 ? std::atof(argv[2]) : 0.5;
    double sink = 0;
    const double single = run_one(seconds, &sink);

    std::vector<double> rates(threads), sinks(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] { rates[t] = run_one(seconds, &sinks[t]); });
    for (auto& th : pool) th.join();
    double all = 0;
    for (int t = 0; t < threads; ++t) {
        all += rates[t];
        sink += sinks[t];
    }
    std::printf("%.6e %.6e\n", single, all);
    std::fprintf(stderr, "(checksum %g)\n", sink);
    return 0;
}
