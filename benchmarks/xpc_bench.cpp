// Messaging between two processes: round-trip latency and one-way messages
// per second for a small dictionary, next to a bare Unix-socket exchange of
// the same number of bytes (the floor the messaging layer builds on).
//
// The program starts a copy of itself as the other process:
//   xpc_bench --serve xpc|raw SOCKET RECORD_SIZE
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Xpc/XpcConnection.h"
#include "Platform/Xpc/XpcListener.h"
#include "Platform/Xpc/XpcWire.h"

using namespace platform;

extern char** environ;

namespace {

// The size of message the install helper sends most: a percent update.
XpcObject percentMessage(std::int64_t seq) {
    return xpcDictionary({{"PelServerMessageType", XpcObject::makeString("200")},
                          {"PelInstallPercent", XpcObject::makeString("42.50")},
                          {"seq", XpcObject::makeInt64(seq)}});
}

std::size_t frameSize() {
    std::vector<std::uint8_t> frame;
    encodeXpcFrame(XpcFrameKind::Request, 1, percentMessage(123456), frame, nullptr);
    return frame.size();
}

bool readFull(int fd, std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        ssize_t r = ::read(fd, p, n);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

bool writeFull(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

// --- the other process -------------------------------------------------------

// Raw records of a fixed size: one starting with 'P' is sent back, others are
// only read.
int serveRaw(const std::string& path, std::size_t recordSize) {
    int err = 0;
    UniqueFd listener = xpcListenSocket(path, 0700, 0600, &err);
    if (!listener) return 1;
    std::cout << "ready" << std::endl;
    pollfd p{listener.get(), POLLIN, 0};
    ::poll(&p, 1, -1);
    UniqueFd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    std::vector<std::uint8_t> record(recordSize);
    while (readFull(fd.get(), record.data(), record.size()))
        if (record[0] == 'P' && !writeFull(fd.get(), record.data(), record.size())) break;
    return 0;
}

// Requests are answered with their own message; one-way messages only read.
int serveXpc(const std::string& path) {
    auto listener = XpcListener::createForSocketPath(path, nullptr);
    if (!listener) return 1;
    std::vector<XpcConnectionPtr> peers;
    std::mutex mutex;
    listener->setNewConnectionHandler([&](XpcConnectionPtr peer) {
        std::weak_ptr<XpcConnection> weak = peer;
        peer->setEventHandler([weak](const XpcEvent& e) {
            if (auto p = weak.lock(); p && e.expectsReply()) p->reply(e, e.message());
        });
        peer->resume();
        std::lock_guard lock(mutex);
        peers.push_back(std::move(peer));
    });
    listener->resume();
    std::cout << "ready" << std::endl;
    // Serve until the benchmark closes our standard input.
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
    std::_Exit(0);
}

// --- the benchmark's side ----------------------------------------------------

class Server {
  public:
    Server(const std::string& mode, std::size_t recordSize) {
        char tmpl[] = "/tmp/pel-xpc-bench-XXXXXX";
        folder_ = ::mkdtemp(tmpl);
        path_ = folder_ + "/socket";
        int out[2], in[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) std::abort();
        std::string size = std::to_string(recordSize);
        // The program's own path rather than "/proc/self/exe", so that a tool
        // the benchmark runs under (valgrind) follows it into the server.
        char link[4096];
        ssize_t length = ::readlink("/proc/self/exe", link, sizeof link - 1);
        std::string self = length > 0 ? std::string(link, static_cast<std::size_t>(length))
                                      : std::string("/proc/self/exe");
        std::vector<char*> argv = {self.data(),
                                   const_cast<char*>("--serve"),
                                   const_cast<char*>(mode.c_str()),
                                   path_.data(),
                                   size.data(),
                                   nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) std::abort();
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(in[0]);
        stdin_ = in[1];
        char buf[16];
        if (::read(out[0], buf, sizeof buf) <= 0) std::abort();  // "ready"
        ::close(out[0]);
    }
    ~Server() {
        ::close(stdin_);
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        ::unlink(path_.c_str());
        ::rmdir(folder_.c_str());
    }
    const std::string& path() const { return path_; }

  private:
    std::string folder_, path_;
    pid_t pid_ = -1;
    int stdin_ = -1;
};

struct Waiter {
    std::mutex mutex;
    std::condition_variable cv;
    std::uint64_t done = 0;
    void signal() {
        std::lock_guard lock(mutex);
        ++done;
        cv.notify_one();
    }
    void waitFor(std::uint64_t n) {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return done >= n; });
    }
};

XpcConnectionPtr connectXpc(const Server& server) {
    auto c = XpcConnection::createForSocketPath(server.path(), nullptr);
    c->setEventHandler([](const XpcEvent&) {});
    c->resume();
    return c;
}

// A caller that blocks for the answer, as the bare socket's client does.
void BM_XpcRoundTrip(benchmark::State& state) {
    Server server("xpc", frameSize());
    auto c = connectXpc(server);
    std::int64_t n = 0;
    for (auto _ : state) {
        XpcEvent reply = c->sendWithReplySync(percentMessage(n++));
        if (reply.isError()) state.SkipWithError(reply.errorDescription().c_str());
    }
    state.SetItemsProcessed(n);
    c->cancel();
}
BENCHMARK(BM_XpcRoundTrip)->UseRealTime();

// The reply handler on a queue of the caller's, which then wakes the caller.
void BM_XpcRoundTripAsync(benchmark::State& state) {
    Server server("xpc", frameSize());
    auto c = connectXpc(server);
    auto queue = SerialQueue::create("bench.replies");
    Waiter waiter;
    std::uint64_t n = 0;
    for (auto _ : state) {
        c->sendWithReply(percentMessage(static_cast<std::int64_t>(n)), queue,
                         [&](const XpcEvent&) { waiter.signal(); });
        waiter.waitFor(++n);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(n));
    c->cancel();
}
BENCHMARK(BM_XpcRoundTripAsync)->UseRealTime();

void BM_XpcOneWay(benchmark::State& state) {
    const std::int64_t batch = state.range(0);
    Server server("xpc", frameSize());
    auto c = connectXpc(server);
    for (auto _ : state) {
        for (std::int64_t i = 0; i < batch; ++i) c->send(percentMessage(i));
        // Delivery is in order, so the answer to this request means every
        // message before it has arrived.
        XpcEvent reply = c->sendWithReplySync(percentMessage(-1));
        if (reply.isError()) state.SkipWithError(reply.errorDescription().c_str());
    }
    state.SetItemsProcessed(state.iterations() * batch);
    c->cancel();
}
BENCHMARK(BM_XpcOneWay)->Arg(1000)->UseRealTime();

UniqueFd connectRaw(const Server& server) {
    int err = 0;
    UniqueFd fd = xpcConnectSocket(server.path(), &err);
    if (!fd) std::abort();
    int flags = ::fcntl(fd.get(), F_GETFL);
    ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

void BM_RawUnixRoundTrip(benchmark::State& state) {
    const std::size_t size = frameSize();
    Server server("raw", size);
    UniqueFd fd = connectRaw(server);
    std::vector<std::uint8_t> record(size, 'x');
    record[0] = 'P';
    for (auto _ : state) {
        writeFull(fd.get(), record.data(), size);
        readFull(fd.get(), record.data(), size);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_RawUnixRoundTrip)->UseRealTime();

void BM_RawUnixOneWay(benchmark::State& state) {
    const std::int64_t batch = state.range(0);
    const std::size_t size = frameSize();
    Server server("raw", size);
    UniqueFd fd = connectRaw(server);
    std::vector<std::uint8_t> data(size, 'x'), ping(size, 'x');
    ping[0] = 'P';
    for (auto _ : state) {
        for (std::int64_t i = 0; i < batch; ++i) writeFull(fd.get(), data.data(), size);
        writeFull(fd.get(), ping.data(), size);
        readFull(fd.get(), ping.data(), size);
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_RawUnixOneWay)->Arg(1000)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--serve") == 0) {
        if (std::strcmp(argv[2], "raw") == 0) return serveRaw(argv[3], std::stoul(argv[4]));
        return serveXpc(argv[3]);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
