// Two threads whose hubs send each other far more than a channel's ring holds
// before either pumps: every message must arrive once and in order, and
// neither sender may wait for the other (which, pumping only after its own
// sends, would never come).
#include "orvo/core/core_msghub.h"
#include "orvo/core/core_thread.h"
#include "orvo/core/core_time.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace orvo;

namespace
{
const int MESSAGES = 4000;          // of about 1 KiB each way: 4 MB per channel
const std::string PAYLOAD(1000, 'f'); // a test string that makes each message about 1 KiB

struct Side
{
    msgnode_t node;
    std::vector<u32> received; // ref_num of each message from the other side, in arrival order
    std::atomic<int> count{0};
    std::atomic<int> id{0};
    std::atomic<bool> ready{false};
    std::atomic<bool> sent{false};
    int bad = 0;

    static void Receive(void* user, const msg_t* msg)
    {
        Side* self = static_cast<Side*>(user);
        const msgdata_t* data = msg_find(msg, MSGFIELD_TEST_STRING, nullptr);
        if (!data || PAYLOAD != reinterpret_cast<const char*>(msgdata_payload(data)))
            ++self->bad;
        self->received.push_back(msg->ref_num);
        self->count.fetch_add(1, std::memory_order_release);
    }
};

// One thread: its own hub and node, all its events to the other node in one
// go, then pumping until the other's have all arrived (the limit only keeps a
// broken build from hanging).
void RunSide(Side& self, Side& other, const char* name, std::atomic<bool>& go)
{
    msghub_t* hub = distributor_attach_hub(string_make(name));
    msgnode_initialise(self.node, MSGNODE_TYPE_UNKNOWN, &self, &Side::Receive);
    if (!hub || !distributor_add_node(hub, &self.node))
        return;
    self.id.store(self.node.id);
    self.ready.store(true);
    while (!go.load())
        thread_sleep(1, TIMEUNIT_MILLISECONDS);

    msgbuilder_t builder;
    msgbuilder_initialise(builder);
    for (int i = 0; i < MESSAGES; ++i)
    {
        msgbuilder_reset(builder);
        msgbuilder_begin(builder, MSGFIELD_TEST_MSG);
        msgbuilder_add(builder, MSGFIELD_TEST_STRING, string_make(PAYLOAD.c_str()));
        msg_t* msg = msgbuilder_end(builder);
        if (!msgnode_send_event(self.node, other.id.load(), msg))
            break;
    }
    msgbuilder_release(builder);
    self.sent.store(true);

    orvo::timer_t timer;
    timer_start(timer);
    while (self.count.load(std::memory_order_acquire) < MESSAGES &&
           timer_elapsed(timer) < time_compute_ticks(60, TIMEUNIT_SECONDS))
    {
        distributor_pump(hub);
        thread_sleep(1, TIMEUNIT_MILLISECONDS);
    }
    // Keep pumping until the other side has its messages too.
    while (other.count.load(std::memory_order_acquire) < MESSAGES &&
           timer_elapsed(timer) < time_compute_ticks(60, TIMEUNIT_SECONDS))
    {
        distributor_pump(hub);
        thread_sleep(1, TIMEUNIT_MILLISECONDS);
    }
    distributor_remove_node(&self.node);
    msgnode_release(self.node);
    distributor_detach_hub(hub);
}
} // namespace

TEST(MsgHubFlood, TwoHubThreadsSendingEachOtherMoreThanAChannelHoldsLoseNothing)
{
    lumivane_test::LogCapture capture;
    ASSERT_TRUE(distributor_initialise());
    Side a, b;
    std::atomic<bool> go{false};
    std::thread first(RunSide, std::ref(a), std::ref(b), "FLOODA", std::ref(go));
    std::thread second(RunSide, std::ref(b), std::ref(a), "FLOODB", std::ref(go));
    while (!a.ready.load() || !b.ready.load())
        thread_sleep(1, TIMEUNIT_MILLISECONDS);
    go.store(true);
    first.join();
    second.join();
    distributor_release();

    EXPECT_TRUE(a.sent.load());
    EXPECT_TRUE(b.sent.load());
    for (Side* side : {&a, &b})
    {
        SCOPED_TRACE(side == &a ? "first" : "second");
        ASSERT_EQ(side->received.size(), static_cast<size_t>(MESSAGES));
        for (int i = 0; i < MESSAGES; ++i)
            ASSERT_EQ(side->received[i], static_cast<u32>(i)) << "in order, each once";
        EXPECT_EQ(side->bad, 0);
    }
    EXPECT_FALSE(capture.Contains("Failed to send message"));
}
