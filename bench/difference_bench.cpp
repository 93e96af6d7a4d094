// The difference loop alone, in values per second, against a plain copy of
// the same output bytes. Blocks are prefaulted, so only the loop is timed.
#include "tool/difference.h"

#include <benchmark/benchmark.h>
#include <cstring>
#include <vector>

namespace {

void fill(std::vector<unsigned char>& block)
{
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<unsigned char>(i * 131 + 7);
}

void difference(benchmark::State& state, std::uint16_t type, std::size_t size)
{
    auto n = static_cast<std::uint64_t>(state.range(0));
    std::vector<unsigned char> a(n * size), b(n * size), r(n * size);
    fill(a);
    fill(b);
    if (type == 10) // finite values: the byte pattern above would make NaNs
        for (std::uint64_t i = 0; i < n; ++i) {
            double v = static_cast<double>(i);
            std::memcpy(&a[i * 8], &v, 8);
            std::memcpy(&b[i * 8], &v, 8);
        }
    for (auto _ : state) {
        compute_difference(r.data(), a.data(), b.data(), n, type, 100);
        benchmark::DoNotOptimize(r.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(n * size));
}

void copy(benchmark::State& state, std::size_t size)
{
    auto n = static_cast<std::uint64_t>(state.range(0));
    std::vector<unsigned char> a(n * size), r(n * size);
    fill(a);
    for (auto _ : state) {
        std::memcpy(r.data(), a.data(), n * size);
        benchmark::DoNotOptimize(r.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(n * size));
}

void uint16_difference(benchmark::State& state) { difference(state, 2, 2); }
void binary64_difference(benchmark::State& state) { difference(state, 10, 8); }
void uint16_copy(benchmark::State& state) { copy(state, 2); }
void binary64_copy(benchmark::State& state) { copy(state, 8); }

// 640 x 480 (in cache) and 4096 x 4096 (in memory).
BENCHMARK(uint16_difference)->Arg(640 * 480)->Arg(4096 * 4096);
BENCHMARK(uint16_copy)->Arg(640 * 480)->Arg(4096 * 4096);
BENCHMARK(binary64_difference)->Arg(640 * 480)->Arg(4096 * 4096);
BENCHMARK(binary64_copy)->Arg(640 * 480)->Arg(4096 * 4096);

} // namespace
