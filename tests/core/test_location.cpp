// The location registry: "BROADCAST" as id 0, shared ids with reuse, fresh
// ids without, names, the log line for new ids, and registration from several
// threads at once. The registry only grows, so each case reads ids relative
// to what it registers itself and also passes when the suite runs in one
// process.
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
    // The registry only grows and other cases of this process may have filled
    // it: ids are read relative to what is there.
    Location::GetLocationId("Location::Probe", false);
    EXPECT_STREQ(Location::GetLocationName(0), "BROADCAST");
    // "BROADCAST" asked for by name gets an id of its own: id 0 is never matched.
    u16 named = Location::GetLocationId("BROADCAST", true);
    EXPECT_NE(named, 0);
    EXPECT_STREQ(Location::GetLocationName(named), "BROADCAST");
    EXPECT_EQ(Location::GetLocationId("BROADCAST", true), named);
    u16 last = Location::GetLocationId("Location::Last", false);
    EXPECT_STREQ(Location::GetLocationName(last), "Location::Last");
    EXPECT_STREQ(Location::GetLocationName(static_cast<u16>(last + 1)), "");
    EXPECT_STREQ(Location::GetLocationName(65535), "");
}

TEST_F(LocationRegistry, ReuseSharesOneIdPerTextAndWithoutReuseEveryCallerGetsItsOwn)
{
    u16 processor = Location::GetLocationId("Location::CameraProcessor", true);
    u16 surface1 = Location::GetLocationId("Location::CameraDataSurface", false);
    u16 surface2 = Location::GetLocationId("Location::CameraDataSurface", false);
    u16 events1 = Location::GetSubscriptionId("BROADCAST::LocationEvent");
    // Equal text in another buffer: names are compared by text, not by pointer.
    std::string copy = "BROADCAST::LocationEvent";
    u16 events2 = Location::GetLocationId(copy.c_str(), true);
    u16 processor_again = Location::GetLocationId("Location::CameraProcessor", true);

    // New names take the next ids in turn.
    EXPECT_NE(processor, 0);
    EXPECT_EQ(surface1, processor + 1);
    EXPECT_EQ(surface2, processor + 2);
    EXPECT_EQ(events1, processor + 3);
    EXPECT_EQ(events2, events1);
    EXPECT_EQ(processor_again, processor);
    // Reuse finds the first of several equal names.
    EXPECT_EQ(Location::GetLocationId("Location::CameraDataSurface", true), surface1);
    EXPECT_STREQ(Location::GetLocationName(surface2), "Location::CameraDataSurface");

    // One log line per new id, none for a reused one.
    auto line = [](const char* name, u16 id) { return std::string("Location ID for ") + name + ": " + std::to_string(id); };
    EXPECT_EQ(log.Count(line("Location::CameraProcessor", processor)), 1u);
    EXPECT_EQ(log.Count(line("Location::CameraDataSurface", surface1)), 1u);
    EXPECT_EQ(log.Count(line("Location::CameraDataSurface", surface2)), 1u);
    EXPECT_EQ(log.Count(line("BROADCAST::LocationEvent", events1)), 1u);
    EXPECT_EQ(log.Count("Location ID for"), 4u);
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
