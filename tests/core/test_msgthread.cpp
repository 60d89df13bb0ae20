// A message thread "LOAD" with an echo server next to MAIN: requests and
// replies across the two threads, the automatic error reply, a clean stop,
// and a thread that outlives its stop limit.
#include "orvo/core/core_msgthread.h"
#include "orvo/core/core_time.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

using namespace orvo;
using lumivane_test::LogCapture;

namespace
{
// Waits, pumping MAIN, until the condition holds. The limit only keeps a
// broken build from hanging; nothing here measures time.
template <typename F>
bool pump_until(F condition)
{
    orvo::timer_t waited;
    timer_start(waited);
    while (!condition())
    {
        if (timer_elapsed(waited) > 20000000)
            return false;
        distributor_pump(nullptr);
        thread_sleep(1, TIMEUNIT_MILLISECONDS);
    }
    return true;
}

// Answers a request with its own TestString, or lets the server answer with
// an error when the text is "fail".
struct Echo
{
    msgserver_t server;
    std::atomic<int> opened{0};
    std::atomic<int> closed{0};
    std::atomic<int> destroyed{0};
    std::atomic<int> updates{0};
    std::atomic<int> requests{0};
    std::atomic<bool> hold{false};      // the update waits while this is set
    std::atomic<bool> in_update{false};

    Echo()
    {
        msgserver_initialise(server, MSGNODE_TYPE_IMAGE_SERVER, this, &Echo::Open, &Echo::Close, &Echo::Destroy,
                             &Echo::Receive, &Echo::Update);
    }
    static bool Open(void* user)
    {
        static_cast<Echo*>(user)->opened++;
        return true;
    }
    static void Close(void* user) { static_cast<Echo*>(user)->closed++; }
    static void Destroy(void* user) { static_cast<Echo*>(user)->destroyed++; }
    static void Update(void* user)
    {
        Echo* self = static_cast<Echo*>(user);
        self->updates++;
        while (self->hold.load())
        {
            self->in_update.store(true);
            thread_yield();
        }
    }
    static void Receive(void* user, const msg_t* msg)
    {
        Echo* self = static_cast<Echo*>(user);
        const msgdata_t* data = msg_find(msg, MSGFIELD_TEST_STRING, nullptr);
        const std::string text = data ? reinterpret_cast<const char*>(msgdata_payload(data)) : "";
        if (text == "fail")
            msgserver_send_response(self->server, msg, nullptr);
        else
        {
            msgbuilder_t& b = self->server.builder;
            msgbuilder_reset(b);
            msgbuilder_begin(b, MSGFIELD_IMAGE_SERVER_MSG);
            msgbuilder_add(b, MSGFIELD_TEST_STRING, string_make(text.c_str()));
            msgserver_send_response(self->server, msg, msgbuilder_end(b));
        }
        self->requests++;
    }
};

struct Client
{
    msgclient_t client;
    std::vector<msg_t> headers;
    std::vector<std::string> texts;

    static void Receive(void* user, const msg_t* msg)
    {
        Client* self = static_cast<Client*>(user);
        self->headers.push_back(*msg);
        const msgdata_t* data = msg_find(msg, MSGFIELD_TEST_STRING, nullptr);
        self->texts.push_back(data ? reinterpret_cast<const char*>(msgdata_payload(data)) : "");
    }
    int Send(const char* text)
    {
        msgbuilder_t& b = client.builder;
        msgbuilder_reset(b);
        msgbuilder_begin(b, MSGFIELD_IMAGE_CLIENT_MSG);
        msgbuilder_add(b, MSGFIELD_REQUEST_TYPE, 3);
        msgbuilder_add(b, MSGFIELD_TEST_STRING, string_make(text));
        return msgclient_send(client, msgbuilder_end(b));
    }
};

struct MsgThread : ::testing::Test
{
    LogCapture capture;
    void SetUp() override { ASSERT_TRUE(distributor_initialise()); }
    void TearDown() override { distributor_release(); }
};

void pump_main(void*)
{
    distributor_pump(nullptr);
}
} // namespace

TEST_F(MsgThread, EchoServerOnLoadAnswersAClientOnMain)
{
    Echo echo;
    msgthread_t t;
    ASSERT_TRUE(msgthread_initialise(t, "LOAD"));
    ASSERT_TRUE(msgthread_add_server(t, &echo.server));
    ASSERT_TRUE(msgthread_add_server(t, nullptr));
    ASSERT_TRUE(msgthread_start(t));
    EXPECT_EQ(echo.opened.load(), 1);
    EXPECT_TRUE(capture.Contains("Started message thread: LOAD"));
    EXPECT_TRUE(capture.Contains("Attached message hub: LOAD"));
    EXPECT_TRUE(capture.Contains("Server opened: Image"));

    Client c;
    ASSERT_TRUE(msgclient_initialise(c.client, MSGNODE_TYPE_IMAGE_CLIENT, MSGNODE_TYPE_IMAGE_SERVER, &c, &Client::Receive));
    ASSERT_EQ(c.Send("ping"), 0);
    // The server answers on its own thread; the answer waits in MAIN's
    // channel until MAIN pumps.
    orvo::timer_t waited;
    timer_start(waited);
    while (echo.requests.load() < 1 && timer_elapsed(waited) < 20000000)
        thread_yield();
    ASSERT_EQ(echo.requests.load(), 1);
    EXPECT_TRUE(c.headers.empty());
    EXPECT_TRUE(msgclient_pending(c.client));
    distributor_pump(nullptr);
    ASSERT_EQ(c.texts, std::vector<std::string>{"ping"});
    EXPECT_EQ(c.headers[0].type, MSG_TYPE_RESPONSE);
    EXPECT_EQ(c.headers[0].ref_num, 0u);
    EXPECT_EQ(c.headers[0].src_id, MSGNODE_TYPE_IMAGE_SERVER);
    EXPECT_FALSE(msgclient_pending(c.client));

    // Many requests in a row come back in order.
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(c.Send(std::to_string(i).c_str()), i + 1);
    ASSERT_TRUE(pump_until([&] { return c.texts.size() == 51; }));
    for (int i = 0; i < 50; ++i)
    {
        EXPECT_EQ(c.texts[i + 1], std::to_string(i));
        EXPECT_EQ(c.headers[i + 1].ref_num, u32(i + 1));
    }

    // The handler builds nothing: the server answers with an ErrorMsg.
    ASSERT_EQ(c.Send("fail"), 51);
    ASSERT_TRUE(pump_until([&] { return c.headers.size() == 52; }));
    EXPECT_EQ(c.headers.back().field, MSGFIELD_ERROR_MSG);
    EXPECT_EQ(c.headers.back().ref_num, 51u);

    msgthread_stop(t, pump_main, nullptr);
    EXPECT_EQ(echo.closed.load(), 1);
    EXPECT_EQ(echo.destroyed.load(), 1);
    EXPECT_GT(echo.updates.load(), 0);
    EXPECT_TRUE(capture.Contains("Server closed: Image"));
    EXPECT_TRUE(capture.Contains("Stopped message thread: LOAD"));
    EXPECT_FALSE(capture.Contains("Forcing thread termination"));

    // The hub is gone with its thread: nobody serves id 4 any more.
    capture.Clear();
    EXPECT_EQ(c.Send("late"), -1);
    EXPECT_TRUE(capture.Contains("Message destination invalid: 4 - Unknown SERVER"));
    msgthread_release(t);
    msgthread_release(t);
    EXPECT_EQ(echo.destroyed.load(), 1); // not a second time
    msgclient_release(c.client);
}

TEST_F(MsgThread, AThreadThatOutlivesItsStopLimitIsAbandoned)
{
    Echo echo;
    echo.hold.store(true);
    msgthread_t t;
    ASSERT_TRUE(msgthread_initialise(t, "SLOW"));
    ASSERT_TRUE(msgthread_add_server(t, &echo.server));
    t.stop_limit = 20000; // 20 ms instead of 8 s
    ASSERT_TRUE(msgthread_start(t));
    orvo::timer_t waited;
    timer_start(waited);
    while (!echo.in_update.load() && timer_elapsed(waited) < 20000000)
        thread_yield();
    ASSERT_TRUE(echo.in_update.load());

    msgthread_stop(t, nullptr, nullptr);
    EXPECT_TRUE(t.abandoned.load());
    EXPECT_TRUE(capture.Contains("Forcing thread termination: SLOW"));
    msgthread_release(t); // leaves the servers to the thread
    EXPECT_TRUE(capture.Contains("Message thread SLOW did not stop: its servers are left to it"));
    EXPECT_EQ(echo.destroyed.load(), 0);

    // Let the abandoned thread end on its own; it still closes and destroys
    // its server and detaches its hub.
    echo.hold.store(false);
    timer_start(waited);
    while (!capture.Contains("Stopped message thread: SLOW") && timer_elapsed(waited) < 20000000)
        thread_sleep(1, TIMEUNIT_MILLISECONDS);
    EXPECT_EQ(echo.closed.load(), 1);
    EXPECT_EQ(echo.destroyed.load(), 1);
}
