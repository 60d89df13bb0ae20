// The distributor on one thread that owns several hubs: node ids and names,
// delivery across hubs only on pump, same-hub delivery at once, broadcast,
// invalid destinations, the automatic error reply, client release, the
// 16-hub limit and records in a channel that are not messages.
#include "orvo/core/core_msghub.h"
#include "orvo/core/core_msgthread.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace orvo;
using lumivane_test::LogCapture;

namespace
{
// A node that keeps the header and first TestString of everything it gets.
struct Node
{
    msgnode_t node;
    std::vector<msg_t> headers;
    std::vector<std::string> texts;
    std::function<void(const msg_t*)> then; // runs inside the callback

    explicit Node(i32 type) { msgnode_initialise(node, type, this, &Node::Receive); }
    ~Node() { msgnode_release(node); }

    static void Receive(void* user, const msg_t* msg)
    {
        Node* self = static_cast<Node*>(user);
        self->headers.push_back(*msg);
        const msgdata_t* data = msg_find(msg, MSGFIELD_TEST_STRING, nullptr);
        self->texts.push_back(data ? reinterpret_cast<const char*>(msgdata_payload(data)) : "");
        if (self->then)
            self->then(msg);
    }
};

struct MsgHub : ::testing::Test
{
    LogCapture capture;
    msgbuilder_t b;
    msghub_t* main_hub = nullptr;

    void SetUp() override
    {
        msgbuilder_initialise(b);
        ASSERT_TRUE(distributor_initialise());
        main_hub = distributor_get_hub();
        ASSERT_NE(main_hub, nullptr);
    }
    void TearDown() override
    {
        msgbuilder_release(b);
        distributor_release();
        EXPECT_EQ(distributor_get_hub(), nullptr);
    }

    msg_t* build(const char* text, msgfield_t id = MSGFIELD_TEST_MSG)
    {
        msgbuilder_reset(b);
        msgbuilder_begin(b, id);
        msgbuilder_add(b, MSGFIELD_TEST_STRING, string_make(text));
        return msgbuilder_end(b);
    }
};
} // namespace

TEST_F(MsgHub, NodeIdsAndTheirNames)
{
    EXPECT_TRUE(capture.Contains("Initialised message distributor"));
    EXPECT_TRUE(capture.Contains("Attached message hub: MAIN"));
    EXPECT_STREQ(msghub_get_name(main_hub).str, "MAIN");
    EXPECT_EQ(msghub_get_index(main_hub), 0);

    msgclient_t client;
    ASSERT_TRUE(msgclient_initialise(client, MSGNODE_TYPE_IMAGE_CLIENT, MSGNODE_TYPE_IMAGE_SERVER, nullptr, nullptr));
    EXPECT_EQ(client.node.id, 9); // ids 0 to 8 belong to the types
    EXPECT_TRUE(capture.Contains("Registered new msg client: 9 - Image"));
    Node plain(MSGNODE_TYPE_UNKNOWN);
    Node server(MSGNODE_TYPE_IMAGE_SERVER);
    Node second_server(MSGNODE_TYPE_IMAGE_SERVER);
    Node events(MSGNODE_TYPE_TCL_EVENT);
    ASSERT_TRUE(distributor_add_node(nullptr, &plain.node));
    ASSERT_TRUE(distributor_add_node(main_hub, &server.node));
    ASSERT_TRUE(distributor_add_node(nullptr, &second_server.node));
    ASSERT_TRUE(distributor_add_node(nullptr, &events.node));
    EXPECT_EQ(plain.node.id, 10);
    EXPECT_EQ(server.node.id, 4);
    EXPECT_EQ(second_server.node.id, 4);
    EXPECT_EQ(events.node.id, 2);
    EXPECT_FALSE(distributor_add_node(nullptr, &events.node)); // already on a hub
    EXPECT_TRUE(capture.Contains("Failed to add msg node: already on a hub"));

    struct Name
    {
        i32 id;
        const char* type;
        const char* klass;
    };
    const Name names[] = {
        {-3, "Unknown", "Unknown"}, {0, "Unknown", "CLIENT"}, {1, "Unknown", "EVENT"}, {2, "TCL", "EVENT"},
        {3, "Unknown", "SERVER"},   {4, "Image", "SERVER"},   {9, "Image", "CLIENT"},  {10, "Unknown", "CLIENT"},
        {11, "Unknown", "CLIENT"},  {5000, "Unknown", "CLIENT"},
    };
    for (const Name& n : names)
    {
        SCOPED_TRACE(n.id);
        EXPECT_STREQ(distributor_id_to_str(n.id).str, n.type);
        EXPECT_STREQ(distributor_id_type_to_str(n.id).str, n.klass);
    }
    EXPECT_TRUE(distributor_id_is_client(0));
    EXPECT_TRUE(distributor_id_is_client(6));
    EXPECT_FALSE(distributor_id_is_client(5));
    EXPECT_TRUE(distributor_id_is_server(3));
    EXPECT_TRUE(distributor_id_is_event(1));

    // Ids are never reused, and the table outgrows its first 1033 entries.
    msgclient_release(client);
    EXPECT_STREQ(distributor_id_to_str(9).str, "Unknown");
    std::vector<Node*> many;
    for (int i = 0; i < 1100; ++i)
    {
        many.push_back(new Node(MSGNODE_TYPE_FONT_CLIENT));
        ASSERT_TRUE(distributor_add_node(nullptr, &many.back()->node));
    }
    EXPECT_EQ(many.front()->node.id, 11);
    EXPECT_EQ(many.back()->node.id, 1110);
    EXPECT_STREQ(distributor_id_to_str(1110).str, "Font");
    EXPECT_STREQ(distributor_id_to_str(10).str, "Unknown");
    for (Node* node : many)
        delete node;
    EXPECT_STREQ(distributor_id_to_str(1110).str, "Unknown");
}

TEST_F(MsgHub, AnotherHubGetsMessagesOnlyWhenPumped)
{
    msghub_t* load = distributor_attach_hub(string_make("LOAD"));
    ASSERT_NE(load, nullptr);
    Node client(MSGNODE_TYPE_IMAGE_CLIENT);
    Node server(MSGNODE_TYPE_IMAGE_SERVER);
    ASSERT_TRUE(distributor_add_node(main_hub, &client.node));
    ASSERT_TRUE(distributor_add_node(load, &server.node));

    ASSERT_TRUE(msgnode_send_request(client.node, MSGNODE_TYPE_IMAGE_SERVER, build("first")));
    ASSERT_TRUE(msgnode_send_request(client.node, MSGNODE_TYPE_IMAGE_SERVER, build("second")));
    EXPECT_EQ(client.node.pending, 2);
    EXPECT_TRUE(server.headers.empty());
    distributor_pump(main_hub);
    EXPECT_TRUE(server.headers.empty());
    distributor_pump(load);
    ASSERT_EQ(server.texts, (std::vector<std::string>{"first", "second"})); // in the order sent
    const msg_t request = server.headers[1];
    EXPECT_EQ(request.ref_num, 1u);
    EXPECT_EQ(request.src_id, client.node.id);
    EXPECT_EQ(request.dst_id, MSGNODE_TYPE_IMAGE_SERVER);
    EXPECT_EQ(request.type, MSG_TYPE_REQUEST);

    ASSERT_TRUE(msgnode_send_response(server.node, &request, build("answer")));
    distributor_pump(load);
    EXPECT_TRUE(client.headers.empty());
    distributor_pump(main_hub);
    ASSERT_EQ(client.texts, std::vector<std::string>{"answer"});
    EXPECT_EQ(client.headers[0].ref_num, 1u);
    EXPECT_EQ(client.headers[0].src_id, MSGNODE_TYPE_IMAGE_SERVER);
    EXPECT_EQ(client.headers[0].dst_id, client.node.id);
    EXPECT_EQ(client.headers[0].type, MSG_TYPE_RESPONSE);
    EXPECT_EQ(client.node.pending, 1);
    distributor_pump(main_hub);
    EXPECT_EQ(client.headers.size(), 1u); // each message once
    distributor_detach_hub(load);
}

TEST_F(MsgHub, SameHubDeliversInsideTheSend)
{
    Node client(MSGNODE_TYPE_TCL_CLIENT);
    Node server(MSGNODE_TYPE_TCL_SERVER);
    ASSERT_TRUE(distributor_add_node(nullptr, &client.node));
    ASSERT_TRUE(distributor_add_node(nullptr, &server.node));
    msgbuilder_t reply;
    msgbuilder_initialise(reply);
    // The server answers inside the request's own send: the client must not
    // count the request as pending after its answer has already arrived.
    server.then = [&](const msg_t* msg) {
        msgbuilder_reset(reply);
        msgbuilder_begin(reply, MSGFIELD_TCL_SERVER_MSG);
        msgbuilder_add(reply, MSGFIELD_TEST_STRING, string_make("done"));
        EXPECT_TRUE(msgnode_send_response(server.node, msg, msgbuilder_end(reply)));
    };
    ASSERT_TRUE(msgnode_send_request(client.node, MSGNODE_TYPE_TCL_SERVER, build("run")));
    EXPECT_EQ(server.texts, std::vector<std::string>{"run"});
    EXPECT_EQ(client.texts, std::vector<std::string>{"done"});
    EXPECT_EQ(client.node.pending, 0);

    ASSERT_TRUE(msgnode_send_event(server.node, client.node.id, build("event")));
    ASSERT_EQ(client.headers.size(), 2u);
    EXPECT_EQ(client.headers[1].type, MSG_TYPE_EVENT);
    EXPECT_EQ(client.headers[1].ref_num, 0u); // the server's own counter
    EXPECT_EQ(server.node.next_ref_num, 1u);
    msgbuilder_release(reply);
}

TEST_F(MsgHub, BroadcastReachesEveryNodeOnceAndSurvivesRemovalInACallback)
{
    msghub_t* load = distributor_attach_hub(string_make("LOAD"));
    ASSERT_NE(load, nullptr);
    Node sender(MSGNODE_TYPE_UNKNOWN);
    Node neighbour(MSGNODE_TYPE_UNKNOWN);
    Node removed(MSGNODE_TYPE_UNKNOWN);
    Node far(MSGNODE_TYPE_UNKNOWN);
    ASSERT_TRUE(distributor_add_node(load, &sender.node));
    ASSERT_TRUE(distributor_add_node(load, &neighbour.node));
    ASSERT_TRUE(distributor_add_node(load, &removed.node));
    ASSERT_TRUE(distributor_add_node(main_hub, &far.node));
    // A callback takes a later node off the hub while the hub delivers.
    neighbour.then = [&](const msg_t*) { distributor_remove_node(&removed.node); };

    ASSERT_TRUE(msgnode_send_event(sender.node, 0, build("all")));
    EXPECT_EQ(sender.texts.size(), 1u); // the sender's own node too
    EXPECT_EQ(neighbour.texts.size(), 1u);
    EXPECT_TRUE(removed.texts.empty());
    EXPECT_TRUE(far.texts.empty());
    distributor_pump(main_hub);
    distributor_pump(main_hub);
    EXPECT_EQ(far.texts, std::vector<std::string>{"all"});
    EXPECT_EQ(far.headers[0].dst_id, 0);

    // A callback that pumps its own hub again does not get the record twice.
    far.then = [&](const msg_t*) { distributor_pump(main_hub); };
    ASSERT_TRUE(msgnode_send_event(sender.node, 0, build("again")));
    distributor_pump(main_hub);
    EXPECT_EQ(far.texts, (std::vector<std::string>{"all", "again"}));
    distributor_detach_hub(load);
}

TEST_F(MsgHub, InvalidDestinationsAreRefusedAndLogged)
{
    Node node(MSGNODE_TYPE_UNKNOWN);
    ASSERT_TRUE(distributor_add_node(nullptr, &node.node));
    capture.Clear();
    EXPECT_FALSE(msgnode_send_event(node.node, 77, build("lost")));
    EXPECT_TRUE(capture.Contains("Message destination invalid: 77 - Unknown CLIENT"));
    EXPECT_TRUE(capture.Contains("Failed to send message:"));
    EXPECT_TRUE(capture.Contains("dst_id:    77 - Unknown CLIENT"));

    // A request that could not be sent is not left pending.
    EXPECT_FALSE(msgnode_send_request(node.node, MSGNODE_TYPE_FONT_SERVER, build("lost")));
    EXPECT_EQ(node.node.pending, 0);
    EXPECT_EQ(node.node.next_ref_num, 2u);

    Node loose(MSGNODE_TYPE_UNKNOWN); // never added
    EXPECT_FALSE(msgnode_send_event(loose.node, node.node.id, build("loose")));
    EXPECT_TRUE(capture.Contains("Message send refused: the node is not on a hub"));
    EXPECT_TRUE(node.headers.empty());

    u8 foreign[32] = {'n', 'o', 'p', 'e', 32};
    EXPECT_FALSE(distributor_send(nullptr, reinterpret_cast<const msg_t*>(foreign)));
    EXPECT_FALSE(distributor_send(nullptr, nullptr));
    EXPECT_TRUE(capture.Contains("Message send refused: not a msg"));

    bool sent = true;
    msg_t* msg = build("stranger");
    std::thread stranger([&] { sent = distributor_send(nullptr, msg); });
    stranger.join();
    EXPECT_FALSE(sent);
    EXPECT_TRUE(capture.Contains("Message send refused: the thread has no message hub"));
}

TEST_F(MsgHub, ServerAnswersAFailedRequestWithAnErrorMsg)
{
    msghub_t* load = distributor_attach_hub(string_make("LOAD"));
    ASSERT_NE(load, nullptr);
    struct Server
    {
        msgserver_t server;
        int requests = 0;
        bool answered = true;
        static void Receive(void* user, const msg_t* msg)
        {
            Server* self = static_cast<Server*>(user);
            self->requests++;
            self->answered = msgserver_send_response(self->server, msg, nullptr); // its handler built nothing
        }
    } s;
    msgserver_initialise(s.server, MSGNODE_TYPE_IMAGE_SERVER, &s, nullptr, nullptr, nullptr, &Server::Receive, nullptr);
    ASSERT_TRUE(msgserver_open(s.server, load));
    EXPECT_TRUE(capture.Contains("Server opened: Image"));

    struct Client
    {
        msgclient_t client;
        std::vector<msg_t> headers;
        std::vector<i32> request_types;
        std::vector<int> results;
        static void Receive(void* user, const msg_t* msg)
        {
            Client* self = static_cast<Client*>(user);
            self->headers.push_back(*msg);
            msgdata_helper_t h;
            msgdata_helper_initialise(h);
            if (msgdata_helper_get(msg_find(msg, MSGFIELD_REQUEST_TYPE, nullptr), h))
                self->request_types.push_back(h.int32);
            if (msgdata_helper_get(msg_find(msg, MSGFIELD_RESULT, nullptr), h))
                self->results.push_back(h.boolean);
            msgdata_helper_release(h);
        }
    } c;
    ASSERT_TRUE(msgclient_initialise(c.client, MSGNODE_TYPE_IMAGE_CLIENT, MSGNODE_TYPE_IMAGE_SERVER, &c, &Client::Receive));
    msgbuilder_t& rb = c.client.builder;
    msgbuilder_begin(rb, MSGFIELD_IMAGE_SERVER_MSG);
    msgbuilder_add(rb, MSGFIELD_REQUEST_TYPE, 5);
    msgbuilder_add(rb, MSGFIELD_FILENAME, string_make("/tmp/x.jpg"));
    EXPECT_EQ(msgclient_send(c.client, msgbuilder_end(rb)), 0);
    EXPECT_TRUE(msgclient_pending(c.client));
    distributor_pump(load);
    EXPECT_EQ(s.requests, 1);
    EXPECT_TRUE(s.answered);
    distributor_pump(main_hub);
    ASSERT_EQ(c.headers.size(), 1u);
    EXPECT_EQ(c.headers[0].field, MSGFIELD_ERROR_MSG);
    EXPECT_EQ(c.headers[0].type, MSG_TYPE_RESPONSE);
    EXPECT_EQ(c.headers[0].ref_num, 0u);
    EXPECT_EQ(c.request_types, std::vector<i32>{5});
    EXPECT_EQ(c.results, std::vector<int>{0});
    EXPECT_FALSE(msgclient_pending(c.client));

    // Without a RequestType there is nothing to answer with: logged, no reply.
    capture.Clear();
    msgbuilder_reset(rb);
    msgbuilder_begin(rb, MSGFIELD_IMAGE_SERVER_MSG);
    msgbuilder_add(rb, MSGFIELD_FILENAME, string_make("/tmp/y.jpg"));
    EXPECT_EQ(msgclient_send(c.client, msgbuilder_end(rb)), 1);
    distributor_pump(load);
    distributor_pump(main_hub);
    EXPECT_FALSE(s.answered);
    EXPECT_TRUE(capture.Contains("Failed to handle request msg:"));
    EXPECT_TRUE(capture.Contains("field 0: Filename = '/tmp/y.jpg'"));
    EXPECT_EQ(c.headers.size(), 1u);

    // A RequestType that does not hold an int32 is no RequestType either.
    capture.Clear();
    msgbuilder_reset(rb);
    msgbuilder_begin(rb, MSGFIELD_IMAGE_SERVER_MSG);
    msgbuilder_add(rb, MSGFIELD_REQUEST_TYPE, "ab", 2);
    msgclient_send(c.client, msgbuilder_end(rb));
    distributor_pump(load);
    EXPECT_FALSE(s.answered);
    EXPECT_TRUE(capture.Contains("Failed to handle request msg:"));

    c.client.release_limit = 1; // the two unanswered requests: give up at once
    msgclient_release(c.client);
    msgserver_close(s.server);
    EXPECT_TRUE(capture.Contains("Server closed: Image"));
    EXPECT_EQ(s.server.node.hub, nullptr);
    msgserver_release(s.server);
    distributor_detach_hub(load);
}

TEST_F(MsgHub, ClientReleaseWaitsForAnswersWithinItsLimit)
{
    msghub_t* load = distributor_attach_hub(string_make("LOAD"));
    ASSERT_NE(load, nullptr);
    Node server(MSGNODE_TYPE_FONT_SERVER);
    ASSERT_TRUE(distributor_add_node(load, &server.node));
    msgclient_t client;
    ASSERT_TRUE(msgclient_initialise(client, MSGNODE_TYPE_FONT_CLIENT, MSGNODE_TYPE_FONT_SERVER, nullptr, nullptr));
    const i32 id = client.node.id;

    // An answer already queued on MAIN is collected by the release's pump.
    ASSERT_EQ(msgclient_send(client, build("q")), 0);
    distributor_pump(load);
    ASSERT_EQ(server.headers.size(), 1u);
    ASSERT_TRUE(msgnode_send_response(server.node, &server.headers[0], build("a")));
    capture.Clear();
    msgclient_release(client);
    EXPECT_FALSE(capture.Contains("Forcing client termination"));
    EXPECT_EQ(client.node.hub, nullptr);
    EXPECT_STREQ(distributor_id_to_str(id).str, "Unknown");
    msgclient_release(client); // safe twice

    // A server that never answers: the release gives up after its limit.
    msgclient_t waiting;
    ASSERT_TRUE(msgclient_initialise(waiting, MSGNODE_TYPE_FONT_CLIENT, MSGNODE_TYPE_FONT_SERVER, nullptr, nullptr));
    waiting.release_limit = 50000; // 50 ms instead of 5 s
    ASSERT_GE(msgclient_send(waiting, build("never answered")), 0);
    msgclient_release(waiting);
    EXPECT_TRUE(capture.Contains("Forcing client termination: Font"));
    EXPECT_EQ(waiting.node.hub, nullptr);
    EXPECT_EQ(waiting.builder.buffer, nullptr);

    msgclient_t zeroed = {};
    msgclient_release(zeroed);
    distributor_detach_hub(load);
}

TEST_F(MsgHub, SixteenHubsAtMost)
{
    static const char* names[] = {"H1", "H2", "H3", "H4", "H5", "H6", "H7", "H8",
                                  "H9", "H10", "H11", "H12", "H13", "H14", "H15", "H16"};
    std::vector<msghub_t*> hubs;
    std::vector<Node*> nodes;
    for (int i = 0; i < 15; ++i)
    {
        msghub_t* hub = distributor_attach_hub(string_make(names[i]));
        ASSERT_NE(hub, nullptr) << i;
        EXPECT_EQ(msghub_get_index(hub), i + 1);
        hubs.push_back(hub);
        nodes.push_back(new Node(MSGNODE_TYPE_UNKNOWN));
        ASSERT_TRUE(distributor_add_node(hub, &nodes.back()->node));
    }
    capture.Clear();
    EXPECT_EQ(distributor_attach_hub(string_make(names[15])), nullptr);
    EXPECT_TRUE(capture.Contains("Failed to attach message hub: H16"));

    // Every ordered pair has its channel: a broadcast from MAIN reaches all.
    Node sender(MSGNODE_TYPE_UNKNOWN);
    ASSERT_TRUE(distributor_add_node(main_hub, &sender.node));
    ASSERT_TRUE(msgnode_send_event(sender.node, 0, build("hello")));
    ASSERT_TRUE(msgnode_send_event(nodes[14]->node, nodes[3]->node.id, build("across")));
    for (size_t i = 0; i < hubs.size(); ++i)
        distributor_pump(hubs[i]);
    for (size_t i = 0; i < nodes.size(); ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(nodes[i]->texts, i == 3 ? (std::vector<std::string>{"hello", "across"}) : std::vector<std::string>{"hello"});
    }
    // A message thread that finds no free slot ends without opening its
    // servers, and its start says so.
    struct Counts
    {
        int opened = 0;
        int destroyed = 0;
    } counts;
    msgserver_t server;
    msgserver_initialise(
        server, MSGNODE_TYPE_TCL_SERVER, &counts, [](void* user) { return ++static_cast<Counts*>(user)->opened > 0; },
        nullptr, [](void* user) { static_cast<Counts*>(user)->destroyed++; }, nullptr, nullptr);
    msgthread_t t;
    ASSERT_TRUE(msgthread_initialise(t, "TCL"));
    ASSERT_TRUE(msgthread_add_server(t, &server));
    EXPECT_FALSE(msgthread_start(t));
    EXPECT_TRUE(capture.Contains("Failed to attach message hub: TCL"));
    EXPECT_EQ(counts.opened, 0);
    msgthread_stop(t, nullptr, nullptr);
    msgthread_release(t);
    EXPECT_EQ(counts.destroyed, 1); // still listed, so released with the thread
    msgserver_release(server);

    // A detached hub's slot is not given out again.
    distributor_detach_hub(hubs[0]);
    EXPECT_EQ(distributor_attach_hub(string_make(names[15])), nullptr);
    for (Node* node : nodes)
        delete node;
    for (msghub_t* hub : hubs)
        distributor_detach_hub(hub);
}

TEST_F(MsgHub, RecordsThatAreNotMessagesAreDroppedSilently)
{
    msghub_t* load = distributor_attach_hub(string_make("LOAD"));
    ASSERT_NE(load, nullptr);
    Node node(MSGNODE_TYPE_UNKNOWN);
    ASSERT_TRUE(distributor_add_node(load, &node.node));
    msg_t* good = build("good");
    good->dst_id = 0;
    u8 foreign[40] = {'n', 'o', 'p', 'e', 40};
    u8 short_size[32] = {'o', 'r', 'v', 'o', 16}; // only 16 bytes go into the channel
    u8 empty[32] = {'o', 'r', 'v', 'o', 0};
    capture.Clear();
    ASSERT_TRUE(msghub_send(main_hub, load, reinterpret_cast<const msg_t*>(foreign)));
    ASSERT_TRUE(msghub_send(main_hub, load, reinterpret_cast<const msg_t*>(short_size)));
    ASSERT_TRUE(msghub_send(main_hub, load, reinterpret_cast<const msg_t*>(empty)));
    ASSERT_TRUE(msghub_send(main_hub, load, good));
    distributor_pump(load);
    EXPECT_EQ(node.texts, std::vector<std::string>{"good"});
    EXPECT_TRUE(capture.Lines().empty());

    // After its hub detaches, the node is off every hub and senders find no
    // destination.
    distributor_detach_hub(load);
    EXPECT_EQ(node.node.hub, nullptr);
    Node sender(MSGNODE_TYPE_UNKNOWN);
    ASSERT_TRUE(distributor_add_node(main_hub, &sender.node));
    EXPECT_FALSE(msgnode_send_event(sender.node, node.node.id, build("gone")));
    EXPECT_TRUE(capture.Contains("Message destination invalid"));
}
