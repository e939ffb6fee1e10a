#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <future>
#include <limits>
#include <thread>

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/System/Paths.h"
#include "Platform/Xpc/XpcConnection.h"
#include "Platform/Xpc/XpcListener.h"
#include "Platform/Xpc/XpcWire.h"
#include "support/FakeXpcService.h"
#include "support/TempDir.h"
#include "support/WaitFlag.h"
#include "support/XpcEventRecorder.h"

using namespace platform;
using testsupport::FakeXpcService;
using testsupport::XpcEventRecorder;

namespace {

constexpr const char* kService = "com.pelgrave.PelInstallHelper";

class XpcConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The fake services of these tests run as the test's own user.
        XpcConnection::setPrivilegedPeerPolicy(
            [uid = getuid()](const XpcPeerCredentials& p) { return p.uid == uid; });
    }
    void TearDown() override { XpcConnection::setPrivilegedPeerPolicy(nullptr); }

    XpcConnectionPtr connect(const std::shared_ptr<XpcEventRecorder>& recorder,
                             DispatchQueuePtr queue = nullptr,
                             unsigned options = kXpcConnectionPrivileged) {
        auto c = XpcConnection::createMachService(kService, std::move(queue), options);
        c->setEventHandler(recorder->handler());
        c->resume();
        return c;
    }

    testsupport::TempDir temp;
    Paths::ScopedRoot root{temp.path().string()};
};

XpcObject numbered(std::int64_t n) { return xpcDictionary({{"seq", XpcObject::makeInt64(n)}}); }

// Accepts one raw client on a listening socket, waiting up to 10 s.
UniqueFd acceptRaw(const UniqueFd& listener) {
    pollfd p{listener.get(), POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return {};
    return UniqueFd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
}

// The test playing kService by hand: a raw socket listening where clients
// look for the service, its name removed with the object.
struct RawService {
    std::string path = xpcSocketPathForService(kService, XpcServiceScope::System, nullptr);
    int err = 0;
    UniqueFd listener = xpcListenSocket(path, 0755, 0666, &err);
    RawService() = default;
    RawService(const RawService&) = delete;
    RawService& operator=(const RawService&) = delete;
    ~RawService() { ::unlink(path.c_str()); }
};

void writeAll(int fd, const std::vector<std::uint8_t>& bytes) {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
}

std::vector<std::uint8_t> messageFrame(const XpcObject& m) {
    std::vector<std::uint8_t> f;
    encodeXpcFrame(XpcFrameKind::Message, 0, m, f, nullptr);
    return f;
}

// A service (at kService, System scope) whose peers hand every message to
// `onEvent`; it keeps its peers until it goes.
struct ScriptedService {
    using OnEvent = std::function<void(XpcConnection& peer, const XpcEvent& message)>;
    explicit ScriptedService(OnEvent onEvent) {
        listener = XpcListener::create(kService, XpcServiceScope::System, nullptr);
        if (!listener) return;
        listener->setNewConnectionHandler([this, onEvent](XpcConnectionPtr peer) {
            std::weak_ptr<XpcConnection> weak = peer;
            peer->setEventHandler([weak, onEvent](const XpcEvent& e) {
                if (auto p = weak.lock(); p && !e.isError()) onEvent(*p, e);
            });
            peer->resume();
            std::lock_guard lock(mutex);
            peers.push_back(std::move(peer));
        });
        listener->resume();
    }
    ~ScriptedService() {
        if (listener) listener->cancel();
        std::lock_guard lock(mutex);
        for (auto& p : peers) p->cancel();
    }
    XpcConnectionPtr onlyPeer() {
        std::lock_guard lock(mutex);
        return peers.size() == 1 ? peers[0] : nullptr;
    }

    XpcListenerPtr listener;
    std::mutex mutex;
    std::vector<XpcConnectionPtr> peers;
};

}  // namespace

TEST_F(XpcConnectionTest, RoundTripsEveryValueTypeBothWays) {
    FakeXpcService service(kService);
    auto events = XpcEventRecorder::create();
    auto client = connect(events);

    XpcObject message = xpcDictionary({
        {"PelInstallType", XpcObject::makeString("101")},
        {"pkgPriority", XpcObject::makeInt64(-2)},
        {"count", XpcObject::makeUint64(std::numeric_limits<std::uint64_t>::max())},
        {"ok", XpcObject::makeBool(true)},
        {"ratio", XpcObject::makeDouble(0.25)},
        {"archive", XpcObject::makeData({0, 1, 0xFE})},
        {"_uuid", XpcObject::makeUuid(XpcUuid::generate())},
        {"nothing", XpcObject::makeNull()},
        {"PelInstallPackages",
         XpcObject::makeArray({xpcDictionary({{"pkgName", XpcObject::makeString("/a.pkg")}})})},
    });
    ASSERT_TRUE(client->send(message));
    auto got = service.nextMessage();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->message, message) << got->message.description();
    EXPECT_EQ(got->peer.uid, getuid());
    EXPECT_EQ(got->peer.pid, getpid());

    ASSERT_TRUE(service.send(message));
    ASSERT_TRUE(events->waitForCount(1));
    EXPECT_EQ(events->events()[0].message(), message);
    EXPECT_EQ(client->peerCredentials()->uid, getuid());
    client->cancel();
}

TEST_F(XpcConnectionTest, DeliversInOrderAndOneAtATimeUnderLoad) {
    constexpr int kCount = 5000;
    FakeXpcService service(kService);
    auto order = std::make_shared<std::vector<std::int64_t>>();
    auto overlapped = std::make_shared<std::atomic<bool>>(false);
    auto busy = std::make_shared<std::atomic<bool>>(false);
    auto events = XpcEventRecorder::create();
    // A concurrent target queue: the connection itself must keep deliveries
    // apart and in order.
    auto client =
        XpcConnection::createMachService(kService, globalQueue(), kXpcConnectionPrivileged);
    client->setEventHandler([=](const XpcEvent& e) {
        if (busy->exchange(true)) *overlapped = true;
        if (!e.isError()) order->push_back(e.message().getInt64("seq"));
        busy->store(false);
        events->record(e);
    });
    client->resume();

    for (int i = 0; i < kCount; ++i) ASSERT_TRUE(client->send(numbered(i)));
    for (int i = 0; i < kCount; ++i) {
        auto got = service.nextMessage();
        ASSERT_TRUE(got) << i;
        ASSERT_EQ(got->message.getInt64("seq"), i);
    }
    for (int i = 0; i < kCount; ++i) ASSERT_TRUE(service.send(numbered(i)));
    ASSERT_TRUE(events->waitForCount(kCount));
    EXPECT_FALSE(*overlapped);
    ASSERT_EQ(order->size(), static_cast<std::size_t>(kCount));
    for (int i = 0; i < kCount; ++i) ASSERT_EQ((*order)[i], i);
    client->cancel();
}

TEST_F(XpcConnectionTest, MatchesRepliesToTheirRequests) {
    constexpr int kCount = 20;
    FakeXpcService service(kService);
    auto events = XpcEventRecorder::create();
    auto client = connect(events);
    auto queue = SerialQueue::create("replies");
    auto replies = XpcEventRecorder::create();
    std::vector<std::pair<std::int64_t, std::int64_t>> pairs;
    std::mutex pairsMutex;
    for (int i = 0; i < kCount; ++i) {
        ASSERT_TRUE(
            client->sendWithReply(numbered(i), queue, [&, i, replies](const XpcEvent& reply) {
                {
                    std::lock_guard lock(pairsMutex);
                    pairs.emplace_back(i,
                                       reply.isError() ? -1 : reply.message().getInt64("answer"));
                }
                replies->record(reply);
            }));
    }
    std::vector<FakeXpcService::Received> requests;
    for (int i = 0; i < kCount; ++i) {
        auto got = service.nextMessage();
        ASSERT_TRUE(got);
        EXPECT_TRUE(got->event.expectsReply());
        requests.push_back(*got);
    }
    // Answer in reverse order; every reply must still reach its own request.
    for (auto it = requests.rbegin(); it != requests.rend(); ++it) {
        std::int64_t n = it->message.getInt64("seq");
        ASSERT_TRUE(service.reply(*it, xpcDictionary({{"answer", XpcObject::makeInt64(n * 10)}})));
        // A second answer goes out but matches nothing; the client drops it.
        EXPECT_TRUE(service.reply(*it, xpcDictionary()));
    }
    ASSERT_TRUE(replies->waitForCount(kCount));
    std::lock_guard lock(pairsMutex);
    ASSERT_EQ(pairs.size(), static_cast<std::size_t>(kCount));
    for (auto [request, answer] : pairs) EXPECT_EQ(answer, request * 10);
    // A plain message is not a request and cannot be answered.
    ASSERT_TRUE(client->send(numbered(100)));
    auto plain = service.nextMessage();
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->event.expectsReply());
    EXPECT_FALSE(service.reply(*plain, xpcDictionary()));
    // The extra answers never surfaced as events.
    EXPECT_TRUE(events->events().empty());
    client->cancel();
}

TEST_F(XpcConnectionTest, RepliesOnTheTargetQueueKeepTheirPlaceAmongMessages) {
    FakeXpcService service(kService);
    auto log = XpcEventRecorder::create();  // events and the reply, as they run
    auto client = connect(log);
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(client->sendWithReply(numbered(round), nullptr, log->handler()));
        auto request = service.nextMessage();
        ASSERT_TRUE(request);
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(service.send(numbered(i)));
        ASSERT_TRUE(service.reply(*request, xpcDictionary({{"reply", XpcObject::makeBool(true)}})));
        ASSERT_TRUE(log->waitForCount(4 * (round + 1)));
        auto seen = log->events();
        for (int i = 0; i < 3; ++i) EXPECT_EQ(seen[4 * round + i].message().getInt64("seq"), i);
        EXPECT_TRUE(seen[4 * round + 3].message().getBool("reply"));
    }
    client->cancel();
}

TEST_F(XpcConnectionTest, PeerGoingAwayInterruptsAndTheNextSendReconnects) {
    FakeXpcService service(kService);
    auto events = XpcEventRecorder::create();
    auto client = connect(events);
    auto reply = XpcEventRecorder::create();
    ASSERT_TRUE(client->sendWithReply(numbered(1), nullptr, reply->handler()));
    ASSERT_TRUE(service.nextMessage());

    service.dropPeers();
    ASSERT_TRUE(events->waitForError());
    EXPECT_TRUE(events->events().back().isInterrupted())
        << events->events().back().errorDescription();
    ASSERT_TRUE(reply->waitForCount(1));
    EXPECT_TRUE(reply->events()[0].isInterrupted());

    ASSERT_TRUE(client->send(numbered(2)));
    auto again = service.nextMessage();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->message.getInt64("seq"), 2);
    EXPECT_TRUE(service.waitForPeers(2));
    client->cancel();
    ASSERT_TRUE(events->waitForCount(2));
    EXPECT_TRUE(events->events()[1].isInvalid());
}

TEST_F(XpcConnectionTest, CancelDuringDeliveryGivesOneInvalidAndNothingElse) {
    FakeXpcService service(kService);
    auto queue = SerialQueue::create("client");
    auto events = XpcEventRecorder::create();
    auto entered = std::make_shared<testsupport::WaitFlag>();
    auto release = std::make_shared<testsupport::WaitFlag>();
    auto client = XpcConnection::createMachService(kService, queue, kXpcConnectionPrivileged);
    client->setEventHandler([=](const XpcEvent& e) {
        events->record(e);
        if (events->events().size() == 1) {
            entered->set();
            release->wait();
        }
    });
    client->resume();
    auto reply = XpcEventRecorder::create();
    ASSERT_TRUE(client->sendWithReply(numbered(0), nullptr, reply->handler()));
    ASSERT_TRUE(service.nextMessage());
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(service.send(numbered(i)));

    ASSERT_TRUE(entered->wait());
    client->cancel();
    client->cancel();
    EXPECT_FALSE(client->send(numbered(99)));
    release->set();

    ASSERT_TRUE(events->waitForCount(2));
    ASSERT_TRUE(reply->waitForCount(1));
    queue->sync([] {});  // anything still queued has run by now
    auto seen = events->events();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].message().getInt64("seq"), 0);
    EXPECT_TRUE(seen[1].isInvalid());
    EXPECT_TRUE(reply->events()[0].isInvalid());
    // The service sees its client go.
    EXPECT_TRUE(service.waitForNoPeers());
}

TEST_F(XpcConnectionTest, InvalidWhenNobodyListens) {
    auto events = XpcEventRecorder::create();
    auto client = XpcConnection::createMachService(kService, nullptr, kXpcConnectionPrivileged);
    client->setEventHandler(events->handler());
    client->setConnectTimeout(Duration::zero());
    auto reply = XpcEventRecorder::create();
    // Messages sent before resume() wait for the connection; here they fail with it.
    ASSERT_TRUE(client->sendWithReply(numbered(1), nullptr, reply->handler()));
    client->resume();
    ASSERT_TRUE(events->waitForCount(1));
    EXPECT_TRUE(events->events()[0].isInvalid());
    EXPECT_NE(events->events()[0].errorDescription().find("no service listening"),
              std::string::npos);
    ASSERT_TRUE(reply->waitForCount(1));
    EXPECT_TRUE(reply->events()[0].isInvalid());
    EXPECT_FALSE(client->send(numbered(2)));
    client->cancel();  // no second invalid event: the handler is gone after the first
    EXPECT_EQ(events->events().size(), 1u);

    Error error;
    EXPECT_EQ(XpcConnection::createMachService("bad/name", nullptr, 0, &error), nullptr);
    EXPECT_EQ(error.code(), kXpcErrorInvalidServiceName);
}

TEST_F(XpcConnectionTest, WaitsForAHelperThatIsStillStarting) {
    auto events = XpcEventRecorder::create();
    auto client = connect(events);
    ASSERT_TRUE(client->send(numbered(7)));
    FakeXpcService service(kService);
    auto got = service.nextMessage();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->message.getInt64("seq"), 7);
    client->cancel();
}

TEST_F(XpcConnectionTest, PrivilegedConnectionsApplyThePeerPolicy) {
    struct Case {
        const char* name;
        XpcServiceScope scope;
        unsigned options;
        bool policyAccepts;
        bool delivered;
    } cases[] = {
        {"privileged, peer accepted", XpcServiceScope::System, kXpcConnectionPrivileged, true,
         true},
        {"privileged, peer refused", XpcServiceScope::System, kXpcConnectionPrivileged, false,
         false},
        {"not privileged: no policy", XpcServiceScope::User, kXpcConnectionNone, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<int> asked{0};
        XpcConnection::setPrivilegedPeerPolicy([&](const XpcPeerCredentials& peer) {
            ++asked;
            EXPECT_EQ(peer.pid, getpid());
            return c.policyAccepts;
        });
        FakeXpcService service(kService, c.scope);
        auto events = XpcEventRecorder::create();
        auto client = XpcConnection::createMachService(kService, nullptr, c.options);
        client->setEventHandler(events->handler());
        ASSERT_TRUE(client->send(numbered(1)));  // before the refusal can come
        client->resume();
        if (c.delivered) {
            EXPECT_TRUE(service.nextMessage());
        } else {
            ASSERT_TRUE(events->waitForCount(1));
            EXPECT_TRUE(events->events()[0].isInvalid());
            EXPECT_NE(events->events()[0].errorDescription().find("refused"), std::string::npos);
            EXPECT_FALSE(service.nextMessage(std::chrono::milliseconds(0)));
        }
        client->cancel();
        EXPECT_EQ(asked.load(), (c.options & kXpcConnectionPrivileged) ? 1 : 0);
    }
}

TEST_F(XpcConnectionTest, MalformedInputFromTheServiceInterruptsTheClient) {
    auto good = messageFrame(numbered(1));
    std::vector<std::uint8_t> truncated(good.begin(), good.begin() + 25);
    std::vector<std::uint8_t> oversized = good;
    oversized[19] = 0x7F;  // payload size of about 2 GB
    std::vector<std::uint8_t> badUtf8 =
        messageFrame(xpcDictionary({{"k", XpcObject::makeString("ab")}}));
    badUtf8[badUtf8.size() - 1] = 0xFF;
    XpcObject deep = xpcDictionary();
    for (int i = 0; i < 40; ++i) deep = xpcDictionary({{"d", deep}});
    XpcWireLimits roomy;
    roomy.maxDepth = 100;
    std::vector<std::uint8_t> tooDeep;
    ASSERT_TRUE(encodeXpcFrame(XpcFrameKind::Message, 0, deep, tooDeep, nullptr, roomy));

    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        const char* reason;
    } cases[] = {
        {"truncated", truncated, "truncated"},
        {"oversized", oversized, "too large"},
        {"bad UTF-8", badUtf8, "UTF-8"},
        {"too deep", tooDeep, "too deeply"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RawService service;
        ASSERT_TRUE(service.listener);
        auto events = XpcEventRecorder::create();
        auto client = connect(events);
        UniqueFd raw = acceptRaw(service.listener);
        ASSERT_TRUE(raw);
        writeAll(raw.get(), good);
        writeAll(raw.get(), c.bytes);
        if (std::string(c.name) == "truncated") raw.reset();
        ASSERT_TRUE(events->waitForCount(2));
        auto seen = events->events();
        EXPECT_EQ(seen[0].message().getInt64("seq"), 1);
        EXPECT_TRUE(seen[1].isInterrupted());
        EXPECT_NE(seen[1].errorDescription().find(c.reason), std::string::npos)
            << seen[1].errorDescription();
        client->cancel();
    }
}

TEST_F(XpcConnectionTest, MalformedInputFromAClientEndsOnlyThatPeer) {
    FakeXpcService service(kService);
    int err = 0;
    UniqueFd raw = xpcConnectSocket(service.socketPath(), &err);
    ASSERT_TRUE(raw);
    ASSERT_TRUE(service.waitForPeers(1));
    writeAll(raw.get(), {'G', 'A', 'R', 'B', 'A', 'G', 'E'});
    EXPECT_TRUE(service.waitForNoPeers());

    auto events = XpcEventRecorder::create();
    auto client = connect(events);
    ASSERT_TRUE(client->send(numbered(3)));
    auto got = service.nextMessage();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->message.getInt64("seq"), 3);
    client->cancel();
}

TEST_F(XpcConnectionTest, RefusesMessagesThatCannotBeEncoded) {
    auto client = XpcConnection::createMachService(kService, nullptr, kXpcConnectionPrivileged);
    EXPECT_FALSE(client->send(xpcDictionary({{"k", XpcObject::makeString("\xC3")}})));
    EXPECT_FALSE(client->send(XpcObject::makeArray()));
    EXPECT_FALSE(client->sendWithReply(XpcObject::makeString("x"), nullptr,
                                       [](const XpcEvent&) { FAIL(); }));
    EXPECT_TRUE(client->send(xpcDictionary()));
}

TEST_F(XpcConnectionTest, ListenerRefusesBadNamesAndSecondInstances) {
    Error error;
    EXPECT_EQ(XpcListener::create("..", XpcServiceScope::System, nullptr, &error), nullptr);
    EXPECT_EQ(error.code(), kXpcErrorInvalidServiceName);
    auto first = XpcListener::create(kService, XpcServiceScope::System, nullptr, &error);
    ASSERT_TRUE(first);
    EXPECT_EQ(XpcListener::create(kService, XpcServiceScope::System, nullptr, &error), nullptr);
    EXPECT_EQ(error.code(), kXpcErrorListenFailed);
    ASSERT_TRUE(error.underlyingError());
    EXPECT_EQ(error.underlyingError()->code(), EADDRINUSE);
    first->cancel();
    EXPECT_FALSE(std::filesystem::exists(first->socketPath()));
}

TEST_F(XpcConnectionTest, SynchronousRequestsGetTheirReplyWhileEventsKeepTheirOrder) {
    FakeXpcService service(kService);
    auto events = XpcEventRecorder::create();
    auto client = connect(events);
    // The service sends three messages before it answers.
    std::thread helper([&] {
        auto request = service.nextMessage();
        ASSERT_TRUE(request);
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(service.send(numbered(i)));
        ASSERT_TRUE(service.reply(
            *request, xpcDictionary({{"answer", XpcObject::makeInt64(
                                                    request->message.getInt64("seq") * 2)}})));
    });
    XpcEvent reply = client->sendWithReplySync(numbered(21));
    helper.join();
    ASSERT_FALSE(reply.isError()) << reply.errorDescription();
    EXPECT_EQ(reply.message().getInt64("answer"), 42);
    ASSERT_TRUE(events->waitForCount(3));
    auto seen = events->events();
    ASSERT_EQ(seen.size(), 3u);  // the reply is not an event
    for (int i = 0; i < 3; ++i) EXPECT_EQ(seen[i].message().getInt64("seq"), i);

    // From an event handler of the same connection, too.
    auto inHandler = std::make_shared<std::promise<XpcEvent>>();
    std::weak_ptr<XpcConnection> weak = client;
    client->setEventHandler([inHandler, weak](const XpcEvent& e) {
        if (e.isError()) return;
        if (auto c = weak.lock()) inHandler->set_value(c->sendWithReplySync(numbered(5)));
    });
    std::thread answerer([&] {
        auto request = service.nextMessage();
        ASSERT_TRUE(request);
        ASSERT_TRUE(service.reply(*request, xpcDictionary({{"answer", XpcObject::makeInt64(10)}})));
    });
    ASSERT_TRUE(service.send(numbered(100)));
    auto fromHandler = inHandler->get_future();
    ASSERT_EQ(fromHandler.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    answerer.join();
    XpcEvent handlerReply = fromHandler.get();
    EXPECT_EQ(handlerReply.message().getInt64("answer"), 10) << handlerReply.errorDescription();
    client->cancel();
}

// Replies that come at once race with the caller handing the socket's input
// over: whichever thread reads a reply, it reaches its own caller, and the
// service's own messages keep their order and keep coming afterwards.
TEST_F(XpcConnectionTest, ConcurrentSynchronousCallersEachGetTheirOwnReply) {
    constexpr int kThreads = 6, kCalls = 300;
    // Answers every request at once with its number doubled, sending a
    // message of its own first for every tenth.
    auto sent = std::make_shared<std::atomic<std::int64_t>>(0);
    ScriptedService service([sent](XpcConnection& peer, const XpcEvent& e) {
        std::int64_t n = e.message().getInt64("seq");
        if (n % 10 == 0) peer.send(numbered((*sent)++));
        if (e.expectsReply())
            peer.reply(e, xpcDictionary({{"answer", XpcObject::makeInt64(n * 2)}}));
    });
    ASSERT_TRUE(service.listener);

    auto events = XpcEventRecorder::create();
    auto client = connect(events);
    auto asyncReplies = XpcEventRecorder::create();
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                std::int64_t n = t * 100000 + i;
                if (i % 7 == 0) {
                    client->sendWithReply(numbered(n), nullptr, asyncReplies->handler());
                    continue;
                }
                XpcEvent reply = client->sendWithReplySync(numbered(n));
                if (reply.isError() || reply.message().getInt64("answer") != n * 2) ++wrong;
            }
        });
    }
    for (auto& c : callers) c.join();
    EXPECT_EQ(wrong.load(), 0);
    const std::size_t asyncCount = kThreads * ((kCalls + 6) / 7);
    ASSERT_TRUE(asyncReplies->waitForCount(asyncCount, std::chrono::seconds(60)));
    // Every request is answered, so the service has sent all its messages.
    ASSERT_TRUE(
        events->waitForCount(static_cast<std::size_t>(sent->load()), std::chrono::seconds(60)));
    // The synchronous callers are gone: what the service sends now still
    // arrives, after everything it sent before.
    auto peer = service.onlyPeer();
    ASSERT_TRUE(peer);
    ASSERT_TRUE(peer->send(numbered((*sent)++)));
    const auto total = static_cast<std::size_t>(sent->load());
    ASSERT_TRUE(events->waitForCount(total, std::chrono::seconds(60)));
    auto seen = events->events();
    ASSERT_EQ(seen.size(), total);
    for (std::size_t i = 0; i < total; ++i)
        ASSERT_EQ(seen[i].message().getInt64("seq"), static_cast<std::int64_t>(i));
    client->cancel();
}

// A message that follows a reply at once, with nothing after it, arrives
// while the synchronous caller may still be reading: it is delivered all the
// same, whichever thread reads it.
TEST_F(XpcConnectionTest, AMessageRightAfterASynchronousReplyIsDelivered) {
    // The reply is large enough that the caller takes a while to decode it
    // after its last read, and the message comes at various times in that
    // while.
    XpcObject bulk = XpcObject::makeArray();
    for (int i = 0; i < 4000; ++i) bulk.append(XpcObject::makeString("entry " + std::to_string(i)));
    ScriptedService service([bulk](XpcConnection& peer, const XpcEvent& e) {
        std::int64_t n = e.message().getInt64("seq");
        peer.reply(e, xpcDictionary({{"answer", XpcObject::makeInt64(n)}, {"bulk", bulk}}));
        auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(n * 7 % 400);
        while (std::chrono::steady_clock::now() < until) {
        }
        peer.send(numbered(n));
    });
    ASSERT_TRUE(service.listener);
    auto events = XpcEventRecorder::create();
    auto client = connect(events);
    constexpr int kRounds = 300;
    for (int i = 0; i < kRounds; ++i) {
        XpcEvent reply = client->sendWithReplySync(numbered(i));
        ASSERT_EQ(reply.message().getInt64("answer"), i) << reply.errorDescription();
        ASSERT_TRUE(events->waitForCount(static_cast<std::size_t>(i) + 1)) << "round " << i;
    }
    auto seen = events->events();
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(kRounds));
    for (int i = 0; i < kRounds; ++i) EXPECT_EQ(seen[i].message().getInt64("seq"), i);
    client->cancel();
}

// A service that stops sending right after a message (it shuts its side of
// the socket and keeps it open, so no hang-up follows later): the client
// takes in the message and then the end, both in the socket before it looks,
// whether its I/O thread reads them or a synchronous caller waiting for its
// reply does.
TEST_F(XpcConnectionTest, AServiceThatStopsSendingInterruptsTheClient) {
    struct Case {
        const char* name;
        bool callerWaiting;
    } cases[] = {{"client busy in its handler meanwhile", false},
                 {"a synchronous caller waiting", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RawService service;
        ASSERT_TRUE(service.listener);
        auto events = XpcEventRecorder::create();
        auto inHandler = std::make_shared<testsupport::WaitFlag>();
        auto release = std::make_shared<testsupport::WaitFlag>();
        auto client = XpcConnection::createMachService(kService, nullptr, kXpcConnectionPrivileged);
        client->setEventHandler([=](const XpcEvent& e) {
            events->record(e);
            if (e.isError() || e.message().getInt64("seq") != 0) return;
            inHandler->set();
            release->wait();
        });
        client->resume();
        UniqueFd raw = acceptRaw(service.listener);
        ASSERT_TRUE(raw);
        std::future<XpcEvent> reply;
        if (c.callerWaiting) {
            release->set();
            reply = std::async(std::launch::async,
                               [&] { return client->sendWithReplySync(numbered(2)); });
            pollfd p{raw.get(), POLLIN, 0};
            ASSERT_EQ(::poll(&p, 1, 10000), 1);  // the request has come
        } else {
            writeAll(raw.get(), messageFrame(numbered(0)));
            ASSERT_TRUE(inHandler->wait());
        }
        writeAll(raw.get(), messageFrame(numbered(1)));
        ASSERT_EQ(::shutdown(raw.get(), SHUT_WR), 0);
        release->set();
        const std::size_t count = c.callerWaiting ? 2 : 3;
        ASSERT_TRUE(events->waitForCount(count));
        auto seen = events->events();
        EXPECT_EQ(seen[count - 2].message().getInt64("seq"), 1);
        EXPECT_TRUE(seen[count - 1].isInterrupted()) << seen[count - 1].errorDescription();
        if (c.callerWaiting) {
            ASSERT_EQ(reply.wait_for(std::chrono::seconds(10)), std::future_status::ready);
            EXPECT_TRUE(reply.get().isInterrupted());
        }
        client->cancel();
    }
}

// The same on the service's side: a client that stops sending right after a
// message, while its peer's handler is busy, ends that peer after it.
TEST_F(XpcConnectionTest, AClientThatStopsSendingEndsItsPeer) {
    auto listener = XpcListener::create(kService, XpcServiceScope::System, nullptr);
    ASSERT_TRUE(listener);
    auto events = XpcEventRecorder::create();
    auto inHandler = std::make_shared<testsupport::WaitFlag>();
    auto release = std::make_shared<testsupport::WaitFlag>();
    std::promise<XpcConnectionPtr> accepted;
    listener->setNewConnectionHandler([&](XpcConnectionPtr peer) {
        peer->setEventHandler([=](const XpcEvent& e) {
            events->record(e);
            if (e.isError() || e.message().getInt64("seq") != 0) return;
            inHandler->set();
            release->wait();
        });
        peer->resume();
        accepted.set_value(std::move(peer));
    });
    listener->resume();
    int err = 0;
    UniqueFd raw = xpcConnectSocket(listener->socketPath(), &err);
    ASSERT_TRUE(raw);
    auto peer = accepted.get_future();
    ASSERT_EQ(peer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    writeAll(raw.get(), messageFrame(numbered(0)));
    ASSERT_TRUE(inHandler->wait());
    writeAll(raw.get(), messageFrame(numbered(1)));
    ASSERT_EQ(::shutdown(raw.get(), SHUT_WR), 0);
    release->set();
    ASSERT_TRUE(events->waitForCount(3));
    auto seen = events->events();
    EXPECT_EQ(seen[1].message().getInt64("seq"), 1);
    EXPECT_TRUE(seen[2].isInvalid()) << seen[2].errorDescription();
    peer.get()->cancel();
    listener->cancel();
}

TEST_F(XpcConnectionTest, SynchronousRequestsEndWithTheConnection) {
    struct Case {
        const char* name;
        bool interrupted;  // the service goes away; otherwise the client is cancelled
    } cases[] = {{"service drops the client", true}, {"client cancelled", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeXpcService service(kService);
        auto events = XpcEventRecorder::create();
        auto client = connect(events);
        std::thread ender([&] {
            ASSERT_TRUE(service.nextMessage());  // the request is there, unanswered
            if (c.interrupted)
                service.dropPeers();
            else
                client->cancel();
        });
        XpcEvent reply = client->sendWithReplySync(numbered(1));
        ender.join();
        EXPECT_EQ(reply.isInterrupted(), c.interrupted) << reply.errorDescription();
        EXPECT_EQ(reply.isInvalid(), !c.interrupted) << reply.errorDescription();
        client->cancel();
        // Cancelled, and unencodable: answered at once.
        EXPECT_TRUE(client->sendWithReplySync(numbered(2)).isInvalid());
        EXPECT_TRUE(client->sendWithReplySync(XpcObject::makeArray()).isInvalid());
    }
}

TEST_F(XpcConnectionTest, RepliesOnANamedQueueWaitBehindItsEarlierWork) {
    FakeXpcService service(kService);
    auto events = XpcEventRecorder::create();
    auto client = connect(events);
    auto queue = SerialQueue::create("replies");
    std::vector<std::string> order;  // touched only on `queue`
    testsupport::WaitFlag entered, release, replied;
    queue->async([&] {
        entered.set();
        release.wait();
        order.push_back("busy");
    });
    ASSERT_TRUE(entered.wait());
    queue->async([&] { order.push_back("queued before the reply"); });
    ASSERT_TRUE(client->sendWithReply(numbered(1), queue, [&](const XpcEvent& e) {
        EXPECT_TRUE(queue->isCurrent());
        order.push_back(e.isError() ? "error" : "reply");
        replied.set();
    }));
    auto request = service.nextMessage();
    ASSERT_TRUE(request);
    ASSERT_TRUE(service.reply(*request, xpcDictionary()));
    EXPECT_FALSE(replied.wait(std::chrono::milliseconds(50)));  // the queue is still busy
    release.set();
    ASSERT_TRUE(replied.wait());
    queue->sync([] {});
    EXPECT_EQ(order, (std::vector<std::string>{"busy", "queued before the reply", "reply"}));
    client->cancel();
}
