// JSON load, and load with a full walk, of a 10,000-record document, each
// beside RapidJSON's DOM doing the same in the same run; and writing a long
// string that needs escaping throughout, at 1, 2 and 4 MB, beside memcpy of
// the bytes written: equal throughput at every size shows the cost is linear.
// LUMIVANE_BENCH_QUICK shrinks the document to 1,000 records and the
// strings to 64, 128 and 256 KB.
#include "orvo/core/core_json_reader.h"
#include "orvo/core/core_json_writer.h"

#include <benchmark/benchmark.h>
#include <rapidjson/document.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace orvo;

namespace
{
bool quick()
{
    return std::getenv("LUMIVANE_BENCH_QUICK") != nullptr;
}

// Records shaped like the camera database and the external API's messages:
// keys and names, integers, fractions, a flag, a null, a list and an object.
const std::string& document()
{
    static const std::string text = [] {
        const int records = quick() ? 1000 : 10000;
        std::string out = "\xEF\xBB\xBF[\n";
        char record[512];
        for (int i = 0; i < records; ++i)
        {
            std::snprintf(record, sizeof(record),
                          "%s  {\"key\": \"Canon|EOS R5|%07d\", \"name\": \"Camera %d \\\"left\\\"\", \"index\": %d, "
                          "\"batch\": %d, \"rate\": %d.375, \"enabled\": %s, \"focus\": null, \"size\": %lld, "
                          "\"offset\": -0.000%03d, \"tags\": [\"front\", \"row %d\\n\"], "
                          "\"pos\": {\"x\": 1.5, \"y\": -%d}}",
                          i ? ",\n" : "", i, i, i, i * 7, i % 100, i % 2 ? "true" : "false",
                          123456789012ll + i, i % 1000, i % 40, i % 9);
            out += record;
        }
        out += "\n]";
        return out;
    }();
    return text;
}

struct walk_t
{
    u64 nodes;
    u64 string_bytes;
    double sum;
};

void walk(const json_value_t* value, walk_t& totals)
{
    ++totals.nodes;
    totals.string_bytes += value->name.length;
    switch (value->type)
    {
    case JSON_TYPE_STRING:
        totals.string_bytes += value->string.length;
        break;
    case JSON_TYPE_NUMBER:
        totals.sum += json_number_to_double(value);
        break;
    case JSON_TYPE_OBJECT:
    case JSON_TYPE_ARRAY:
        for (const json_value_t* c = json_get_next_member(value, nullptr); c; c = json_get_next_member(value, c))
            walk(c, totals);
        break;
    default:
        break;
    }
}

void walk(const rapidjson::Value& value, walk_t& totals)
{
    ++totals.nodes;
    switch (value.GetType())
    {
    case rapidjson::kStringType:
        totals.string_bytes += value.GetStringLength();
        break;
    case rapidjson::kNumberType:
        totals.sum += value.GetDouble();
        break;
    case rapidjson::kObjectType:
        for (auto m = value.MemberBegin(); m != value.MemberEnd(); ++m)
        {
            totals.string_bytes += m->name.GetStringLength();
            walk(m->value, totals);
        }
        break;
    case rapidjson::kArrayType:
        for (auto e = value.Begin(); e != value.End(); ++e)
            walk(*e, totals);
        break;
    default:
        break;
    }
}

void load_orvo(benchmark::State& state, bool full_walk)
{
    const std::string& text = document();
    walk_t totals = {};
    for (auto _ : state)
    {
        json_reader_t reader;
        json_initialise(reader);
        if (!json_load(reader, string_make(text.data(), text.size())))
            state.SkipWithError("json_load failed");
        if (full_walk)
            walk(json_get_root(reader), totals);
        benchmark::DoNotOptimize(reader.values.count);
        json_release(reader);
    }
    benchmark::DoNotOptimize(totals);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void load_rapidjson(benchmark::State& state, bool full_walk)
{
    const std::string& text = document();
    walk_t totals = {};
    for (auto _ : state)
    {
        rapidjson::Document doc;
        // The byte-order mark is skipped as our reader does; RapidJSON's
        // in-memory parse does not look for one.
        doc.Parse(text.c_str() + 3, text.size() - 3);
        if (doc.HasParseError())
            state.SkipWithError("RapidJSON parse failed");
        if (full_walk)
            walk(doc, totals);
        benchmark::DoNotOptimize(doc.Size());
    }
    benchmark::DoNotOptimize(totals);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_JsonLoad_orvo(benchmark::State& state)
{
    load_orvo(state, false);
}

void BM_JsonLoad_Reference_RapidJSON(benchmark::State& state)
{
    load_rapidjson(state, false);
}

void BM_JsonLoadWalk_orvo(benchmark::State& state)
{
    load_orvo(state, true);
}

void BM_JsonLoadWalk_Reference_RapidJSON(benchmark::State& state)
{
    load_rapidjson(state, true);
}

// Text in which every fourth byte must be escaped: a line feed, a quote,
// a backslash or a control byte that becomes \u00XX.
std::string escaped_text(u64 size)
{
    static const char specials[] = {'\n', '"', '\\', '\x01'};
    std::string text(size, 'a');
    for (u64 i = 3; i < size; i += 4)
        text[i] = specials[(i / 4) % 4];
    return text;
}

void BM_JsonWriteEscaped_orvo(benchmark::State& state)
{
    const std::string text = escaped_text(static_cast<u64>(state.range(0)));
    u64 written = 0;
    for (auto _ : state)
    {
        // A fresh buffer each time, so every pass pays for the growth too.
        json_writer_t writer;
        jsonwriter_initialise(writer);
        stringbuffer_t out;
        stringbuffer_initialise(out);
        json_open_string(writer, out);
        json_block_t root;
        json_begin_array(writer, nullptr, root, empty_str, false);
        json_add_string(root, empty_str, string_make(text.data(), text.size()));
        json_end_array(root);
        json_close(writer);
        written = out.length;
        benchmark::DoNotOptimize(out.str);
        stringbuffer_release(out);
        jsonwriter_release(writer);
    }
    state.counters["out_bytes"] = static_cast<double>(written);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// memcpy of as many bytes as the writer produces for the same input.
void BM_JsonWriteEscaped_Reference_memcpy(benchmark::State& state)
{
    const u64 size = static_cast<u64>(state.range(0));
    // 3 of every 4 bytes stay, 3 escapes take 2 bytes and 1 takes 6.
    const u64 out_bytes = size / 4 * 3 + size / 16 * (3 * 2 + 6) + 12;
    std::vector<char> source(out_bytes, 'a');
    for (auto _ : state)
    {
        std::vector<char> target(out_bytes);
        std::memcpy(target.data(), source.data(), out_bytes);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.counters["out_bytes"] = static_cast<double>(out_bytes);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void escaped_sizes(benchmark::internal::Benchmark* bench)
{
    const int64_t base = quick() ? (64 << 10) : (1 << 20);
    bench->Arg(base)->Arg(base * 2)->Arg(base * 4);
}
} // namespace

BENCHMARK(BM_JsonLoad_orvo)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JsonLoad_Reference_RapidJSON)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JsonLoadWalk_orvo)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JsonLoadWalk_Reference_RapidJSON)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JsonWriteEscaped_orvo)->Apply(escaped_sizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_JsonWriteEscaped_Reference_memcpy)->Apply(escaped_sizes)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
