// A scripted HTTP/1.1 server on 127.0.0.1 for tests and benchmarks.
//
// The server listens on an ephemeral port from construction until stop() or
// destruction, serves each connection on a thread of its own (persistent
// connections included), records every request it reads and answers from a
// script of replies. Replies can misbehave on purpose: close early, stall,
// trickle, send chunked bodies, honour byte ranges with If-Range, or send raw
// bytes. Every loop is bounded in count and time, so a test that forgets to
// answer a stall still ends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

/// One request as the server read it.
struct RecordedRequest {
    std::string method;
    std::string target;  // as sent: path and query
    std::string version;
    HeaderList headers;  // in order, names as sent
    std::string body;    // de-chunked when it came chunked
    bool bodyWasChunked = false;

    /// The first header of that name (case-insensitive), or "" when absent.
    std::string header(std::string_view name) const;
    bool hasHeader(std::string_view name) const;
    /// The target up to "?".
    std::string path() const;
    /// The target after "?", or "" without one.
    std::string query() const;
};

/// What the server answers to one request.
struct ScriptedReply {
    int status = 200;
    std::string reason;  // "" picks the usual text for the status
    HeaderList headers;  // extra headers; Content-Length and Transfer-Encoding are added here
    std::string body;
    /// When non-zero, the body is this many bytes of generatedBodyByte() instead of `body`.
    std::uint64_t generatedBodySize = 0;

    bool chunked = false;            // send the body with chunked transfer coding
    std::size_t chunkSize = 4096;    // chunk size when chunked
    bool omitContentLength = false;  // body delimited by closing the connection
    bool closeConnection = false;    // answer "Connection: close" and close afterwards

    /// Honour "Range: bytes=N-" / "bytes=N-M": 206 with Content-Range when If-Range
    /// is absent or equals `etag` or `lastModified`, the full 200 otherwise.
    bool supportRanges = false;
    std::string etag;          // sent as ETag when not empty
    std::string lastModified;  // sent as Last-Modified when not empty

    bool dropWithoutReply = false;  // close the connection without sending anything
    bool stallBeforeReply = false;  // send nothing until releaseStalls() or stop()
    /// Close the connection after this many body bytes.
    std::optional<std::uint64_t> closeAfterBodyBytes;
    /// Stop sending after this many body bytes until releaseStalls() or stop(), then close.
    std::optional<std::uint64_t> stallAfterBodyBytes;
    /// Send the body in pieces of this size with `trickleDelay` between them (0: at once).
    std::size_t trickleBytes = 0;
    std::chrono::milliseconds trickleDelay{0};
    /// When not empty, these bytes are sent verbatim in place of a built reply.
    std::string raw;

    static ScriptedReply ok(std::string body = {});
    static ScriptedReply withStatus(int status, std::string body = {});
    static ScriptedReply redirect(int status, std::string location);
};

class LoopbackHttpServer {
  public:
    using Handler = std::function<ScriptedReply(const RecordedRequest&)>;

    /// Starts listening on 127.0.0.1 at an ephemeral port. Throws std::runtime_error
    /// when no socket can be made.
    LoopbackHttpServer();
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    std::uint16_t port() const { return port_; }
    /// "127.0.0.1:<port>".
    std::string hostAndPort() const;
    /// "http://127.0.0.1:<port>" + target.
    std::string url(std::string_view target = "/") const;

    /// Appends a reply to the script; requests take scripted replies in order.
    void enqueue(ScriptedReply reply);
    /// The first `count` requests from now on get `failure`, before the rest of the script.
    void failFirst(int count, const ScriptedReply& failure);
    /// The reply once the script is used up (initially a 200 with an empty body).
    void setDefaultReply(ScriptedReply reply);
    /// A function that answers every request; it takes precedence over the script.
    /// Called on a connection thread.
    void setHandler(Handler handler);

    /// Every request read so far, in arrival order.
    std::vector<RecordedRequest> requests() const;
    std::size_t requestCount() const;
    /// Waits until at least `count` requests were read; false on time-out.
    bool waitForRequests(std::size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    /// Ends every stall in progress (its connection is closed); later stalls stall again.
    void releaseStalls();
    /// Stops listening, ends every connection and joins the threads. Idempotent.
    void stop();

    /// A port on 127.0.0.1 with no listener behind it (bound once, then released).
    static std::uint16_t unusedPort();
    /// The byte at `offset` of a generated body: a repeating lower-case alphabet.
    static char generatedBodyByte(std::uint64_t offset) {
        return static_cast<char>('a' + offset % 26);
    }
    /// `length` bytes of a generated body from `offset`.
    static std::string generatedBody(std::uint64_t offset, std::uint64_t length);

  private:
    class Connection;
    friend class Connection;

    void acceptLoop();
    ScriptedReply nextReply(const RecordedRequest& request);
    void record(RecordedRequest request);
    /// Waits until stalls are released, the server stops or `limit` passes; true
    /// when the server is stopping.
    bool waitWhileStalled(std::chrono::milliseconds limit);
    /// Sleeps for `delay` unless the server stops first; true when stopping.
    bool pause(std::chrono::milliseconds delay);
    bool stopping() const;

    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::thread acceptThread_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    std::uint64_t stallGeneration_ = 0;  // bumped by releaseStalls()
    std::deque<ScriptedReply> script_;
    ScriptedReply defaultReply_;
    Handler handler_;
    std::vector<RecordedRequest> requests_;
    std::vector<std::thread> connectionThreads_;
    std::vector<int> openFds_;
};

}  // namespace testsupport
