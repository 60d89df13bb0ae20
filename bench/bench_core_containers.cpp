// String formatting and vector growth, each beside the standard library doing
// the same work in the same run: snprintf into a fixed buffer, and
// std::vector::push_back.
#include "orvo/core/core_string.h"
#include "orvo/core/core_vector.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

using namespace orvo;

static void BM_Format_Stringbuffer(benchmark::State& state)
{
    stringbuffer_t buffer;
    stringbuffer_initialise(buffer);
    int i = 0;
    for (auto _ : state)
    {
        stringbuffer_format(buffer, "Camera %d: %s at 1/%d s, f/%.1f, ISO %u", i++, "EOS 5D Mark IV", 250, 8.0, 400u);
        benchmark::DoNotOptimize(buffer.str);
    }
    stringbuffer_release(buffer);
}
BENCHMARK(BM_Format_Stringbuffer);

static void BM_Format_Reference_snprintf(benchmark::State& state)
{
    char buffer[256];
    int i = 0;
    for (auto _ : state)
    {
        std::snprintf(buffer, sizeof(buffer), "Camera %d: %s at 1/%d s, f/%.1f, ISO %u", i++, "EOS 5D Mark IV", 250,
                      8.0, 400u);
        benchmark::DoNotOptimize(buffer);
    }
}
BENCHMARK(BM_Format_Reference_snprintf);

static void BM_AppendFormatted_Stringbuffer(benchmark::State& state)
{
    for (auto _ : state)
    {
        stringbuffer_t buffer;
        stringbuffer_initialise(buffer);
        for (int i = 0; i < state.range(0); ++i)
            stringbuffer_appendf(buffer, "%d,", i);
        benchmark::DoNotOptimize(buffer.str);
        stringbuffer_release(buffer);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AppendFormatted_Stringbuffer)->Arg(1000);

static void BM_AppendFormatted_Reference_string(benchmark::State& state)
{
    for (auto _ : state)
    {
        std::string text;
        char piece[32];
        for (int i = 0; i < state.range(0); ++i)
        {
            int n = std::snprintf(piece, sizeof(piece), "%d,", i);
            text.append(piece, static_cast<size_t>(n));
        }
        benchmark::DoNotOptimize(text.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AppendFormatted_Reference_string)->Arg(1000);

static void BM_VectorGrowth_vector_t(benchmark::State& state)
{
    for (auto _ : state)
    {
        vector_t<u64> v;
        vector_initialise(v, 0, false);
        for (u64 i = 0; i < static_cast<u64>(state.range(0)); ++i)
            vector_insert(v, i);
        benchmark::DoNotOptimize(v.data);
        vector_release(v);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_VectorGrowth_vector_t)->Arg(1 << 16);

static void BM_VectorGrowth_Reference_std_vector(benchmark::State& state)
{
    for (auto _ : state)
    {
        std::vector<u64> v;
        for (u64 i = 0; i < static_cast<u64>(state.range(0)); ++i)
            v.push_back(i);
        benchmark::DoNotOptimize(v.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_VectorGrowth_Reference_std_vector)->Arg(1 << 16);

static void BM_SortedInsert_vector_t(benchmark::State& state)
{
    for (auto _ : state)
    {
        vector_t<u32> v;
        vector_initialise(v, 0, true);
        u32 x = 12345;
        for (int i = 0; i < state.range(0); ++i)
        {
            x = x * 1103515245u + 12345u;
            vector_insert(v, x);
        }
        benchmark::DoNotOptimize(v.data);
        vector_release(v);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SortedInsert_vector_t)->Arg(4096);

BENCHMARK_MAIN();
