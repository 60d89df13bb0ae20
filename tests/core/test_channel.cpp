// Channels driven from one thread, so that every position in the ring can be
// checked: record layout, wrapping to the ring's start, the rewind of an empty
// ring for records of about half its size, growth past half the capacity with
// records still unread in the old ring, closing, allocation failures and
// releasing every ring.
#include "orvo/core/core_channel.h"
#include "support/support_failing_allocator.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

using namespace orvo;

namespace
{
// Bytes that tell records apart: record k of length n.
std::string Pattern(u64 k, u64 n)
{
    std::string bytes(static_cast<size_t>(n), '\0');
    for (u64 i = 0; i < n; ++i)
        bytes[static_cast<size_t>(i)] = static_cast<char>((k * 131 + i * 7 + (i >> 8)) & 0xFF);
    return bytes;
}

bool Write(channel_t& channel, const std::string& bytes)
{
    return channel_write(channel, bytes.data(), bytes.size());
}

// The next record as a string; false when there is none.
bool Read(channel_t& channel, std::string& out)
{
    void* data = nullptr;
    u64 length = 0;
    if (!channel_read_begin(channel, data, length))
        return false;
    out.assign(static_cast<const char*>(data), static_cast<size_t>(length));
    channel_read_end(channel);
    return true;
}

std::vector<std::string> ReadAll(channel_t& channel)
{
    std::vector<std::string> records;
    std::string record;
    while (Read(channel, record))
        records.push_back(record);
    return records;
}

// Counts the blocks that heap_alloc hands out and that are not yet freed.
struct CountingAllocator
{
    std::map<void*, u64> blocks;
    heap_allocator_t hooks{&CountingAllocator::Allocate, &CountingAllocator::Release, nullptr, this};
    CountingAllocator() { heap_set_allocator(&hooks); }
    ~CountingAllocator() { heap_set_allocator(nullptr); }
    static void* Allocate(u64 size, void* user)
    {
        void* block = std::malloc(static_cast<size_t>(size));
        static_cast<CountingAllocator*>(user)->blocks[block] = size;
        return block;
    }
    static void Release(void* pointer, void* user)
    {
        static_cast<CountingAllocator*>(user)->blocks.erase(pointer);
        std::free(pointer);
    }
};

struct Channel : ::testing::Test
{
    lumivane_test::LogCapture log;
    channel_t channel;
    void SetUp() override { ASSERT_TRUE(channel_initialise(channel)); }
    void TearDown() override
    {
        channel_detach_reader(channel);
        channel_release(channel);
        channel_release(channel); // safe twice
        EXPECT_EQ(channel.start, nullptr);
        EXPECT_EQ(channel.read_ring, nullptr);
        EXPECT_EQ(channel.capacity, 0u);
        EXPECT_FALSE(channel.open.load());
    }
};
} // namespace

TEST_F(Channel, StartsOpenWithOneEndHeaderAndNoReader)
{
    EXPECT_TRUE(channel.open.load());
    EXPECT_FALSE(channel.reader_attached.load());
    EXPECT_EQ(channel.capacity, CHANNEL_INITIAL_CAPACITY);
    EXPECT_EQ(channel.end - channel.start, static_cast<std::ptrdiff_t>(CHANNEL_INITIAL_CAPACITY));
    EXPECT_EQ(reinterpret_cast<u8*>(channel.write_header), channel.start);
    EXPECT_EQ(channel.write_position, channel.start + 32);
    EXPECT_EQ(channel.read_header, channel.write_header);
    EXPECT_EQ(channel.limit.load(), channel.write_header);
    EXPECT_EQ(channel.write_header->state.load(), static_cast<u32>(CHANNEL_STATE_END));

    // An empty channel gives nothing but attaches its reader.
    void* data = reinterpret_cast<void*>(1);
    u64 length = 99;
    EXPECT_FALSE(channel_read_begin(channel, data, length));
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_TRUE(channel.reader_attached.load());
}

TEST_F(Channel, ARecordCostsItsLengthRoundedToEightPlusOneHeader)
{
    struct Case
    {
        u64 length;
        u64 cost;
    };
    const Case cases[] = {{0, 32}, {5, 40}, {8, 40}, {9, 48}, {1000, 1032}, {4096, 4128}};
    u64 k = 0;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.length);
        u8* before = channel.write_position;
        ASSERT_TRUE(Write(channel, Pattern(k++, c.length)));
        EXPECT_EQ(static_cast<u64>(channel.write_position - before), c.cost);
    }
    std::vector<std::string> records = ReadAll(channel);
    ASSERT_EQ(records.size(), sizeof(cases) / sizeof(cases[0]));
    for (size_t i = 0; i < records.size(); ++i)
        EXPECT_EQ(records[i], Pattern(i, cases[i].length)) << "record " << i;
}

TEST_F(Channel, DataThatMissesTheTailGoesToTheRingStartInOrder)
{
    // Three records of 300,000 leave 148,448 bytes of tail; once the reader has
    // taken two, a 200,000-byte record fits only before the reader's limit.
    for (u64 k = 0; k < 3; ++k)
        ASSERT_TRUE(Write(channel, Pattern(k, 300000)));
    std::string record;
    ASSERT_TRUE(Read(channel, record));
    ASSERT_TRUE(Read(channel, record));
    EXPECT_EQ(record, Pattern(1, 300000));

    channelheader_t* header = channel.write_header;
    void* data = nullptr;
    ASSERT_TRUE(channel_write_begin(channel, data, 200000));
    EXPECT_EQ(data, channel.start);         // the data at the ring's start ...
    EXPECT_EQ(header->data, channel.start); // ... its header where it was
    std::string bytes = Pattern(3, 200000);
    std::memcpy(data, bytes.data(), bytes.size());
    channel_write_end(channel);
    ASSERT_TRUE(Write(channel, Pattern(4, 10)));

    std::vector<std::string> rest = ReadAll(channel);
    ASSERT_EQ(rest.size(), 3u);
    EXPECT_EQ(rest[0], Pattern(2, 300000));
    EXPECT_EQ(rest[1], Pattern(3, 200000));
    EXPECT_EQ(rest[2], Pattern(4, 10));
}

TEST_F(Channel, AnyRecordThatFitsAnEmptyRingIsPlaced)
{
    // The reader stands where the last record ended; neither the tail behind it
    // nor the space before it may hold the record. The writer rewinds the ring:
    // the first try lays down the rewind, the reader follows it, the next try fits.
    struct Case
    {
        const char* name;
        std::vector<u64> before; // written and read first
        u64 length;
        bool fits; // the ring holds at most capacity - 64 bytes of data
    };
    const Case cases[] = {
        {"half after 524,200 (the writer used to spin for ever)", {524200}, 524288, true},
        {"half after two records", {300000, 200000}, 524288, true},
        {"half into a fresh ring", {}, 524288, true},
        {"the largest record a ring holds", {1000}, CHANNEL_INITIAL_CAPACITY - 64, true},
        {"one byte more never fits", {1000}, CHANNEL_INITIAL_CAPACITY - 63, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        channel_t ring;
        ASSERT_TRUE(channel_initialise(ring));
        u64 k = 0;
        std::string record;
        for (u64 length : c.before)
        {
            ASSERT_TRUE(Write(ring, Pattern(k, length)));
            ASSERT_TRUE(Read(ring, record));
            ASSERT_EQ(record, Pattern(k++, length));
        }
        void* data = nullptr;
        bool placed = false;
        for (int attempt = 0; attempt < 2 && !placed; ++attempt)
        {
            placed = channel_write_begin(ring, data, c.length);
            if (!placed)
            {
                EXPECT_FALSE(Read(ring, record)); // follows a rewind, finds no record
            }
        }
        EXPECT_EQ(placed, c.fits);
        EXPECT_EQ(ring.capacity, CHANNEL_INITIAL_CAPACITY); // placed without growing
        if (placed)
        {
            std::string bytes = Pattern(k, c.length);
            std::memcpy(data, bytes.data(), bytes.size());
            channel_write_end(ring);
            ASSERT_TRUE(Read(ring, record));
            EXPECT_TRUE(record == bytes);
        }
        EXPECT_FALSE(Read(ring, record));
        channel_detach_reader(ring);
        channel_release(ring);
    }
}

TEST_F(Channel, HalfTheCapacityStaysOneByteMoreMovesToALargerRingInOrder)
{
    ASSERT_TRUE(Write(channel, Pattern(0, 10)));
    ASSERT_TRUE(Write(channel, Pattern(1, 524288))); // exactly half: the same ring
    u8* first = channel.start;
    EXPECT_EQ(channel.capacity, CHANNEL_INITIAL_CAPACITY);

    // One byte more: 2 x (1,048,576 + 524,289) = 3,145,730, rounded up to 16. The
    // writer moves on at once, the two records still unread in the old ring.
    ASSERT_TRUE(Write(channel, Pattern(2, 524289)));
    EXPECT_EQ(channel.capacity, 3145744u);
    EXPECT_NE(channel.start, first);
    EXPECT_EQ(channel.read_ring, first);
    ASSERT_TRUE(Write(channel, Pattern(3, 7)));

    std::string record;
    ASSERT_TRUE(Read(channel, record));
    EXPECT_EQ(record, Pattern(0, 10));
    ASSERT_TRUE(Read(channel, record));
    EXPECT_TRUE(record == Pattern(1, 524288));
    EXPECT_EQ(channel.read_ring, first);
    ASSERT_TRUE(Read(channel, record)); // passes the moved header, frees the old ring
    EXPECT_TRUE(record == Pattern(2, 524289));
    EXPECT_EQ(channel.read_ring, channel.start);
    ASSERT_TRUE(Read(channel, record));
    EXPECT_EQ(record, Pattern(3, 7));
    EXPECT_FALSE(Read(channel, record));
}

TEST_F(Channel, AClosedChannelWithoutReaderFillsThenRefusesInsteadOfWaiting)
{
    channel_close(channel);
    // 10 x (100,000 + 32) fit in 1,048,576 - 32 bytes; the 11th would wait for ever.
    int written = 0;
    while (written < 20 && Write(channel, Pattern(written, 100000)))
        ++written;
    EXPECT_EQ(written, 10);
    // Growth is refused as well: nobody could ever read the record.
    EXPECT_FALSE(Write(channel, Pattern(99, 600000)));
    EXPECT_EQ(channel.capacity, CHANNEL_INITIAL_CAPACITY);

    std::vector<std::string> records = ReadAll(channel);
    ASSERT_EQ(records.size(), 10u);
    for (size_t i = 0; i < records.size(); ++i)
        EXPECT_TRUE(records[i] == Pattern(i, 100000)) << "record " << i;
}

TEST_F(Channel, AReservedRecordIsInvisibleUntilPublished)
{
    void* data = nullptr;
    ASSERT_TRUE(channel_write_begin(channel, data, 16));
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(data) % 8, 0u);
    void* second = nullptr;
    EXPECT_FALSE(channel_write_begin(channel, second, 16)); // one reservation at a time
    std::string record;
    EXPECT_FALSE(Read(channel, record));
    std::memcpy(data, "0123456789abcdef", 16);
    channel_write_end(channel);
    channel_write_end(channel); // nothing reserved: nothing happens
    ASSERT_TRUE(Read(channel, record));
    EXPECT_EQ(record, "0123456789abcdef");
    EXPECT_FALSE(Read(channel, record));
    // Never grows: a record longer than the ring is refused at once.
    EXPECT_FALSE(channel_write_begin(channel, data, CHANNEL_INITIAL_CAPACITY + 1));
    EXPECT_EQ(data, nullptr);
}

TEST(ChannelRings, ReleaseFreesEveryRingWhereverTheReaderStands)
{
    lumivane_test::LogCapture log;
    struct Case
    {
        const char* name;
        int reads; // records the reader takes before the release
    };
    // Records: 10 bytes (ring 1), 600,000 (ring 2, capacity 3,297,152),
    // 2,000,000 (ring 3), 5 bytes.
    const Case cases[] = {{"reader never read", 0}, {"reader in the first ring", 1},
                          {"reader in the second ring", 2}, {"reader took everything", 4}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CountingAllocator counting;
        channel_t channel;
        ASSERT_TRUE(channel_initialise(channel));
        ASSERT_TRUE(Write(channel, Pattern(0, 10)));
        ASSERT_TRUE(Write(channel, Pattern(1, 600000)));
        EXPECT_EQ(channel.capacity, 3297152u);
        ASSERT_TRUE(Write(channel, Pattern(2, 2000000)));
        ASSERT_TRUE(Write(channel, Pattern(3, 5)));
        EXPECT_EQ(counting.blocks.size(), 3u);
        std::string record;
        for (int i = 0; i < c.reads; ++i)
            ASSERT_TRUE(Read(channel, record));
        channel_detach_reader(channel);
        channel_release(channel);
        EXPECT_TRUE(counting.blocks.empty());
    }
}

TEST(ChannelRings, AllocationFailuresAreLoggedAndLoseNothing)
{
    lumivane_test::LogCapture log;
    channel_t channel;
    {
        lumivane_test::FailingAllocator failing(0);
        EXPECT_FALSE(channel_initialise(channel));
    }
    EXPECT_TRUE(log.Contains("FATAL ERROR failed to allocate 1048576 bytes"));
    EXPECT_FALSE(Write(channel, "abc"));
    void* data = nullptr;
    u64 length = 0;
    EXPECT_FALSE(channel_write_begin(channel, data, 3));
    EXPECT_FALSE(channel_read_begin(channel, data, length));
    channel_detach_reader(channel);
    channel_release(channel);

    // A failed growth keeps the old ring and every record in it.
    ASSERT_TRUE(channel_initialise(channel));
    ASSERT_TRUE(Write(channel, Pattern(0, 10)));
    {
        lumivane_test::FailingAllocator failing(0);
        EXPECT_FALSE(Write(channel, Pattern(1, 600000)));
    }
    EXPECT_TRUE(log.Contains("FATAL ERROR failed to allocate 3297152 bytes"));
    EXPECT_EQ(channel.capacity, CHANNEL_INITIAL_CAPACITY);
    ASSERT_TRUE(Write(channel, Pattern(2, 20)));
    std::vector<std::string> records = ReadAll(channel);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], Pattern(0, 10));
    EXPECT_EQ(records[1], Pattern(2, 20));
    channel_detach_reader(channel);
    channel_release(channel);

    channel_t zeroed{};
    channel_release(zeroed); // a zeroed record is left alone
    channel_release(zeroed);
    EXPECT_FALSE(channel_read_begin(zeroed, data, length));
    EXPECT_FALSE(Write(zeroed, "x"));
}
