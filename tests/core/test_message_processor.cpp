// Message processors on queues pumped by the test thread: reference numbers
// and pending counts per destination, headers of the three senders, dispatch
// by message type, the default handling of requests, and the refusals of a
// processor that is not on a queue.
#include "test_message_support.h"

#include <algorithm>
#include <string>
#include <vector>

using namespace message_test;

namespace
{
struct Processors : DistributorFixture
{
    MessageQueue client_queue;
    MessageQueue server_queue;
    RecordingProcessor* client = nullptr;
    RecordingProcessor* server = nullptr;

    void SetUp() override
    {
        DistributorFixture::SetUp();
        client_queue.SetName("client");
        server_queue.SetName("server");
        ASSERT_TRUE(client_queue.Initialise());
        ASSERT_TRUE(server_queue.Initialise());
        client = new RecordingProcessor("Test::Client");
        server = new RecordingProcessor("Test::Server");
        ASSERT_TRUE(client_queue.Register(client));
        ASSERT_TRUE(server_queue.Register(server));
    }
    void TearDown() override
    {
        delete client;
        delete server;
        client_queue.Release();
        server_queue.Release();
        DistributorFixture::TearDown();
    }
};

TEST_F(Processors, RequestsAreNumberedPerDestinationAndCountedUntilAnswered)
{
    const u16 other = Location::GetLocationId("Test::Other", false);
    RecordingProcessor second("Test::Other2");
    ASSERT_TRUE(server_queue.Register(&second));

    Message request = Build(client_queue, 0);
    ASSERT_TRUE(client->SendRequest(request, server->GetLocationId()));
    EXPECT_EQ(request.GetHeader()->refNum, 1u);
    request = Build(client_queue, 1);
    ASSERT_TRUE(client->SendRequest(request, server->GetLocationId()));
    EXPECT_EQ(request.GetHeader()->refNum, 2u);
    // Another destination counts from 1 again.
    request = Build(client_queue, 2);
    ASSERT_TRUE(client->SendRequest(request, second.GetLocationId()));
    EXPECT_EQ(request.GetHeader()->refNum, 1u);
    // An event to a destination shares its numbering but is not pending.
    Message event = Build(client_queue, 3);
    ASSERT_TRUE(client->SendEvent(event, server->GetLocationId()));
    EXPECT_EQ(event.GetHeader()->refNum, 3u);

    EXPECT_EQ(client->GetContext(server->GetLocationId()).lastRefNum, 3);
    EXPECT_EQ(client->GetContext(server->GetLocationId()).pending, 2);
    EXPECT_EQ(client->GetContext(second.GetLocationId()).pending, 1);
    EXPECT_EQ(client->GetContext(other).lastRefNum, 0); // nothing sent there

    server_queue.Pump();
    ASSERT_EQ(server->requests.size(), 2u);
    ASSERT_EQ(server->events.size(), 1u);
    ASSERT_EQ(second.requests.size(), 1u);
    const MessageHeader& first = server->requests[0].header;
    EXPECT_EQ(first.srcId, client->GetLocationId());
    EXPECT_EQ(first.dstId, server->GetLocationId());
    EXPECT_EQ(first.messageType, MESSAGETYPE_REQUEST);
    EXPECT_EQ(first.refNum, 1u);
    EXPECT_EQ(server->events[0].header.messageType, MESSAGETYPE_EVENT);

    // Answer the second request first: responses carry the request's number
    // back to its sender, and each lowers the pending count by one.
    for (int i : {1, 0})
    {
        Message response = Build(server_queue, 10 + i);
        ASSERT_TRUE(server->SendResponse(response, server->requests[i].header));
        EXPECT_EQ(response.GetHeader()->refNum, server->requests[i].header.refNum);
        EXPECT_EQ(response.GetHeader()->dstId, client->GetLocationId());
        EXPECT_EQ(response.GetHeader()->messageType, MESSAGETYPE_RESPONSE);
    }
    EXPECT_EQ(server->GetContext(client->GetLocationId()).lastRefNum, 0); // responses number nothing
    client_queue.Pump();
    ASSERT_EQ(client->responses.size(), 2u);
    EXPECT_EQ(client->responses[0].header.refNum, 2u);
    EXPECT_EQ(client->responses[1].header.refNum, 1u);
    EXPECT_EQ(client->responses[1].header.srcId, server->GetLocationId());
    EXPECT_EQ(client->GetContext(server->GetLocationId()).pending, 0);
    EXPECT_EQ(client->GetContext(second.GetLocationId()).pending, 1);
}

TEST_F(Processors, AResponseNobodyAskedForStillLowersThePendingCount)
{
    Message response = Build(server_queue, 0);
    MessageHeader request{};
    request.srcId = client->GetLocationId();
    request.refNum = 42;
    ASSERT_TRUE(server->SendResponse(response, request));
    client_queue.Pump();
    ASSERT_EQ(client->responses.size(), 1u);
    EXPECT_EQ(client->responses[0].header.refNum, 42u);
    EXPECT_EQ(client->GetContext(server->GetLocationId()).pending, -1);
    EXPECT_EQ(client->GetContext(server->GetLocationId()).lastRefNum, 0);
}

TEST_F(Processors, ReceiveDispatchesByTypeAndIgnoresOthers)
{
    struct Case
    {
        u16 type;
        size_t requests, responses, events;
    };
    const Case cases[] = {{MESSAGETYPE_REQUEST, 1, 0, 0},
                          {MESSAGETYPE_RESPONSE, 0, 1, 0},
                          {MESSAGETYPE_EVENT, 0, 0, 1},
                          {MESSAGETYPE_UNKNOWN, 0, 0, 0},
                          {4, 0, 0, 0},
                          {0xFFFF, 0, 0, 0}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.type);
        RecordingProcessor processor("Test::Dispatch");
        Message message = Build(client_queue, 1);
        message.GetHeader()->messageType = c.type;
        message.GetHeader()->srcId = 7;
        processor.Receive(message);
        EXPECT_EQ(processor.requests.size(), c.requests);
        EXPECT_EQ(processor.responses.size(), c.responses);
        EXPECT_EQ(processor.events.size(), c.events);
        EXPECT_EQ(processor.GetContext(7).pending, c.type == MESSAGETYPE_RESPONSE ? -1 : 0);
    }
}

TEST_F(Processors, AnUnhandledRequestIsLoggedAsAWarningWithTheMessage)
{
    MessageProcessor plain("Test::Plain", false);
    ASSERT_TRUE(server_queue.Register(&plain));
    MessageEncoder* encoder = client_queue.GetEncoder();
    encoder->Begin();
    encoder->AddField(0, 19);
    encoder->AddField(12, "f/8");
    Message request = encoder->End();
    ASSERT_TRUE(client->SendRequest(request, plain.GetLocationId()));
    server_queue.Pump();

    std::vector<std::string> lines = log.Lines();
    auto at =
        std::find_if(lines.begin(), lines.end(),
                     [](const std::string& line) { return line.find("Request not handled:") != std::string::npos; });
    ASSERT_NE(at, lines.end());
    EXPECT_NE(at->find("Warning]"), std::string::npos);
    std::vector<std::string> expected = {"  numBytes:    80",
                                         "  refNum:      1",
                                         "  srcId:       " + std::to_string(client->GetLocationId()) + " - Test::Client",
                                         "  dstId:       " + std::to_string(plain.GetLocationId()) + " - Test::Plain",
                                         "  messageType: Request",
                                         "  flags:       0x0",
                                         "  0: 19",
                                         "  12: f/8"};
    ASSERT_GE(lines.end() - at, static_cast<long>(expected.size() + 1));
    EXPECT_EQ(std::vector<std::string>(at + 1, at + 1 + expected.size()), expected);
    server_queue.Unregister(&plain);
}

TEST_F(Processors, WithoutAQueueNothingIsSentOrCounted)
{
    RecordingProcessor loose("Test::Loose");
    Message message = Build(client_queue, 1);
    EXPECT_FALSE(loose.SendRequest(message, server->GetLocationId()));
    EXPECT_TRUE(log.Contains("Failed to send request from Test::Loose: not on a message queue"));
    EXPECT_FALSE(loose.SendEvent(message, server->GetLocationId()));
    EXPECT_FALSE(loose.SendResponse(message, *message.GetHeader()));
    EXPECT_EQ(loose.GetContext(server->GetLocationId()).lastRefNum, 0);
    EXPECT_EQ(loose.GetContext(server->GetLocationId()).pending, 0);
    EXPECT_FALSE(loose.Subscribe("BROADCAST::Test"));
    EXPECT_TRUE(log.Contains("Failed to subscribe Test::Loose to BROADCAST::Test: not on a message queue"));

    Message null_message;
    EXPECT_FALSE(client->SendEvent(null_message, server->GetLocationId()));
    EXPECT_TRUE(log.Contains("Failed to send event from Test::Client: no message"));
    server_queue.Pump();
    EXPECT_TRUE(server->events.empty());
    EXPECT_TRUE(server->requests.empty());
}

TEST_F(Processors, ARequestThatNoQueueHoldsIsDroppedSilentlyAndNotPending)
{
    const u16 nowhere = Location::GetLocationId("Test::Nowhere", false);
    log.Clear();
    Message request = Build(client_queue, 1);
    EXPECT_FALSE(client->SendRequest(request, nowhere));
    // Numbered like any other, but never answerable, so not pending.
    EXPECT_EQ(request.GetHeader()->refNum, 1u);
    EXPECT_EQ(client->GetContext(nowhere).lastRefNum, 1);
    EXPECT_EQ(client->GetContext(nowhere).pending, 0);
    EXPECT_TRUE(log.Lines().empty());
    server_queue.Pump();
    client_queue.Pump();
    EXPECT_TRUE(server->requests.empty());
    EXPECT_TRUE(client->requests.empty());
}

TEST_F(Processors, ADeletedProcessorLeavesItsQueue)
{
    RecordingProcessor* doomed = new RecordingProcessor("Test::Doomed");
    const u16 id = doomed->GetLocationId();
    ASSERT_TRUE(server_queue.Register(doomed));
    ASSERT_TRUE(doomed->Subscribe("BROADCAST::Test"));
    EXPECT_TRUE(server_queue.IsDestinationValid(id));
    // Registered under a channel only: it still knows its queue and leaves it.
    RecordingProcessor* listener = new RecordingProcessor("Test::Listener");
    ASSERT_TRUE(server_queue.Register(listener, Location::GetSubscriptionId("BROADCAST::Test")));
    EXPECT_EQ(listener->GetQueue(), &server_queue);
    delete listener;
    delete doomed;
    EXPECT_FALSE(server_queue.IsDestinationValid(id));
    EXPECT_FALSE(server_queue.IsDestinationValid(Location::GetSubscriptionId("BROADCAST::Test")));
    // Messages to it, or to everyone, no longer reach the deleted object.
    Message request = Build(client_queue, 1);
    EXPECT_FALSE(client->SendRequest(request, id));
    Message broadcast = Build(client_queue, 2);
    EXPECT_TRUE(client->SendEvent(broadcast, 0));
    server_queue.Pump();
    ASSERT_EQ(server->events.size(), 1u);
    EXPECT_EQ(server->events[0].Int(FIELD_KEY), 2);
}

TEST_F(Processors, AQueueDestroyedFirstLetsGoOfItsProcessors)
{
    RecordingProcessor outliving("Test::Outliving");
    {
        MessageQueue short_lived;
        short_lived.SetName("short");
        ASSERT_TRUE(short_lived.Initialise());
        ASSERT_TRUE(short_lived.Register(&outliving));
        EXPECT_EQ(outliving.GetQueue(), &short_lived);
    }
    // Unlinked on the way out; the processor's own end must not touch it.
    EXPECT_TRUE(log.Contains("Unlinking message queue 2: short"));
    EXPECT_EQ(outliving.GetQueue(), nullptr);
    Message event = Build(client_queue, 1);
    EXPECT_FALSE(client->SendEvent(event, outliving.GetLocationId()));
}
} // namespace
