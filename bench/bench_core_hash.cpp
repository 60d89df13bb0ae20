// The content hash of a photo-sized block (30 MiB; 1 MiB in quick mode), in
// text and byte form, beside libfarmhash's Fingerprint128 called directly on
// the same bytes in the same run: the wrapper should cost next to nothing.
#include "orvo/core/core_hash.h"

#include <benchmark/benchmark.h>

#include <farmhash.h>

#include <cstdlib>
#include <random>
#include <vector>

using namespace orvo;

namespace
{
bool quick_mode()
{
    return std::getenv("LUMIVANE_BENCH_QUICK") != nullptr;
}

// Random bytes, so that no path through FarmHash is favoured.
const std::vector<char>& block()
{
    static const std::vector<char> bytes = [] {
        std::vector<char> data(quick_mode() ? (1u << 20) : (30u << 20));
        std::mt19937_64 random(0x4C756D69);
        for (char& c : data)
            c = static_cast<char>(random());
        return data;
    }();
    return bytes;
}
} // namespace

static void BM_ContentHash_Text(benchmark::State& state)
{
    const std::vector<char>& data = block();
    stringbuffer_t text;
    stringbuffer_initialise(text);
    for (auto _ : state)
    {
        compute_hash(text, data.data(), data.size());
        benchmark::DoNotOptimize(text.str);
    }
    stringbuffer_release(text);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_ContentHash_Text);

static void BM_ContentHash_Bytes(benchmark::State& state)
{
    const std::vector<char>& data = block();
    memorybuffer_t bytes;
    memorybuffer_initialise(bytes);
    for (auto _ : state)
    {
        compute_hash(bytes, data.data(), data.size());
        benchmark::DoNotOptimize(bytes.data);
    }
    memorybuffer_release(bytes);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_ContentHash_Bytes);

static void BM_ContentHash_Reference_Fingerprint128(benchmark::State& state)
{
    const std::vector<char>& data = block();
    for (auto _ : state)
    {
        util::uint128_t fingerprint = util::Fingerprint128(data.data(), data.size());
        benchmark::DoNotOptimize(fingerprint);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_ContentHash_Reference_Fingerprint128);

BENCHMARK_MAIN();
