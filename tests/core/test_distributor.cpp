// The distributor with queues pumped by the test thread, so that every
// delivery can be watched step by step: routing by destination and to
// everyone, delivery to the sender's own queue during the send, order per
// pipe and between pipes, the 16-pipe limit, pumping rules, unlinked queues,
// callbacks that encode, send, pump or change registrations in the middle of
// a delivery, and misuse from other threads.
#include "test_message_support.h"

#include "orvo/core/core_log.h"

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace message_test;

namespace
{
// Three queues of the test thread, each with one processor subscribed to the
// channel "BROADCAST::Test".
struct Routing : DistributorFixture
{
    MessageQueue queues[3];
    std::unique_ptr<RecordingProcessor> processors[3];
    u16 channel = 0;

    void SetUp() override
    {
        DistributorFixture::SetUp();
        static const char* const names[3] = {"alpha", "beta", "gamma"};
        channel = Location::GetSubscriptionId("BROADCAST::Test");
        for (int i = 0; i < 3; ++i)
        {
            queues[i].SetName(names[i]);
            ASSERT_TRUE(queues[i].Initialise());
            ASSERT_EQ(queues[i].GetId(), i);
            processors[i].reset(new RecordingProcessor("Test::Processor"));
            ASSERT_TRUE(queues[i].Register(processors[i].get()));
            ASSERT_TRUE(processors[i]->Subscribe("BROADCAST::Test"));
        }
    }
    void TearDown() override
    {
        for (auto& processor : processors)
            processor.reset();
        for (MessageQueue& queue : queues)
            queue.Release();
        DistributorFixture::TearDown();
    }
    void PumpAll()
    {
        for (MessageQueue& queue : queues)
            queue.Pump();
    }
};

TEST_F(Routing, ADestinationReachesOnlyTheQueuesThatHoldIt)
{
    // Each processor has its own id (no reuse): a request reaches exactly one.
    Message request = Build(queues[0], 1);
    ASSERT_TRUE(processors[0]->SendRequest(request, processors[2]->GetLocationId()));
    PumpAll();
    EXPECT_TRUE(processors[0]->requests.empty());
    EXPECT_TRUE(processors[1]->requests.empty());
    ASSERT_EQ(processors[2]->requests.size(), 1u);

    // The channel reaches every subscriber, the sender's own queue included.
    Message event = Build(queues[1], 2);
    ASSERT_TRUE(processors[1]->SendEvent(event, channel));
    EXPECT_EQ(processors[1]->events.size(), 1u) << "own queue: delivered during the send";
    EXPECT_TRUE(processors[0]->events.empty()) << "other queues: only when they pump";
    PumpAll();
    for (auto& processor : processors)
        EXPECT_EQ(Keys(processor->events), std::vector<i32>{2});
}

TEST_F(Routing, BroadcastToIdZeroReachesEveryEntryOfEveryQueueOnce)
{
    // A processor on its own id and subscribed: once per matching entry, so
    // twice for a message to everyone.
    RecordingProcessor extra("Test::Extra");
    ASSERT_TRUE(queues[2].Register(&extra));
    Message event = Build(queues[0], 7);
    ASSERT_TRUE(processors[0]->SendEvent(event, 0));
    EXPECT_EQ(processors[0]->events.size(), 2u);
    PumpAll();
    EXPECT_EQ(processors[1]->events.size(), 2u);
    EXPECT_EQ(processors[2]->events.size(), 2u);
    EXPECT_EQ(Keys(extra.events), std::vector<i32>{7});
    for (auto& processor : processors)
        EXPECT_EQ(processor->events[0].header.dstId, 0);
    queues[2].Unregister(&extra);
}

TEST_F(Routing, AMessageNoQueueHoldsGoesNowhereSilently)
{
    const u16 nobody = Location::GetLocationId("Test::Nobody", false);
    log.Clear();
    Message event = Build(queues[0], 1);
    EXPECT_FALSE(processors[0]->SendEvent(event, nobody));
    PumpAll();
    for (auto& processor : processors)
        EXPECT_TRUE(processor->events.empty());
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(Routing, EachPipeDeliversInOrderAndPipesInIndexOrder)
{
    const int count = 3000; // 80 bytes of channel each: about a quarter of each 1 MiB channel
    for (int k = 0; k < count; ++k)
    {
        // Interleave the two senders; the receiver still sees each in order.
        Message from_gamma = Build(queues[2], 20000 + k);
        ASSERT_TRUE(processors[2]->SendRequest(from_gamma, processors[1]->GetLocationId()));
        Message from_alpha = Build(queues[0], 10000 + k);
        ASSERT_TRUE(processors[0]->SendRequest(from_alpha, processors[1]->GetLocationId()));
    }
    queues[1].Pump();
    std::vector<i32> expected;
    for (int k = 0; k < count; ++k)
        expected.push_back(10000 + k); // pipe 0 first
    for (int k = 0; k < count; ++k)
        expected.push_back(20000 + k);
    EXPECT_EQ(Keys(processors[1]->requests), expected);
    // Every request numbered from 1 per sender, in order.
    for (int k = 0; k < count; ++k)
    {
        EXPECT_EQ(processors[1]->requests[k].header.refNum, static_cast<u32>(k + 1));
        EXPECT_EQ(processors[1]->requests[count + k].header.refNum, static_cast<u32>(k + 1));
    }
    EXPECT_EQ(processors[0]->GetContext(processors[1]->GetLocationId()).pending, count);
    // Pumped once more: nothing is delivered twice.
    queues[1].Pump();
    EXPECT_EQ(processors[1]->requests.size(), static_cast<size_t>(2 * count));
}

TEST_F(Routing, DistributorPumpWaitsForStartButAQueuePumpDoesNot)
{
    Distributor::Stop();
    Message event = Build(queues[0], 1);
    // Stopped: writes still succeed while the channel has room.
    ASSERT_TRUE(processors[0]->SendEvent(event, processors[1]->GetLocationId()));
    Distributor::Pump();
    EXPECT_TRUE(processors[1]->events.empty());
    ASSERT_TRUE(Distributor::Initialise() == false); // pipes are in use
    EXPECT_TRUE(log.Contains("Failed to initialise the distributor: 3 message pipes are in use"));
    queues[1].Pump();
    EXPECT_EQ(processors[1]->events.size(), 1u);

    ASSERT_TRUE(Distributor::Start());
    event = Build(queues[0], 2);
    ASSERT_TRUE(processors[0]->SendEvent(event, channel));
    Distributor::Pump(); // every pipe of this thread
    EXPECT_EQ(Keys(processors[1]->events), (std::vector<i32>{1, 2}));
    EXPECT_EQ(Keys(processors[2]->events), std::vector<i32>{2});
    EXPECT_TRUE(Distributor::IsActive());
}

TEST_F(Routing, TheCallingThreadsQueueIsTheFirstItLinked)
{
    EXPECT_EQ(Distributor::GetMessageQueue(), &queues[0]);
    Message event = Build(queues[2], 5);
    event.GetHeader()->dstId = channel;
    event.GetHeader()->messageType = MESSAGETYPE_EVENT;
    ASSERT_TRUE(Distributor::Send(event)); // from pipe 0
    EXPECT_EQ(processors[0]->events.size(), 1u);
    ASSERT_TRUE(Distributor::SendFromQueueId(1, event));
    EXPECT_EQ(processors[1]->events.size(), 1u);
    Distributor::PumpQueueId(2);
    EXPECT_EQ(processors[2]->events.size(), 2u);

    MessageQueue* other_thread_queue = &queues[0];
    bool sent = true;
    std::thread(
        [&]
        {
            other_thread_queue = Distributor::GetMessageQueue();
            sent = Distributor::Send(event);
        })
        .join();
    EXPECT_EQ(other_thread_queue, nullptr);
    EXPECT_FALSE(sent);
    EXPECT_TRUE(log.Contains("Failed to send message: this thread has no message queue"));
}

TEST_F(Routing, OnlyTheOwnerThreadMaySendFromOrPumpAQueue)
{
    // Each channel has one writer and one reader; a second thread on either
    // end would corrupt it, so both are refused.
    Message event = Build(queues[0], 1);
    event.GetHeader()->dstId = channel;
    event.GetHeader()->messageType = MESSAGETYPE_EVENT;
    bool sent = true;
    std::thread(
        [&]
        {
            sent = queues[0].Send(event);
            queues[1].Pump();
        })
        .join();
    EXPECT_FALSE(sent);
    EXPECT_TRUE(log.Contains("Failed to send message from queue 0 (alpha): called from another thread"));
    EXPECT_TRUE(log.Contains("Failed to pump message queue 1 (beta): called from another thread"));
    PumpAll();
    for (auto& processor : processors)
        EXPECT_TRUE(processor->events.empty());
}

TEST_F(Routing, AReleasedQueueIsNoLongerRoutedToAndKeepsItsId)
{
    // Sent before the release: never delivered afterwards.
    Message early = Build(queues[0], 1);
    ASSERT_TRUE(processors[0]->SendEvent(early, channel));
    queues[1].Release();
    EXPECT_TRUE(log.Contains("Unlinking message queue 1: beta"));
    EXPECT_EQ(queues[1].GetId(), 1);
    EXPECT_EQ(internal::Distributor_pipes[1].queue.load(), nullptr);
    queues[1].Pump();
    EXPECT_TRUE(processors[1]->events.empty());

    // Far more than a channel holds: before the slot was emptied the sender
    // would wait for ever on the full channel of a queue nobody pumps.
    std::vector<u8> blob(64 * 1024, 0x11);
    for (int k = 0; k < 40; ++k)
    {
        MessageEncoder* encoder = queues[0].GetEncoder();
        encoder->Begin();
        encoder->AddField(FIELD_KEY, 100 + k);
        encoder->AddField(FIELD_BLOB, blob.data(), static_cast<u32>(blob.size()));
        Message big = encoder->End();
        ASSERT_TRUE(processors[0]->SendEvent(big, channel)); // gamma and alpha still get it
        queues[2].Pump();
    }
    Message request = Build(queues[0], 2);
    EXPECT_FALSE(processors[0]->SendRequest(request, processors[1]->GetLocationId()));
    EXPECT_EQ(processors[2]->events.size(), 41u);

    // The released queue can neither send nor be linked twice by accident.
    Message late = Build(queues[2], 3);
    EXPECT_FALSE(queues[1].Send(late));
    EXPECT_TRUE(log.Contains("Failed to send message from queue 1: not linked"));
    queues[1].Release(); // safe twice
}

TEST_F(Routing, TheSeventeenthQueueIsRefused)
{
    std::vector<std::unique_ptr<MessageQueue>> more;
    for (int i = 3; i < DISTRIBUTOR_MAX_PIPES; ++i)
    {
        more.emplace_back(new MessageQueue);
        ASSERT_TRUE(more.back()->Initialise());
        EXPECT_EQ(more.back()->GetId(), i);
    }
    EXPECT_TRUE(log.Contains("Linking message queue 15: unknown"));
    MessageQueue seventeenth;
    seventeenth.SetName("seventeenth");
    EXPECT_FALSE(seventeenth.Initialise());
    EXPECT_EQ(seventeenth.GetId(), -1);
    EXPECT_TRUE(log.Contains("Failed to link message queue (limit exceeded): seventeenth"));
    // Releasing one does not free its slot for another.
    more.back()->Release();
    EXPECT_FALSE(seventeenth.Initialise());
    EXPECT_EQ(Distributor::LinkQueue(&queues[0]), -1);
    // A broadcast still reaches every linked queue.
    Message event = Build(queues[0], 9);
    ASSERT_TRUE(processors[0]->SendEvent(event, channel));
    PumpAll();
    for (auto& processor : processors)
        EXPECT_EQ(processor->events.size(), 1u);
    for (auto& queue : more)
        queue->Release();
}

TEST_F(Routing, ALinkedQueueCannotBeLinkedAgain)
{
    EXPECT_TRUE(queues[0].Initialise()); // already linked: nothing happens
    EXPECT_EQ(Distributor::LinkQueue(&queues[0]), -1);
    EXPECT_TRUE(log.Contains("Failed to link message queue (already linked as 0): alpha"));
    EXPECT_EQ(internal::Distributor_numPipes.load(), 3);
}

// Own-queue delivery runs callbacks in the middle of the send. A callback
// that encodes a large message moves the encoder's buffer away from under the
// message being routed: every receiver must still get the original.
TEST_F(Routing, ACallbackThatEncodesAgainCannotSpoilTheMessageBeingRouted)
{
    RecordingProcessor second("Test::Second");
    ASSERT_TRUE(queues[0].Register(&second, channel));
    std::vector<u8> blob(2 * MESSAGEENCODER_INITIAL_CAPACITY, 0x5A);
    int reencoded = 0;
    processors[0]->onEvent = [&](const Message& message)
    {
        if (message.GetHeader()->dstId != channel)
            return;
        MessageEncoder* encoder = queues[0].GetEncoder();
        encoder->Begin();
        encoder->AddField(FIELD_KEY, -1);
        encoder->AddField(FIELD_BLOB, blob.data(), static_cast<u32>(blob.size())); // frees the old buffer
        Message reply = encoder->End();
        ++reencoded;
        processors[0]->SendEvent(reply, Location::GetLocationId("Test::Nowhere", true));
    };
    MessageEncoder* encoder = queues[0].GetEncoder();
    encoder->Begin();
    encoder->AddField(FIELD_KEY, 77);
    encoder->AddField(FIELD_SENDER, 0);
    Message event = encoder->End();
    ASSERT_TRUE(processors[0]->SendEvent(event, channel));
    EXPECT_EQ(reencoded, 1);
    PumpAll();
    for (const std::vector<Received>* events :
         {&processors[0]->events, &second.events, &processors[1]->events, &processors[2]->events})
    {
        ASSERT_EQ(events->size(), 1u);
        EXPECT_EQ(events->at(0).Int(FIELD_KEY), 77);
        EXPECT_EQ(events->at(0).Int(FIELD_SENDER), 0);
        EXPECT_EQ(events->at(0).bytes.size(), 16u + 32u + 32u);
    }
    queues[0].Unregister(&second);
}

// What a callback sends while handling an own-queue delivery must reach the
// other queues after the message that caused it, as it would from any thread.
TEST_F(Routing, MessagesSentFromAnOwnDeliveryFollowTheirCauseOnOtherPipes)
{
    const u16 follow_up = Location::GetSubscriptionId("BROADCAST::FollowUp");
    ASSERT_TRUE(queues[1].Register(processors[1].get(), follow_up));
    processors[0]->onEvent = [&](const Message& message)
    {
        if (message.GetHeader()->dstId != channel)
            return;
        Message next = Build(queues[0], 2);
        processors[0]->SendEvent(next, follow_up);
    };
    Message cause = Build(queues[0], 1);
    ASSERT_TRUE(processors[0]->SendEvent(cause, channel));
    queues[1].Pump();
    EXPECT_EQ(Keys(processors[1]->events), (std::vector<i32>{1, 2}));
}

TEST_F(Routing, RegistrationsChangedDuringADeliveryAreCalledAtMostOnce)
{
    // beta has three more subscribers; the first of them, when called,
    // unregisters the second and itself and registers a fourth.
    RecordingProcessor first("Test::First"), second("Test::Second"), third("Test::Third"), fourth("Test::Fourth");
    for (RecordingProcessor* p : {&first, &second, &third})
        ASSERT_TRUE(queues[1].Register(p, channel));
    first.onEvent = [&](const Message&)
    {
        queues[1].Unregister(&second);
        queues[1].Unregister(&first);
        queues[1].Register(&fourth, channel);
    };
    Message event = Build(queues[0], 1);
    ASSERT_TRUE(processors[0]->SendEvent(event, channel));
    queues[1].Pump();
    EXPECT_EQ(first.events.size(), 1u);
    EXPECT_EQ(second.events.size(), 0u);
    EXPECT_EQ(third.events.size(), 1u);
    EXPECT_EQ(fourth.events.size(), 1u); // registered behind the others: reached in the same delivery
    EXPECT_EQ(processors[1]->events.size(), 1u);

    // Next time the cleared entries are gone and the rest is called once each.
    first.onEvent = nullptr;
    event = Build(queues[0], 2);
    ASSERT_TRUE(processors[0]->SendEvent(event, 0));
    queues[1].Pump();
    EXPECT_EQ(first.events.size(), 1u);
    EXPECT_EQ(second.events.size(), 0u);
    EXPECT_EQ(third.events.size(), 2u);
    EXPECT_EQ(fourth.events.size(), 2u);
    queues[1].Unregister(&third);
    queues[1].Unregister(&fourth);
}

TEST_F(Routing, AProcessorMayUnregisterItselfDuringAnOwnQueueDeliveryThatRecurses)
{
    // alpha's processor sends to its own queue from inside its own delivery;
    // the inner delivery unregisters a neighbour that the outer one has not
    // reached yet, and the outer one must skip it.
    RecordingProcessor neighbour("Test::Neighbour");
    ASSERT_TRUE(queues[0].Register(&neighbour, channel));
    const u16 inner = Location::GetSubscriptionId("BROADCAST::Inner");
    ASSERT_TRUE(queues[0].Register(processors[0].get(), inner));
    processors[0]->onEvent = [&](const Message& message)
    {
        if (message.GetHeader()->dstId == channel)
        {
            Message nested = Build(queues[0], 2);
            processors[0]->SendEvent(nested, inner);
        }
        else
        {
            queues[0].Unregister(&neighbour);
        }
    };
    Message event = Build(queues[0], 1);
    ASSERT_TRUE(processors[0]->SendEvent(event, channel));
    EXPECT_EQ(Keys(processors[0]->events), (std::vector<i32>{1, 2}));
    EXPECT_TRUE(neighbour.events.empty());
    // The cleared entry is gone for good.
    processors[0]->onEvent = nullptr;
    Message again = Build(queues[0], 3);
    ASSERT_TRUE(processors[0]->SendEvent(again, channel));
    EXPECT_TRUE(neighbour.events.empty());
    EXPECT_EQ(Keys(processors[0]->events), (std::vector<i32>{1, 2, 3}));
}

TEST_F(Routing, APumpStartedFromADeliveryDoesNotDeliverAgain)
{
    // A wait inside a handler that keeps pumping its own queue.
    processors[1]->onEvent = [&](const Message&) { queues[1].Pump(); };
    for (int k = 0; k < 5; ++k)
    {
        Message event = Build(queues[0], k);
        ASSERT_TRUE(processors[0]->SendEvent(event, processors[1]->GetLocationId()));
    }
    queues[1].Pump();
    EXPECT_EQ(Keys(processors[1]->events), (std::vector<i32>{0, 1, 2, 3, 4}));
}

TEST_F(Routing, AQueueReleasedDuringItsPumpStopsDelivering)
{
    processors[1]->onEvent = [&](const Message&) { queues[1].Release(); };
    for (int k = 0; k < 3; ++k)
    {
        Message event = Build(queues[0], k);
        ASSERT_TRUE(processors[0]->SendEvent(event, processors[1]->GetLocationId()));
    }
    queues[1].Pump();
    EXPECT_EQ(Keys(processors[1]->events), std::vector<i32>{0});
}

TEST_F(Routing, AMalformedChannelRecordIsDroppedAndTheRestDelivered)
{
    // Only the router writes channels; a record that is not a whole message
    // (a bug elsewhere) must not be read as one.
    u8 junk[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    Message good = Build(queues[0], 4);
    good.GetHeader()->dstId = channel;
    ASSERT_TRUE(channel_write(internal::Distributor_pipes[1].channels[0], junk, sizeof(junk)));
    u8 lying[32] = {};
    lying[0] = 200; // numBytes claims more than the record holds
    ASSERT_TRUE(channel_write(internal::Distributor_pipes[1].channels[0], lying, sizeof(lying)));
    ASSERT_TRUE(processors[0]->SendEvent(good, channel));
    queues[1].Pump();
    EXPECT_TRUE(log.Contains("Dropping a malformed message of 8 bytes from queue 0 to queue 1"));
    EXPECT_TRUE(log.Contains("Dropping a malformed message of 32 bytes from queue 0 to queue 1"));
    EXPECT_EQ(Keys(processors[1]->events), std::vector<i32>{4});
}

TEST_F(Routing, TraceAndVerboseLogEveryMessageSent)
{
    log_enable(LOGLEVEL_TRACE | LOGLEVEL_VERBOSE, LOGMODULE_MESSAGE, true);
    Message event = Build(queues[0], 3);
    ASSERT_TRUE(processors[0]->SendEvent(event, channel));
    std::vector<std::string> lines = log.Lines();
    auto at = std::find_if(lines.begin(), lines.end(),
                           [](const std::string& line) { return line.find("Sending message:") != std::string::npos; });
    ASSERT_NE(at, lines.end());
    EXPECT_NE(at->find(" Verbose]"), std::string::npos);
    ASSERT_GE(lines.end() - at, 8);
    EXPECT_EQ(*(at + 1), "  numBytes:    48");
    EXPECT_EQ(*(at + 5), "  messageType: Event");
    EXPECT_EQ(*(at + 7), "  100: 3");

    log.Clear();
    log_enable(LOGLEVEL_VERBOSE, LOGMODULE_MESSAGE, false);
    ASSERT_TRUE(processors[0]->SendEvent(event, channel));
    EXPECT_FALSE(log.Contains("Sending message:"));
}

TEST_F(Routing, AfterStopAFullChannelFailsTheSendInsteadOfWaiting)
{
    // beta never pumps. Before the stop its channel would grow; after it the
    // writes give up once the channel is full.
    Distributor::Stop();
    std::vector<u8> blob(100 * 1024, 0x22);
    int failures = 0;
    for (int k = 0; k < 30; ++k)
    {
        MessageEncoder* encoder = queues[0].GetEncoder();
        encoder->Begin();
        encoder->AddField(FIELD_BLOB, blob.data(), static_cast<u32>(blob.size()));
        Message big = encoder->End();
        if (!processors[0]->SendEvent(big, processors[1]->GetLocationId()))
            ++failures;
    }
    EXPECT_GT(failures, 0);
    // Counted, not logged one by one: the release reports them in one line.
    EXPECT_FALSE(log.Contains("Failed to send message from queue 0 to queue 1"));
    for (MessageQueue& queue : queues)
        queue.Release();
    Distributor::Release();
    EXPECT_EQ(log.Count("Dropped " + std::to_string(failures) + " messages sent to stopped message queues"), 1u);
}
} // namespace
