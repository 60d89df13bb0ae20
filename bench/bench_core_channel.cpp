// Channel throughput between two threads for records of 64 B, 4 KiB and
// 256 KiB, beside boost::lockfree::spsc_queue carrying the same records
// (length prefix and bytes, copied in by the writer and out by the reader) in
// a ring of the same 1 MiB, and beside two plain memcpy calls per record on one
// thread as the ceiling. Each iteration writes a batch and waits for the
// reader to have copied all of it out.
#include "orvo/core/core_channel.h"
#include "orvo/core/core_thread.h"

#include <benchmark/benchmark.h>
#include <boost/lockfree/spsc_queue.hpp>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace orvo;

namespace
{
bool Quick()
{
    return std::getenv("LUMIVANE_BENCH_QUICK") != nullptr;
}

// Records per iteration: about 8 MB of them (256 KB in the quick mode).
u64 BatchFor(u64 size)
{
    u64 bytes = Quick() ? (256u << 10) : (8u << 20);
    u64 count = bytes / size;
    return count ? count : 1;
}

// The reading side shared by both pipes: a thread that copies every record
// out into its own buffer and counts it.
struct ReaderState
{
    std::atomic<bool> stop{false};
    std::atomic<u64> consumed{0};
    std::vector<u8> out;
    thread_t thread;
};

void WaitConsumed(const ReaderState& reader, u64 target)
{
    while (reader.consumed.load(std::memory_order_acquire) < target)
        thread_yield();
}

struct ChannelPipe
{
    channel_t channel;
    ReaderState reader;

    static void Read(void* user)
    {
        ChannelPipe& pipe = *static_cast<ChannelPipe*>(user);
        while (!pipe.reader.stop.load(std::memory_order_acquire))
        {
            void* data;
            u64 length;
            if (!channel_read_begin(pipe.channel, data, length))
            {
                thread_yield();
                continue;
            }
            std::memcpy(pipe.reader.out.data(), data, static_cast<size_t>(length));
            channel_read_end(pipe.channel);
            pipe.reader.consumed.fetch_add(1, std::memory_order_release);
        }
        channel_detach_reader(pipe.channel);
    }
};

void BM_Channel(benchmark::State& state)
{
    const u64 size = static_cast<u64>(state.range(0));
    const u64 batch = BatchFor(size);
    ChannelPipe pipe;
    channel_initialise(pipe.channel);
    channel_attach_reader(pipe.channel);
    pipe.reader.out.resize(static_cast<size_t>(size));
    std::vector<u8> record(static_cast<size_t>(size), 0x5A);
    thread_initialise(pipe.reader.thread);
    thread_set(pipe.reader.thread, ChannelPipe::Read, &pipe, string_make("BENCH_READER"));
    thread_run(pipe.reader.thread);

    u64 written = 0;
    for (auto _ : state)
    {
        for (u64 i = 0; i < batch; ++i)
            channel_write(pipe.channel, record.data(), size);
        written += batch;
        WaitConsumed(pipe.reader, written);
    }
    pipe.reader.stop.store(true, std::memory_order_release);
    thread_wait(pipe.reader.thread, nullptr, nullptr);
    channel_release(pipe.channel);
    state.SetBytesProcessed(static_cast<int64_t>(written * size));
    state.SetItemsProcessed(static_cast<int64_t>(written));
}

// A byte queue: each record is its 8-byte length, then its bytes.
typedef boost::lockfree::spsc_queue<u8> byte_queue_t;

struct BoostPipe
{
    byte_queue_t queue{CHANNEL_INITIAL_CAPACITY};
    ReaderState reader;

    // Pops exactly n bytes, unless told to stop while waiting.
    bool PopAll(u8* target, u64 n)
    {
        u64 done = 0;
        while (done < n)
        {
            size_t got = queue.pop(target + done, static_cast<size_t>(n - done));
            done += got;
            if (got == 0)
            {
                if (reader.stop.load(std::memory_order_acquire))
                    return false;
                thread_yield();
            }
        }
        return true;
    }

    static void Read(void* user)
    {
        BoostPipe& pipe = *static_cast<BoostPipe*>(user);
        for (;;)
        {
            u64 length;
            if (!pipe.PopAll(reinterpret_cast<u8*>(&length), sizeof(length)))
                return;
            if (!pipe.PopAll(pipe.reader.out.data(), length))
                return;
            pipe.reader.consumed.fetch_add(1, std::memory_order_release);
        }
    }

    void PushAll(const u8* source, u64 n)
    {
        u64 done = 0;
        while (done < n)
        {
            size_t put = queue.push(source + done, static_cast<size_t>(n - done));
            done += put;
            if (put == 0)
                thread_yield();
        }
    }
};

void BM_Reference_BoostSpscQueue(benchmark::State& state)
{
    const u64 size = static_cast<u64>(state.range(0));
    const u64 batch = BatchFor(size);
    BoostPipe pipe;
    pipe.reader.out.resize(static_cast<size_t>(size));
    std::vector<u8> record(static_cast<size_t>(size), 0x5A);
    thread_initialise(pipe.reader.thread);
    thread_set(pipe.reader.thread, BoostPipe::Read, &pipe, string_make("BENCH_READER"));
    thread_run(pipe.reader.thread);

    u64 written = 0;
    for (auto _ : state)
    {
        for (u64 i = 0; i < batch; ++i)
        {
            pipe.PushAll(reinterpret_cast<const u8*>(&size), sizeof(size));
            pipe.PushAll(record.data(), size);
        }
        written += batch;
        WaitConsumed(pipe.reader, written);
    }
    pipe.reader.stop.store(true, std::memory_order_release);
    thread_wait(pipe.reader.thread, nullptr, nullptr);
    state.SetBytesProcessed(static_cast<int64_t>(written * size));
    state.SetItemsProcessed(static_cast<int64_t>(written));
}

// The ceiling: the same two copies per record without a second thread.
void BM_Reference_Memcpy(benchmark::State& state)
{
    const u64 size = static_cast<u64>(state.range(0));
    const u64 batch = BatchFor(size);
    std::vector<u8> ring(CHANNEL_INITIAL_CAPACITY);
    std::vector<u8> out(static_cast<size_t>(size));
    std::vector<u8> record(static_cast<size_t>(size), 0x5A);
    u64 written = 0;
    u64 position = 0;
    for (auto _ : state)
    {
        for (u64 i = 0; i < batch; ++i)
        {
            if (position + size > ring.size())
                position = 0;
            std::memcpy(ring.data() + position, record.data(), static_cast<size_t>(size));
            std::memcpy(out.data(), ring.data() + position, static_cast<size_t>(size));
            benchmark::ClobberMemory();
            position += (size + 7) & ~7ull;
        }
        written += batch;
    }
    benchmark::DoNotOptimize(out.data());
    state.SetBytesProcessed(static_cast<int64_t>(written * size));
    state.SetItemsProcessed(static_cast<int64_t>(written));
}
} // namespace

BENCHMARK(BM_Channel)->Arg(64)->Arg(4096)->Arg(262144)->UseRealTime();
BENCHMARK(BM_Reference_BoostSpscQueue)->Arg(64)->Arg(4096)->Arg(262144)->UseRealTime();
BENCHMARK(BM_Reference_Memcpy)->Arg(64)->Arg(4096)->Arg(262144)->UseRealTime();

BENCHMARK_MAIN();
