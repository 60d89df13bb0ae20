// Peak heap memory of loading a JSON text, beside RapidJSON's DOM loading the
// same text in the same run: a 10 MB array of zeros (the worst case, one
// value per two bytes) and the 10,000-record document of the load benchmark.
// Both sides count every byte their allocator hands out while the text is
// parsed and the tree held (our reader's own copy of the text included);
// the counters are peak_MB and peak bytes per byte of text. Time is reported
// too but is not the point. LUMIVANE_BENCH_QUICK shrinks both texts tenfold.
#include "orvo/core/core_json_reader.h"
#include "orvo/core/core_memory.h"

#include <benchmark/benchmark.h>
#include <rapidjson/document.h>

#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace orvo;

namespace
{
bool quick()
{
    return std::getenv("LUMIVANE_BENCH_QUICK") != nullptr;
}

// Live and peak bytes of whichever side is measured.
u64 g_live = 0;
u64 g_peak = 0;

void count_in(void* pointer)
{
    if (!pointer)
        return;
    g_live += malloc_usable_size(pointer);
    g_peak = std::max(g_peak, g_live);
}

void count_out(void* pointer)
{
    if (pointer)
        g_live -= malloc_usable_size(pointer);
}

void* counting_allocate(u64 size, void*)
{
    void* pointer = std::malloc(static_cast<size_t>(size));
    count_in(pointer);
    return pointer;
}

void counting_release(void* pointer, void*)
{
    count_out(pointer);
    std::free(pointer);
}

void* counting_reallocate(void* pointer, u64 size, void*)
{
    count_out(pointer);
    void* grown = std::realloc(pointer, static_cast<size_t>(size));
    count_in(grown ? grown : pointer);
    return grown;
}

const heap_allocator_t counting_allocator = {counting_allocate, counting_release, counting_reallocate, nullptr};

// RapidJSON's base allocator, counting the same way.
struct CountingAllocator
{
    static const bool kNeedFree = true;
    void* Malloc(size_t size)
    {
        if (!size)
            return nullptr;
        void* pointer = std::malloc(size);
        count_in(pointer);
        return pointer;
    }
    void* Realloc(void* pointer, size_t, size_t size)
    {
        if (!size)
        {
            Free(pointer);
            return nullptr;
        }
        count_out(pointer);
        void* grown = std::realloc(pointer, size);
        count_in(grown ? grown : pointer);
        return grown;
    }
    static void Free(void* pointer)
    {
        count_out(pointer);
        std::free(pointer);
    }
    bool operator==(const CountingAllocator&) const { return true; }
    bool operator!=(const CountingAllocator&) const { return false; }
};

typedef rapidjson::GenericDocument<rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<CountingAllocator>,
                                   CountingAllocator>
    counted_document_t;

const std::string& zeros()
{
    static const std::string text = [] {
        const size_t values = quick() ? 500000 : 5000000;
        std::string out = "[0";
        out.reserve(values * 2 + 2);
        for (size_t i = 1; i < values; ++i)
            out += ",0";
        out += "]";
        return out;
    }();
    return text;
}

const std::string& records()
{
    static const std::string text = [] {
        const int count = quick() ? 1000 : 10000;
        std::string out = "[\n";
        char record[512];
        for (int i = 0; i < count; ++i)
        {
            std::snprintf(record, sizeof(record),
                          "%s  {\"key\": \"Canon|EOS R5|%07d\", \"name\": \"Camera %d\", \"index\": %d, "
                          "\"rate\": %d.375, \"enabled\": %s, \"focus\": null, \"size\": %lld, "
                          "\"tags\": [\"front\", \"row %d\"], \"pos\": {\"x\": 1.5, \"y\": -%d}}",
                          i ? ",\n" : "", i, i, i, i % 100, i % 2 ? "true" : "false", 123456789012ll + i, i % 40,
                          i % 9);
            out += record;
        }
        out += "\n]";
        return out;
    }();
    return text;
}

const std::string& text_for(int which)
{
    return which == 0 ? zeros() : records();
}

void report(benchmark::State& state, const std::string& text, u64 peak)
{
    state.counters["peak_MB"] = static_cast<double>(peak) / 1e6;
    state.counters["peak_per_text_byte"] = static_cast<double>(peak) / static_cast<double>(text.size());
    state.counters["text_MB"] = static_cast<double>(text.size()) / 1e6;
}

void BM_JsonLoadMemory_orvo(benchmark::State& state)
{
    const std::string& text = text_for(static_cast<int>(state.range(0)));
    u64 peak = 0;
    for (auto _ : state)
    {
        g_live = 0;
        g_peak = 0;
        heap_set_allocator(&counting_allocator);
        json_reader_t reader;
        json_initialise(reader);
        if (!json_load(reader, string_make(text.data(), text.size())))
            state.SkipWithError("load failed");
        benchmark::DoNotOptimize(json_get_root(reader));
        json_release(reader);
        heap_set_allocator(nullptr);
        peak = g_peak;
    }
    report(state, text, peak);
}

void BM_JsonLoadMemory_Reference_RapidJSON(benchmark::State& state)
{
    const std::string& text = text_for(static_cast<int>(state.range(0)));
    u64 peak = 0;
    for (auto _ : state)
    {
        g_live = 0;
        g_peak = 0;
        {
            counted_document_t doc;
            doc.Parse(text.data(), text.size());
            if (doc.HasParseError())
                state.SkipWithError("parse failed");
            benchmark::DoNotOptimize(&doc);
        }
        peak = g_peak;
    }
    report(state, text, peak);
}

void texts(benchmark::internal::Benchmark* bench)
{
    bench->ArgName("zeros0_records1")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
}
} // namespace

BENCHMARK(BM_JsonLoadMemory_orvo)->Apply(texts);
BENCHMARK(BM_JsonLoadMemory_Reference_RapidJSON)->Apply(texts);

BENCHMARK_MAIN();
