#include "support/LoopbackHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace testsupport {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
constexpr std::size_t kMaxBodyBytes = 64 * 1024 * 1024;
constexpr std::size_t kMaxRequestsPerConnection = 10000;
constexpr std::size_t kMaxConnections = 1024;
constexpr auto kIdleLimit = 30s;   // a silent client is dropped after this
constexpr auto kStallLimit = 60s;  // a stall that nobody releases ends after this
constexpr auto kPollSlice = 50ms;  // how often blocked loops look at the stop flag
constexpr std::size_t kPieceBytes = 1024 * 1024;

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return std::string(s.substr(b, e - b));
}

const char* reasonFor(int status) {
    switch (status) {
        case 100:
            return "Continue";
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 202:
            return "Accepted";
        case 203:
            return "Non-Authoritative Information";
        case 204:
            return "No Content";
        case 206:
            return "Partial Content";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 303:
            return "See Other";
        case 304:
            return "Not Modified";
        case 307:
            return "Temporary Redirect";
        case 308:
            return "Permanent Redirect";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 416:
            return "Range Not Satisfiable";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

// A long run of the generated pattern, so that generated bodies are sent
// without building them.
const std::string& patternBlock() {
    static const std::string block = LoopbackHttpServer::generatedBody(0, kPieceBytes + 26);
    return block;
}

}  // namespace

// ---------------------------------------------------------------------------

std::string RecordedRequest::header(std::string_view name) const {
    for (const auto& [k, v] : headers)
        if (equalsIgnoringCase(k, name)) return v;
    return {};
}

bool RecordedRequest::hasHeader(std::string_view name) const {
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto& h) { return equalsIgnoringCase(h.first, name); });
}

std::string RecordedRequest::path() const { return target.substr(0, target.find('?')); }

std::string RecordedRequest::query() const {
    auto q = target.find('?');
    return q == std::string::npos ? std::string() : target.substr(q + 1);
}

ScriptedReply ScriptedReply::ok(std::string body) { return withStatus(200, std::move(body)); }

ScriptedReply ScriptedReply::withStatus(int status, std::string body) {
    ScriptedReply r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

ScriptedReply ScriptedReply::redirect(int status, std::string location) {
    ScriptedReply r = withStatus(status);
    r.headers.emplace_back("Location", std::move(location));
    return r;
}

// ---------------------------------------------------------------------------

class LoopbackHttpServer::Connection {
  public:
    Connection(LoopbackHttpServer& server, int fd) : server_(server), fd_(fd) {}

    void run() {
        for (std::size_t i = 0; i < kMaxRequestsPerConnection; ++i) {
            RecordedRequest request;
            if (!readRequest(request)) return;
            ScriptedReply reply = server_.nextReply(request);
            server_.record(request);
            if (!answer(request, reply)) return;
        }
    }

  private:
    // Reads more bytes into in_; false at end of stream, on error, on stop or
    // when the client stays silent for too long.
    bool readMore() {
        auto deadline = std::chrono::steady_clock::now() + kIdleLimit;
        while (!server_.stopping() && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            int r = ::poll(&p, 1, static_cast<int>(kPollSlice.count()));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return false;
            if (r == 0) continue;
            char buf[16384];
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            in_.append(buf, static_cast<std::size_t>(n));
            return true;
        }
        return false;
    }

    // Takes one CRLF-terminated line off in_.
    bool readLine(std::string& line) {
        for (;;) {
            auto eol = in_.find("\r\n");
            if (eol != std::string::npos) {
                line = in_.substr(0, eol);
                in_.erase(0, eol + 2);
                return true;
            }
            if (in_.size() > kMaxHeaderBytes || !readMore()) return false;
        }
    }

    bool readExactly(std::size_t count, std::string& out) {
        while (in_.size() < count)
            if (!readMore()) return false;
        out.append(in_, 0, count);
        in_.erase(0, count);
        return true;
    }

    bool readRequest(RecordedRequest& request) {
        std::string line;
        if (!readLine(line)) return false;
        auto sp1 = line.find(' ');
        auto sp2 = line.rfind(' ');
        if (sp1 == std::string::npos || sp2 == sp1) return false;
        request.method = line.substr(0, sp1);
        request.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
        request.version = line.substr(sp2 + 1);
        std::size_t headerBytes = line.size();
        for (;;) {
            if (!readLine(line)) return false;
            headerBytes += line.size();
            if (headerBytes > kMaxHeaderBytes) return false;
            if (line.empty()) break;
            auto colon = line.find(':');
            if (colon == std::string::npos) return false;
            request.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
        }
        if (equalsIgnoringCase(request.header("Expect"), "100-continue") &&
            !sendAll("HTTP/1.1 100 Continue\r\n\r\n"))
            return false;
        if (equalsIgnoringCase(request.header("Transfer-Encoding"), "chunked")) {
            request.bodyWasChunked = true;
            return readChunkedBody(request.body);
        }
        std::string length = request.header("Content-Length");
        if (length.empty()) return true;
        std::size_t n = 0;
        try {
            n = std::stoull(length);
        } catch (...) {
            return false;
        }
        if (n > kMaxBodyBytes) return false;
        return readExactly(n, request.body);
    }

    bool readChunkedBody(std::string& body) {
        std::string line;
        for (;;) {
            if (!readLine(line)) return false;
            std::size_t size = 0;
            try {
                size = std::stoull(line.substr(0, line.find(';')), nullptr, 16);
            } catch (...) {
                return false;
            }
            if (size == 0) break;
            if (body.size() + size > kMaxBodyBytes) return false;
            if (!readExactly(size, body)) return false;
            std::string crlf;
            if (!readExactly(2, crlf) || crlf != "\r\n") return false;
        }
        do {  // trailer lines up to the empty line
            if (!readLine(line)) return false;
        } while (!line.empty());
        return true;
    }

    bool sendAll(std::string_view data) {
        while (!data.empty()) {
            if (server_.stopping()) return false;
            ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                data.remove_prefix(static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) return false;
            // The peer is not reading: wait for room, looking at the stop flag now and then.
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, static_cast<int>(kPollSlice.count())) < 0 && errno != EINTR)
                return false;
        }
        return true;
    }

    // Parses "bytes=N-" or "bytes=N-M" against a body of `size` bytes.
    static bool parseRange(const std::string& value, std::uint64_t size, std::uint64_t& first,
                           std::uint64_t& last) {
        if (value.rfind("bytes=", 0) != 0) return false;
        std::string spec = value.substr(6);
        auto dash = spec.find('-');
        if (dash == std::string::npos || dash == 0 || spec.find(',') != std::string::npos)
            return false;
        try {
            first = std::stoull(spec.substr(0, dash));
            last = dash + 1 < spec.size() ? std::stoull(spec.substr(dash + 1)) : size - 1;
        } catch (...) {
            return false;
        }
        if (last >= size) last = size - 1;
        return true;
    }

    // Sends the reply; true when the connection stays open for another request.
    bool answer(const RecordedRequest& request, const ScriptedReply& reply) {
        if (reply.dropWithoutReply) return false;
        if (reply.stallBeforeReply) {
            server_.waitWhileStalled(kStallLimit);
            return false;
        }
        if (!reply.raw.empty()) {
            sendAll(reply.raw);
            return false;
        }

        const bool generated = reply.generatedBodySize > 0;
        const std::uint64_t size = generated ? reply.generatedBodySize : reply.body.size();
        std::uint64_t offset = 0, length = size;
        int status = reply.status;
        std::string contentRange;
        std::string range = request.header("Range");
        std::string ifRange = request.header("If-Range");
        bool validatorMatches = ifRange.empty() || (!reply.etag.empty() && ifRange == reply.etag) ||
                                (!reply.lastModified.empty() && ifRange == reply.lastModified);
        if (reply.supportRanges && !range.empty() && validatorMatches) {
            std::uint64_t first = 0, last = 0;
            if (parseRange(range, size, first, last)) {
                if (first >= size || first > last) {
                    status = 416;
                    length = 0;
                    contentRange = "bytes */" + std::to_string(size);
                } else {
                    status = 206;
                    offset = first;
                    length = last - first + 1;
                    contentRange = "bytes " + std::to_string(first) + "-" + std::to_string(last) +
                                   "/" + std::to_string(size);
                }
            }
        }

        const bool closeAfter = reply.closeConnection || reply.omitContentLength;
        std::string head = "HTTP/1.1 " + std::to_string(status) + " " +
                           (reply.reason.empty() ? reasonFor(status) : reply.reason) + "\r\n";
        if (!reply.etag.empty()) head += "ETag: " + reply.etag + "\r\n";
        if (!reply.lastModified.empty()) head += "Last-Modified: " + reply.lastModified + "\r\n";
        if (reply.supportRanges) head += "Accept-Ranges: bytes\r\n";
        if (!contentRange.empty()) head += "Content-Range: " + contentRange + "\r\n";
        for (const auto& [k, v] : reply.headers) head += k + ": " + v + "\r\n";
        if (reply.chunked)
            head += "Transfer-Encoding: chunked\r\n";
        else if (!reply.omitContentLength)
            head += "Content-Length: " + std::to_string(length) + "\r\n";
        if (closeAfter) head += "Connection: close\r\n";
        head += "\r\n";
        if (!sendAll(head)) return false;
        if (request.method == "HEAD" || status == 204 || status == 304) return !closeAfter;
        if (!sendBody(reply, offset, length)) return false;
        return !closeAfter;
    }

    bool sendBody(const ScriptedReply& reply, std::uint64_t offset, std::uint64_t length) {
        const bool generated = reply.generatedBodySize > 0;
        std::size_t piece = kPieceBytes;
        if (reply.trickleBytes > 0) piece = std::min(piece, reply.trickleBytes);
        if (reply.chunked) piece = std::min(piece, std::max<std::size_t>(reply.chunkSize, 1));
        std::uint64_t sent = 0;
        while (sent < length) {
            std::uint64_t n = std::min<std::uint64_t>(piece, length - sent);
            if (reply.closeAfterBodyBytes) {
                if (sent >= *reply.closeAfterBodyBytes) return false;
                n = std::min(n, *reply.closeAfterBodyBytes - sent);
            }
            if (reply.stallAfterBodyBytes) {
                if (sent >= *reply.stallAfterBodyBytes) {
                    server_.waitWhileStalled(kStallLimit);
                    return false;
                }
                n = std::min(n, *reply.stallAfterBodyBytes - sent);
            }
            std::uint64_t at = offset + sent;
            std::string_view bytes = generated ? std::string_view(patternBlock()).substr(at % 26, n)
                                               : std::string_view(reply.body).substr(at, n);
            if (reply.chunked) {
                char sizeLine[32];
                std::snprintf(sizeLine, sizeof sizeLine, "%llx\r\n",
                              static_cast<unsigned long long>(n));
                if (!sendAll(sizeLine) || !sendAll(bytes) || !sendAll("\r\n")) return false;
            } else if (!sendAll(bytes)) {
                return false;
            }
            sent += n;
            if (reply.trickleBytes > 0 && sent < length && server_.pause(reply.trickleDelay))
                return false;
        }
        // Reaching the cut-off exactly at the end still closes: for a chunked
        // body that drops the terminating chunk.
        if (reply.closeAfterBodyBytes && sent >= *reply.closeAfterBodyBytes) return false;
        if (reply.chunked && !sendAll("0\r\n\r\n")) return false;
        return true;
    }

    LoopbackHttpServer& server_;
    int fd_;
    std::string in_;
};

// ---------------------------------------------------------------------------

LoopbackHttpServer::LoopbackHttpServer() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) throw std::runtime_error("socket() failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 64) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port_ = ntohs(addr.sin_port);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

LoopbackHttpServer::~LoopbackHttpServer() { stop(); }

std::string LoopbackHttpServer::hostAndPort() const { return "127.0.0.1:" + std::to_string(port_); }

std::string LoopbackHttpServer::url(std::string_view target) const {
    return "http://" + hostAndPort() + std::string(target);
}

void LoopbackHttpServer::enqueue(ScriptedReply reply) {
    std::lock_guard lock(mutex_);
    script_.push_back(std::move(reply));
}

void LoopbackHttpServer::failFirst(int count, const ScriptedReply& failure) {
    std::lock_guard lock(mutex_);
    for (int i = 0; i < count; ++i) script_.push_front(failure);
}

void LoopbackHttpServer::setDefaultReply(ScriptedReply reply) {
    std::lock_guard lock(mutex_);
    defaultReply_ = std::move(reply);
}

void LoopbackHttpServer::setHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

std::vector<RecordedRequest> LoopbackHttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t LoopbackHttpServer::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

bool LoopbackHttpServer::waitForRequests(std::size_t count,
                                         std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

void LoopbackHttpServer::releaseStalls() {
    std::lock_guard lock(mutex_);
    ++stallGeneration_;
    changed_.notify_all();
}

void LoopbackHttpServer::stop() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        if (stopping_ && !acceptThread_.joinable()) return;
        stopping_ = true;
        changed_.notify_all();
        for (int fd : openFds_) ::shutdown(fd, SHUT_RDWR);
    }
    if (acceptThread_.joinable()) acceptThread_.join();
    {
        std::lock_guard lock(mutex_);
        threads.swap(connectionThreads_);
    }
    for (auto& t : threads) t.join();
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        listenFd_ = -1;
    }
}

bool LoopbackHttpServer::stopping() const {
    std::lock_guard lock(mutex_);
    return stopping_;
}

bool LoopbackHttpServer::waitWhileStalled(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    const std::uint64_t generation = stallGeneration_;
    changed_.wait_for(lock, limit, [&] { return stopping_ || stallGeneration_ != generation; });
    return stopping_;
}

bool LoopbackHttpServer::pause(std::chrono::milliseconds delay) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, delay, [&] { return stopping_; });
    return stopping_;
}

ScriptedReply LoopbackHttpServer::nextReply(const RecordedRequest& request) {
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        if (!handler_) {
            if (script_.empty()) return defaultReply_;
            ScriptedReply r = std::move(script_.front());
            script_.pop_front();
            return r;
        }
        handler = handler_;
    }
    return handler(request);
}

void LoopbackHttpServer::record(RecordedRequest request) {
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(request));
    changed_.notify_all();
}

void LoopbackHttpServer::acceptLoop() {
    while (!stopping()) {
        pollfd p{listenFd_, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(kPollSlice.count()));
        if (r <= 0) continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard lock(mutex_);
        if (stopping_ || connectionThreads_.size() >= kMaxConnections) {
            ::close(fd);
            continue;
        }
        openFds_.push_back(fd);
        connectionThreads_.emplace_back([this, fd] {
            try {
                Connection(*this, fd).run();
            } catch (...) {
                // A failing handler or allocation ends this connection only.
            }
            std::lock_guard lock(mutex_);
            openFds_.erase(std::remove(openFds_.begin(), openFds_.end(), fd), openFds_.end());
            ::close(fd);
        });
    }
}

std::uint16_t LoopbackHttpServer::unusedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket() failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot bind on 127.0.0.1");
    }
    ::close(fd);
    return ntohs(addr.sin_port);
}

std::string LoopbackHttpServer::generatedBody(std::uint64_t offset, std::uint64_t length) {
    std::string s(length, '\0');
    for (std::uint64_t i = 0; i < length; ++i) s[i] = generatedBodyByte(offset + i);
    return s;
}

}  // namespace testsupport
