// The location registry: "BROADCAST" as id 0, shared ids with reuse, fresh
// ids without, names, the log line for new ids, and registration from several
// threads at once. Each case runs in a process of its own, so the registry
// starts empty.
#include "orvo/core/core_location.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace orvo;

namespace
{
struct LocationRegistry : ::testing::Test
{
    lumivane_test::LogCapture log;
};

TEST_F(LocationRegistry, BroadcastComesFirstAndIsNeverMatched)
{
    // "BROADCAST" asked for by name gets an id of its own: id 0 is never matched.
    EXPECT_EQ(Location::GetLocationId("BROADCAST", true), 1);
    EXPECT_STREQ(Location::GetLocationName(0), "BROADCAST");
    EXPECT_STREQ(Location::GetLocationName(1), "BROADCAST");
    EXPECT_EQ(Location::GetLocationId("BROADCAST", true), 1);
    EXPECT_STREQ(Location::GetLocationName(2), "");
    EXPECT_STREQ(Location::GetLocationName(65535), "");
}

TEST_F(LocationRegistry, ReuseSharesOneIdPerTextAndWithoutReuseEveryCallerGetsItsOwn)
{
    u16 processor = Location::GetLocationId("orvo::CameraProcessor", true);
    u16 surface1 = Location::GetLocationId("orvo::CameraDataSurface", false);
    u16 surface2 = Location::GetLocationId("orvo::CameraDataSurface", false);
    u16 events1 = Location::GetSubscriptionId("BROADCAST::CameraEvent");
    // Equal text in another buffer: names are compared by text, not by pointer.
    std::string copy = "BROADCAST::CameraEvent";
    u16 events2 = Location::GetLocationId(copy.c_str(), true);
    u16 processor_again = Location::GetLocationId("orvo::CameraProcessor", true);

    EXPECT_EQ(processor, 1);
    EXPECT_EQ(surface1, 2);
    EXPECT_EQ(surface2, 3);
    EXPECT_EQ(events1, 4);
    EXPECT_EQ(events2, events1);
    EXPECT_EQ(processor_again, processor);
    // Reuse finds the first of several equal names.
    EXPECT_EQ(Location::GetLocationId("orvo::CameraDataSurface", true), surface1);
    EXPECT_STREQ(Location::GetLocationName(surface2), "orvo::CameraDataSurface");

    // One log line per new id, none for a reused one.
    std::vector<std::string> lines = log.Lines();
    auto count = [&](const std::string& text)
    {
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& line) { return line.find(text) != std::string::npos; });
    };
    EXPECT_EQ(count("Location ID for orvo::CameraProcessor: 1"), 1);
    EXPECT_EQ(count("Location ID for orvo::CameraDataSurface: 2"), 1);
    EXPECT_EQ(count("Location ID for orvo::CameraDataSurface: 3"), 1);
    EXPECT_EQ(count("Location ID for BROADCAST::CameraEvent: 4"), 1);
    EXPECT_EQ(count("Location ID for"), 4);
}

TEST_F(LocationRegistry, ANullNameIsRefused)
{
    EXPECT_EQ(Location::GetLocationId(nullptr, true), 0);
    EXPECT_TRUE(log.Contains("Failed to get location ID: no name"));
    EXPECT_EQ(Location::GetSubscriptionId(nullptr), 0);
}

TEST_F(LocationRegistry, ThreadsRegisteringAtOnceGetDistinctOwnIdsAndOneSharedId)
{
    const int threads = 4;
    const int per_thread = 200;
    std::vector<std::vector<u16>> own(threads);
    std::vector<std::vector<u16>> shared(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
    {
        workers.emplace_back(
            [&, t]
            {
                for (int i = 0; i < per_thread; ++i)
                {
                    own[t].push_back(Location::GetLocationId("Test::Own", false));
                    shared[t].push_back(Location::GetSubscriptionId("Test::Shared"));
                }
            });
    }
    for (std::thread& worker : workers)
        worker.join();

    std::set<u16> distinct;
    for (int t = 0; t < threads; ++t)
    {
        distinct.insert(own[t].begin(), own[t].end());
        for (u16 id : shared[t])
            EXPECT_EQ(id, shared[0][0]);
    }
    EXPECT_EQ(distinct.size(), static_cast<size_t>(threads * per_thread));
    EXPECT_EQ(distinct.count(shared[0][0]), 0u);
    EXPECT_EQ(distinct.count(0), 0u);
    EXPECT_STREQ(Location::GetLocationName(shared[0][0]), "Test::Shared");
}
} // namespace
