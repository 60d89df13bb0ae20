// Channels between two real threads: records of random sizes, each carrying
// its sequence number and a checksum, arrive in order and exactly once,
// across the half-capacity rewind and growths that happen while the reader is
// reading. Also the hand-over at release and a writer stopped by a closed
// channel whose reader has gone. Meant to run under ThreadSanitizer as well.
#include "orvo/core/core_channel.h"
#include "orvo/core/core_thread.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace orvo;

namespace
{
u64 Mix(u64 x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

u64 Checksum(const u8* bytes, u64 n)
{
    u64 hash = 0xCBF29CE484222325ull; // FNV-1a
    for (u64 i = 0; i < n; ++i)
        hash = (hash ^ bytes[i]) * 0x100000001B3ull;
    return hash;
}

// Record k: at 16 bytes and more, its sequence number, the checksum of the
// rest and then bytes drawn from k; shorter records are drawn from k alone.
void Fill(u8* out, u64 k, u64 n)
{
    u64 body = n >= 16 ? 16 : 0;
    u64 state = Mix(k);
    for (u64 i = body; i < n; ++i)
    {
        if ((i & 7) == 0)
            state = Mix(state);
        out[i] = static_cast<u8>(state >> ((i & 7) * 8));
    }
    if (body)
    {
        u64 checksum = Checksum(out + 16, n - 16);
        std::memcpy(out, &k, 8);
        std::memcpy(out + 8, &checksum, 8);
    }
}

// Empty when the record is right, else what is wrong with it.
std::string Check(const u8* data, u64 length, u64 k, u64 expected_length, std::vector<u8>& scratch)
{
    if (length != expected_length)
        return "record " + std::to_string(k) + ": length " + std::to_string(length) + ", expected " +
               std::to_string(expected_length);
    if (length >= 16)
    {
        u64 sequence;
        u64 checksum;
        std::memcpy(&sequence, data, 8);
        std::memcpy(&checksum, data + 8, 8);
        if (sequence != k)
            return "record " + std::to_string(k) + ": carries sequence " + std::to_string(sequence);
        if (checksum != Checksum(data + 16, length - 16))
            return "record " + std::to_string(k) + ": checksum mismatch";
        return "";
    }
    scratch.resize(16);
    Fill(scratch.data(), k, length);
    if (length && std::memcmp(scratch.data(), data, static_cast<size_t>(length)) != 0)
        return "record " + std::to_string(k) + ": short record's bytes differ";
    return "";
}

struct Planned
{
    u64 length;
    bool reserve; // written through channel_write_begin/end instead of channel_write
};

// Mostly small records, some large ones that wrap the ring, some of exactly or
// nearly half the capacity, and two longer than half, which grow the ring. The
// capacity the writer will have is followed so that "half" is always right.
std::vector<Planned> Plan(u64 count, u64 seed)
{
    std::mt19937_64 random(seed);
    std::vector<Planned> plan;
    u64 capacity = CHANNEL_INITIAL_CAPACITY;
    // The case that used to spin the writer for ever: 524,200 written and read,
    // then 524,288 into the 1 MiB ring.
    plan.push_back({524200, false});
    plan.push_back({524288, false});
    for (u64 k = plan.size(); k < count; ++k)
    {
        u64 pick = random() % 1000;
        u64 length;
        if (k == count * 3 / 10 || k == count * 7 / 10)
            length = capacity / 2 + 1; // grows while the reader reads
        else if (pick < 4)
            length = capacity / 2 - random() % 2 * (random() % 200);
        else if (pick < 30)
            length = 4097 + random() % 200000;
        else if (pick < 250)
            length = 65 + random() % 4032;
        else
            length = random() % 65;
        bool reserve = length <= capacity / 2 && random() % 2 == 0;
        if (length > capacity / 2)
            capacity = (2 * (capacity + length) + 15) & ~15ull;
        plan.push_back({length, reserve});
    }
    return plan;
}

struct Exchange
{
    channel_t channel;
    std::vector<Planned> plan;
    std::atomic<u64> consumed{0};
    std::atomic<bool> writer_done{false};
    std::atomic<u64> write_failures{0};
    std::atomic<u64> capacity_at_end{0};
};

void Writer(void* user)
{
    Exchange& exchange = *static_cast<Exchange*>(user);
    std::vector<u8> bytes;
    for (u64 k = 0; k < exchange.plan.size(); ++k)
    {
        const Planned& record = exchange.plan[k];
        if (k == 1)
        {
            // Let the reader take the first record so the ring is empty with its
            // header just short of the middle.
            while (exchange.consumed.load(std::memory_order_acquire) < 1)
                thread_yield();
        }
        if (record.reserve)
        {
            void* data = nullptr;
            while (!channel_write_begin(exchange.channel, data, record.length))
                thread_yield();
            Fill(static_cast<u8*>(data), k, record.length);
            channel_write_end(exchange.channel);
        }
        else
        {
            bytes.resize(static_cast<size_t>(record.length) + 1);
            Fill(bytes.data(), k, record.length);
            if (!channel_write(exchange.channel, bytes.data(), record.length))
                exchange.write_failures.fetch_add(1);
        }
    }
    exchange.capacity_at_end.store(exchange.channel.capacity);
    exchange.writer_done.store(true, std::memory_order_release);
}
} // namespace

TEST(ChannelThreads, RandomRecordsArriveInOrderExactlyOnceAcrossRewindAndGrowth)
{
    lumivane_test::LogCapture log;
    Exchange exchange;
    exchange.plan = Plan(10000, 20240601);
    ASSERT_TRUE(channel_initialise(exchange.channel));

    thread_t writer;
    thread_initialise(writer);
    thread_set(writer, Writer, &exchange, string_make("WRITER"));
    ASSERT_TRUE(thread_run(writer));

    std::vector<u8> scratch;
    std::vector<std::string> errors;
    u64 k = 0;
    while (k < exchange.plan.size())
    {
        void* data = nullptr;
        u64 length = 0;
        if (!channel_read_begin(exchange.channel, data, length))
        {
            // A lost record would otherwise leave the reader waiting for ever.
            if (exchange.writer_done.load(std::memory_order_acquire) &&
                !channel_read_begin(exchange.channel, data, length))
                break;
            thread_yield();
            continue;
        }
        std::string error = Check(static_cast<const u8*>(data), length, k, exchange.plan[k].length, scratch);
        if (!error.empty() && errors.size() < 5)
            errors.push_back(error);
        channel_read_end(exchange.channel);
        exchange.consumed.store(++k, std::memory_order_release);
    }
    thread_wait(writer, nullptr, nullptr);

    for (const std::string& error : errors)
        ADD_FAILURE() << error;
    EXPECT_EQ(k, exchange.plan.size()) << "records lost";
    void* data = nullptr;
    u64 length = 0;
    EXPECT_FALSE(channel_read_begin(exchange.channel, data, length)) << "a record arrived twice";
    EXPECT_EQ(exchange.write_failures.load(), 0u);
    EXPECT_EQ(exchange.capacity_at_end.load(), 9437248u); // grew twice: 1 MiB, 3 MiB, 9 MiB
    EXPECT_EQ(exchange.channel.read_ring, exchange.channel.start); // old rings handed over and freed

    channel_detach_reader(exchange.channel);
    channel_release(exchange.channel);
    thread_release(writer);
}

namespace
{
struct Reader
{
    channel_t* channel;
    u64 expected;
    std::atomic<u64> read{0};
    std::atomic<u64> wrong{0};
};

void ReadThenDetach(void* user)
{
    Reader& reader = *static_cast<Reader*>(user);
    channel_attach_reader(*reader.channel);
    std::vector<u8> scratch;
    u64 k = 0;
    while (k < reader.expected)
    {
        void* data = nullptr;
        u64 length = 0;
        if (!channel_read_begin(*reader.channel, data, length))
        {
            thread_yield();
            continue;
        }
        if (!Check(static_cast<const u8*>(data), length, k, 64 + k % 5000, scratch).empty())
            reader.wrong.fetch_add(1);
        channel_read_end(*reader.channel);
        ++k;
    }
    reader.read.store(k);
    // The last touch: from here the writer's release may free the ring.
    channel_detach_reader(*reader.channel);
}
} // namespace

TEST(ChannelThreads, ReleaseWaitsForTheReaderToDetachBeforeFreeing)
{
    lumivane_test::LogCapture log;
    channel_t channel;
    ASSERT_TRUE(channel_initialise(channel));
    const u64 count = 2000;
    Reader reader{&channel, count};
    channel_attach_reader(channel); // attached before the writer may release

    thread_t thread;
    thread_initialise(thread);
    thread_set(thread, ReadThenDetach, &reader, string_make("READER"));
    ASSERT_TRUE(thread_run(thread));
    std::vector<u8> bytes;
    for (u64 k = 0; k < count; ++k)
    {
        u64 n = 64 + k % 5000;
        bytes.resize(n);
        Fill(bytes.data(), k, n);
        ASSERT_TRUE(channel_write(channel, bytes.data(), n));
    }
    // Returns only once the reader has taken everything and let go.
    channel_release(channel);
    EXPECT_EQ(reader.read.load(), count);
    EXPECT_EQ(reader.wrong.load(), 0u);
    EXPECT_EQ(channel.start, nullptr);
    thread_wait(thread, nullptr, nullptr);
}

namespace
{
struct BlockedWriter
{
    channel_t* channel;
    std::atomic<bool> full{false};
    std::atomic<int> result{-1};
};

void FillThenBlock(void* user)
{
    BlockedWriter& writer = *static_cast<BlockedWriter*>(user);
    std::vector<u8> bytes(100000);
    void* data = nullptr;
    while (channel_write_begin(*writer.channel, data, bytes.size()))
        channel_write_end(*writer.channel);
    writer.full.store(true, std::memory_order_release);
    // The ring is full and nobody reads: this waits until the channel is closed
    // and its reader gone.
    writer.result.store(channel_write(*writer.channel, bytes.data(), bytes.size()) ? 1 : 0);
}
} // namespace

TEST(ChannelThreads, AWaitingWriterGivesUpOnceClosedAndTheReaderHasGone)
{
    lumivane_test::LogCapture log;
    channel_t channel;
    ASSERT_TRUE(channel_initialise(channel));
    channel_attach_reader(channel);
    BlockedWriter writer{&channel};
    thread_t thread;
    thread_initialise(thread);
    thread_set(thread, FillThenBlock, &writer, string_make("BLOCKED"));
    ASSERT_TRUE(thread_run(thread));
    while (!writer.full.load(std::memory_order_acquire))
        thread_yield();
    channel_close(channel); // still attached: the writer keeps waiting
    channel_detach_reader(channel);
    thread_wait(thread, nullptr, nullptr);
    EXPECT_EQ(writer.result.load(), 0);
    channel_release(channel);
}
