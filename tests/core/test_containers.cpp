// vector_t growth and sorted inserts, hashtable_t duplicate rejection and
// allocation failures.
#include "orvo/core/core_hashtable.h"
#include "orvo/core/core_vector.h"
#include "support/support_failing_allocator.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <vector>

using namespace orvo;

namespace
{
// A record sorted by its first member, as the barcode and width sorters are.
struct keyed_t
{
    u32 key;
    u32 tag;
};
} // namespace

namespace orvo
{
template <>
struct container_traits<keyed_t>
{
    typedef u32 key_type;
    static u32 key(const keyed_t& e) { return e.key; }
    static int compare(u32 a, u32 b) { return a < b ? -1 : (a > b ? 1 : 0); }
    static u64 hash(u32 k) { return k; }
};
} // namespace orvo

TEST(Vector, GrowsToTwiceThePreviousCapacityPlusTwo)
{
    struct Case
    {
        const char* name;
        u64 initial;
        std::vector<u64> capacities; // after each insert that grew
    };
    const Case cases[] = {
        {"from zero", 0, {2, 6, 14, 30}},
        {"from eight", 8, {18, 38}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        vector_t<int> v;
        vector_initialise(v, c.initial, false);
        std::vector<u64> seen;
        u64 last = v.capacity;
        for (int i = 0; i < 32; ++i)
        {
            ASSERT_TRUE(vector_insert(v, i));
            if (v.capacity != last)
                seen.push_back(last = v.capacity);
        }
        seen.resize(std::min(seen.size(), c.capacities.size()));
        EXPECT_EQ(seen, c.capacities);
        for (int i = 0; i < 32; ++i)
            EXPECT_EQ(v.data[i], i);
        vector_release(v);
        EXPECT_EQ(v.data, nullptr);
        EXPECT_EQ(v.count, 0u);
    }
}

TEST(Vector, SortedInsertOrdersAndPlacesEqualKeysTogether)
{
    vector_t<keyed_t> v;
    vector_initialise(v, 0, true);
    for (keyed_t e : {keyed_t{5, 0}, keyed_t{1, 0}, keyed_t{3, 0}, keyed_t{3, 1}})
        ASSERT_TRUE(vector_insert(v, e));
    ASSERT_EQ(v.count, 4u);
    EXPECT_EQ(v.data[0].key, 1u);
    EXPECT_EQ(v.data[1].key, 3u);
    EXPECT_EQ(v.data[2].key, 3u);
    EXPECT_EQ(v.data[3].key, 5u);
    // The second 3 lands right before the equal element the search met.
    EXPECT_EQ(v.data[1].tag, 1u);

    vector_remove(v, 0);
    ASSERT_EQ(v.count, 3u);
    EXPECT_EQ(v.data[0].key, 3u);
    EXPECT_EQ(v.data[2].key, 5u);
    vector_remove(v, 7); // out of range: nothing
    EXPECT_EQ(v.count, 3u);
    vector_release(v);
}

TEST(Vector, FailedGrowthLeavesTheVectorAsItWas)
{
    lumivane_test::LogCapture log;
    vector_t<int> v;
    vector_initialise(v, 2, false);
    ASSERT_TRUE(vector_insert(v, 1));
    ASSERT_TRUE(vector_insert(v, 2));
    {
        lumivane_test::FailingAllocator failing;
        EXPECT_FALSE(vector_insert(v, 3));
    }
    EXPECT_EQ(v.count, 2u);
    EXPECT_EQ(v.capacity, 2u);
    EXPECT_TRUE(log.Contains("FATAL ERROR failed to allocate 24 bytes"));

    vector_t<int> failed;
    {
        lumivane_test::FailingAllocator failing;
        vector_initialise(failed, 10, false);
    }
    EXPECT_EQ(failed.capacity, 0u); // and grows on its first insert
    ASSERT_TRUE(vector_insert(failed, 7));
    EXPECT_EQ(failed.capacity, 2u);
    vector_release(failed);
    vector_release(v);
}

TEST(HashTable, RejectsDuplicatesAndFindsAndRemoves)
{
    hashtable_t<keyed_t> table;
    ASSERT_TRUE(hashtable_initialise(table, 7));
    ASSERT_EQ(table.buckets.count, 7u);
    for (u32 k = 0; k < 100; ++k)
        ASSERT_TRUE(hashtable_insert(table, keyed_t{k * 3, k}));
    EXPECT_EQ(table.num_entries, 100u);
    EXPECT_FALSE(hashtable_insert(table, keyed_t{30, 999}));
    EXPECT_EQ(table.num_entries, 100u);
    ASSERT_NE(hashtable_find(table, 30u), nullptr);
    EXPECT_EQ(hashtable_find(table, 30u)->tag, 10u); // the first one stays
    EXPECT_EQ(hashtable_find(table, 31u), nullptr);

    // Every bucket stays sorted, which is what makes lookups a binary search.
    for (u64 b = 0; b < table.buckets.count; ++b)
    {
        const vector_t<keyed_t>& bucket = table.buckets.data[b];
        EXPECT_TRUE(bucket.sorted);
        for (u64 i = 1; i < bucket.count; ++i)
            EXPECT_LT(bucket.data[i - 1].key, bucket.data[i].key);
    }

    hashtable_remove(table, 30u);
    hashtable_remove(table, 30u); // absent: no change
    EXPECT_EQ(table.num_entries, 99u);
    EXPECT_EQ(hashtable_find(table, 30u), nullptr);
    hashtable_release(table);
    hashtable_release(table);
}

TEST(HashTable, AddressKeysCompareByAddressNotText)
{
    static const char a[] = "same";
    static const char b[] = "same";
    hashtable_t<const char*> table;
    ASSERT_TRUE(hashtable_initialise(table, 100));
    EXPECT_TRUE(hashtable_insert(table, static_cast<const char*>(a)));
    EXPECT_TRUE(hashtable_insert(table, static_cast<const char*>(b)));
    EXPECT_FALSE(hashtable_insert(table, static_cast<const char*>(a)));
    EXPECT_EQ(table.num_entries, 2u);
    hashtable_release(table);
}

TEST(HashTable, ZeroBucketsAndFailedInitialise)
{
    hashtable_t<int> empty;
    EXPECT_TRUE(hashtable_initialise(empty, 0));
    EXPECT_EQ(empty.buckets.count, 0u);
    EXPECT_FALSE(hashtable_insert(empty, 1)); // no bucket to hold it
    EXPECT_EQ(hashtable_find(empty, 1), nullptr);
    hashtable_release(empty);

    lumivane_test::LogCapture log;
    for (long fail_at : {0L, 1L, 3L})
    {
        SCOPED_TRACE(fail_at);
        hashtable_t<int> table;
        {
            lumivane_test::FailingAllocator failing(fail_at);
            EXPECT_FALSE(hashtable_initialise(table, 4));
        }
        EXPECT_EQ(table.buckets.count, 0u);
        EXPECT_EQ(table.buckets.data, nullptr);
        hashtable_release(table);
    }
    EXPECT_TRUE(log.Contains("FATAL ERROR failed to allocate"));
}

TEST(HashTable, FullBucketThatCannotGrowRejectsTheElement)
{
    hashtable_t<int> table;
    ASSERT_TRUE(hashtable_initialise(table, 1));
    for (int i = 0; i < 8; ++i)
        ASSERT_TRUE(hashtable_insert(table, i));
    lumivane_test::LogCapture log;
    {
        lumivane_test::FailingAllocator failing;
        EXPECT_FALSE(hashtable_insert(table, 100));
    }
    EXPECT_EQ(table.num_entries, 8u);
    EXPECT_EQ(hashtable_find(table, 100), nullptr);
    ASSERT_TRUE(hashtable_insert(table, 100));
    EXPECT_EQ(table.buckets.data[0].capacity, 18u);
    hashtable_release(table);
}

TEST(ElfHash, KnownValuesAndRange)
{
    EXPECT_EQ(elf_hash(""), 0u);
    EXPECT_EQ(elf_hash("a"), 0x61u);
    EXPECT_EQ(elf_hash("abc"), 0x61u * 256 + 0x62u * 16 + 0x63u);
    // Long and non-ASCII texts stay below 2^28 (bytes above 0x7F count as negative).
    EXPECT_LT(elf_hash("a rather long camera model name with many characters \xC3\xA9\xE2\x82\xAC"), 1u << 28);
    EXPECT_EQ(elf_hash("\xC3"), 0x0FFFFF33u); // 0xC3 as a signed byte, then the top nibble folded
}
