// HTTP requests and responses as the URL-loading layer sees them.
//
// The layer keeps no cache and never stores or sends cookies; a request
// carries exactly the headers set on it (plus Host, Content-Length or
// Transfer-Encoding for bodies, and Range/If-Range for resumed downloads).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

namespace platform {

/// Header fields in order. Names compare without regard to case.
class HttpHeaders {
  public:
    using Field = std::pair<std::string, std::string>;

    /// Replaces every field of that name with one field (appended at the end
    /// when there was none).
    void set(std::string_view name, std::string value);
    /// Appends a field, keeping earlier ones of the same name.
    void add(std::string name, std::string value);
    void remove(std::string_view name);
    /// The first field of that name, or null.
    const std::string* get(std::string_view name) const;
    /// The first field of that name, or "".
    std::string value(std::string_view name) const;
    bool contains(std::string_view name) const { return get(name) != nullptr; }

    const std::vector<Field>& fields() const { return fields_; }
    bool empty() const { return fields_.empty(); }
    /// Appends text to the value of the last field (nothing when there is none).
    void appendToLastValue(std::string_view text);
    std::size_t size() const { return fields_.size(); }
    void clear() { fields_.clear(); }

    static bool namesEqual(std::string_view a, std::string_view b);

  private:
    std::vector<Field> fields_;
};

/// A request body produced slice by slice while it is sent (for large
/// uploads). read() and rewind() are called on the transfer thread, never
/// concurrently with each other; they must not throw. The transfer thread
/// may drop the last reference to the source, so a source must not own the
/// client that sends it.
class HttpBodySource {
  public:
    virtual ~HttpBodySource() = default;
    /// Total number of bytes, or -1 when not known in advance (the body is
    /// then sent with chunked transfer coding).
    virtual std::int64_t length() const = 0;
    /// Copies up to `capacity` bytes into `buffer`. Returns the number copied,
    /// 0 at the end of the body, or -1 on failure (filling `error`, which may
    /// be null). A kURLErrorDomain error ends the transfer as it is; any other
    /// becomes the underlying error of kURLErrorUnknown.
    virtual long read(char* buffer, std::size_t capacity, Error* error) = 0;
    /// Starts over from the first byte (needed when a request is sent again,
    /// e.g. after a redirect that keeps the method). Returns false when the
    /// source cannot start over; the default cannot.
    virtual bool rewind() { return false; }
};

/// A body source over bytes held in memory (shared, not copied).
std::shared_ptr<HttpBodySource> makeHttpBodySource(std::shared_ptr<const Data> bytes);
/// A body source over `size` bytes at `bytes`, which the caller keeps alive
/// and unchanged for the source's whole life.
std::shared_ptr<HttpBodySource> makeHttpBodySourceView(const void* bytes, std::size_t size);

class HttpRequest {
  public:
    /// Default idle time-out, in seconds.
    static constexpr double kDefaultTimeoutInterval = 60.0;

    HttpRequest() = default;
    explicit HttpRequest(std::string url) : url_(std::move(url)) {}

    const std::string& url() const { return url_; }
    void setURL(std::string url) { url_ = std::move(url); }

    /// "GET" unless set.
    const std::string& method() const { return method_; }
    void setMethod(std::string method) { method_ = std::move(method); }

    const HttpHeaders& headers() const { return headers_; }
    HttpHeaders& mutableHeaders() { return headers_; }
    void setHeader(std::string_view name, std::string value) {
        headers_.set(name, std::move(value));
    }
    std::string headerValue(std::string_view name) const { return headers_.value(name); }

    /// A body held in memory. Setting one drops any body source.
    const std::string& body() const { return body_; }
    void setBody(std::string body);
    void setBody(const Data& body);
    bool hasBody() const { return hasBody_ || bodySource_ != nullptr; }

    /// A streamed body. Setting one drops any in-memory body.
    const std::shared_ptr<HttpBodySource>& bodySource() const { return bodySource_; }
    void setBodySource(std::shared_ptr<HttpBodySource> source);

    /// Idle time-out in seconds: the request fails with the timed-out error
    /// when no byte moves in either direction for this long (connecting
    /// included). Values of 0 or below mean the default.
    double timeoutInterval() const { return timeoutInterval_; }
    void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }

    /// Time-out of connection set-up alone, in seconds; 0 (the default) leaves
    /// it to the idle time-out.
    double connectTimeout() const { return connectTimeout_; }
    void setConnectTimeout(double seconds) { connectTimeout_ = seconds; }

    /// Total time-out in seconds: the request fails with the timed-out error
    /// when it has not completed this long after it started, however steadily
    /// bytes move. 0 (the default) sets none.
    double totalTimeout() const { return totalTimeout_; }
    void setTotalTimeout(double seconds) { totalTimeout_ = seconds; }

    /// Whether redirects are followed (the default). When off, a redirect
    /// status is the final response.
    bool followsRedirects() const { return followsRedirects_; }
    void setFollowsRedirects(bool follow) { followsRedirects_ = follow; }

    /// Data transfers: the most body bytes accepted; a longer body ends the
    /// transfer with kURLErrorDataLengthExceedsMaximum. -1 (the default): no
    /// limit. Downloads to a file ignore it.
    std::int64_t maximumResponseLength() const { return maximumResponseLength_; }
    void setMaximumResponseLength(std::int64_t bytes) { maximumResponseLength_ = bytes; }

  private:
    std::string url_;
    std::string method_ = "GET";
    HttpHeaders headers_;
    std::string body_;
    bool hasBody_ = false;
    std::shared_ptr<HttpBodySource> bodySource_;
    double timeoutInterval_ = kDefaultTimeoutInterval;
    double connectTimeout_ = 0;
    double totalTimeout_ = 0;
    bool followsRedirects_ = true;
    std::int64_t maximumResponseLength_ = -1;
};

/// The head of a response: status, headers and the URL it came from (the
/// last one after redirects).
class HttpResponse {
  public:
    HttpResponse() = default;
    HttpResponse(int statusCode, HttpHeaders headers, std::string url)
        : statusCode_(statusCode), headers_(std::move(headers)), url_(std::move(url)) {}

    int statusCode() const { return statusCode_; }
    const HttpHeaders& headers() const { return headers_; }
    std::string headerValue(std::string_view name) const { return headers_.value(name); }
    const std::string& url() const { return url_; }

    /// The Content-Length of this response, or -1 when it has none.
    std::int64_t expectedContentLength() const;
    /// The entity tag when the response has one, otherwise its Last-Modified
    /// date, otherwise "": the value to send as If-Range when resuming.
    std::string resumeValidator() const;

  private:
    int statusCode_ = 0;
    HttpHeaders headers_;
    std::string url_;
};

/// Collects the head of a response as it arrives, one line at a time: a
/// status line starts a new head (an interim 1xx or redirect head is followed
/// by another), fields follow, an empty line ends it. Folded continuation
/// lines are joined to the field before them; lines that are neither are
/// ignored.
class HttpHeadReader {
  public:
    enum class LineKind { StatusLine, Field, End, Ignored };

    /// Takes one line, with or without its line break.
    LineKind addLine(std::string_view line);
    /// The status code of the current head (0 when its status line had none).
    int status() const { return status_; }
    const HttpHeaders& headers() const { return headers_; }

  private:
    int status_ = 0;
    HttpHeaders headers_;
};

/// The decimal number of a header value such as Content-Length, white space
/// around it allowed; nothing for anything else.
std::optional<std::uint64_t> parseHttpNumber(std::string_view value);

/// The first byte position of a Content-Range value "bytes N-M/T" (or
/// "bytes N-M/*"); nothing when the value is malformed.
std::optional<std::uint64_t> contentRangeStart(std::string_view value);

}  // namespace platform
