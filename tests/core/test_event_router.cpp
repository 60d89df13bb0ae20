// The event router: each event is offered to the routes in the order they were
// added until one takes it; a route that passes events on lets every later
// route see them; routes added while routing are offered the same event.
#include "orvo/core/core_event_router.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace orvo;

namespace
{
struct TestEvent
{
    int type;
};

// A listener that notes every event it is offered and takes the types it wants.
struct Listener
{
    std::string name;
    std::vector<int> takes;
    std::vector<std::string>* offered;

    static bool Route(void* target, const TestEvent& event)
    {
        Listener& self = *static_cast<Listener*>(target);
        self.offered->push_back(self.name + ":" + std::to_string(event.type));
        for (int type : self.takes)
        {
            if (type == event.type)
                return true;
        }
        return false;
    }
};

TEST(EventRouter, OffersEachEventInRouteOrderUntilOneTakesIt)
{
    std::vector<std::string> offered;
    // The controller's route passes everything on; the others take some types.
    Listener controller{"controller", {}, &offered};
    Listener display{"display", {1, 2}, &offered};
    Listener tiles{"tiles", {2, 3}, &offered};
    EventRouter<TestEvent> router;
    ASSERT_TRUE(router.AddRoute(&controller, Listener::Route));
    ASSERT_TRUE(router.AddRoute(&display, Listener::Route));
    ASSERT_TRUE(router.AddRoute(&tiles, Listener::Route));
    EXPECT_EQ(router.GetNumRoutes(), 3u);

    struct Case
    {
        int type;
        bool taken;
        std::vector<std::string> offered;
    };
    const Case cases[] = {
        {1, true, {"controller:1", "display:1"}},
        {2, true, {"controller:2", "display:2"}}, // the first taker stops it
        {3, true, {"controller:3", "display:3", "tiles:3"}},
        {4, false, {"controller:4", "display:4", "tiles:4"}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.type);
        offered.clear();
        EXPECT_EQ(router.RouteEvent(TestEvent{c.type}), c.taken);
        EXPECT_EQ(offered, c.offered);
    }
}

TEST(EventRouter, WithoutRoutesNothingTakesAnEvent)
{
    EventRouter<TestEvent> router;
    EXPECT_FALSE(router.RouteEvent(TestEvent{1}));
    EXPECT_EQ(router.GetNumRoutes(), 0u);
}

TEST(EventRouter, ARouteAddedWhileRoutingSeesTheSameEvent)
{
    std::vector<std::string> offered;
    EventRouter<TestEvent> router;
    Listener late{"late", {5}, &offered};
    struct Adder
    {
        EventRouter<TestEvent>* router;
        Listener* late;
        std::vector<std::string>* offered;
        static bool Route(void* target, const TestEvent&)
        {
            Adder& self = *static_cast<Adder*>(target);
            self.offered->push_back("adder");
            // Enough routes to move the list while it is being walked.
            for (int i = 0; i < 20; ++i)
                self.router->AddRoute(self.late, Listener::Route);
            return false;
        }
    } adder{&router, &late, &offered};
    ASSERT_TRUE(router.AddRoute(&adder, Adder::Route));
    EXPECT_TRUE(router.RouteEvent(TestEvent{5}));
    EXPECT_EQ(offered, (std::vector<std::string>{"adder", "late:5"}));
    EXPECT_EQ(router.GetNumRoutes(), 21u);
}

TEST(EventRouter, ANullRouteFunctionIsRefused)
{
    lumivane_test::LogCapture log;
    EventRouter<TestEvent> router;
    int target = 0;
    EXPECT_FALSE(router.AddRoute(&target, nullptr));
    EXPECT_TRUE(log.Contains("Failed to add event route: no route function"));
    EXPECT_EQ(router.GetNumRoutes(), 0u);
    EXPECT_FALSE(router.RouteEvent(TestEvent{1}));
}
} // namespace
