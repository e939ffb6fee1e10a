#include "Platform/Http/HttpRequest.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

namespace platform {

bool HttpHeaders::namesEqual(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

void HttpHeaders::set(std::string_view name, std::string value) {
    auto first = std::find_if(fields_.begin(), fields_.end(),
                              [&](const Field& f) { return namesEqual(f.first, name); });
    if (first == fields_.end()) {
        fields_.emplace_back(std::string(name), std::move(value));
        return;
    }
    first->second = std::move(value);
    fields_.erase(std::remove_if(first + 1, fields_.end(),
                                 [&](const Field& f) { return namesEqual(f.first, name); }),
                  fields_.end());
}

void HttpHeaders::add(std::string name, std::string value) {
    fields_.emplace_back(std::move(name), std::move(value));
}

void HttpHeaders::remove(std::string_view name) {
    fields_.erase(std::remove_if(fields_.begin(), fields_.end(),
                                 [&](const Field& f) { return namesEqual(f.first, name); }),
                  fields_.end());
}

const std::string* HttpHeaders::get(std::string_view name) const {
    for (const auto& f : fields_)
        if (namesEqual(f.first, name)) return &f.second;
    return nullptr;
}

std::string HttpHeaders::value(std::string_view name) const {
    const std::string* v = get(name);
    return v ? *v : std::string();
}

void HttpHeaders::appendToLastValue(std::string_view text) {
    if (!fields_.empty()) fields_.back().second += text;
}

namespace {

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

bool parseUnsigned(std::string_view s, std::uint64_t& value) {
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && ptr == s.data() + s.size() && !s.empty();
}

// Reads bytes in memory in place; `owner`, when set, keeps them alive.
class MemoryBodySource : public HttpBodySource {
  public:
    MemoryBodySource(const void* bytes, std::size_t size, std::shared_ptr<const void> owner)
        : bytes_(static_cast<const char*>(bytes)), size_(size), owner_(std::move(owner)) {}
    std::int64_t length() const override { return static_cast<std::int64_t>(size_); }
    long read(char* buffer, std::size_t capacity, Error*) override {
        std::size_t n = std::min(capacity, size_ - offset_);
        if (n > 0) std::memcpy(buffer, bytes_ + offset_, n);
        offset_ += n;
        return static_cast<long>(n);
    }
    bool rewind() override {
        offset_ = 0;
        return true;
    }

  private:
    const char* bytes_;
    std::size_t size_;
    std::shared_ptr<const void> owner_;
    std::size_t offset_ = 0;
};

}  // namespace

std::optional<std::uint64_t> parseHttpNumber(std::string_view value) {
    std::uint64_t number = 0;
    if (!parseUnsigned(trimmed(value), number)) return std::nullopt;
    return number;
}

std::shared_ptr<HttpBodySource> makeHttpBodySource(std::shared_ptr<const Data> bytes) {
    if (!bytes) return std::make_shared<MemoryBodySource>(nullptr, 0, nullptr);
    const Data& data = *bytes;
    return std::make_shared<MemoryBodySource>(data.data(), data.size(), std::move(bytes));
}

std::shared_ptr<HttpBodySource> makeHttpBodySourceView(const void* bytes, std::size_t size) {
    return std::make_shared<MemoryBodySource>(bytes, size, nullptr);
}

void HttpRequest::setBody(std::string body) {
    body_ = std::move(body);
    hasBody_ = true;
    bodySource_.reset();
}

void HttpRequest::setBody(const Data& body) { setBody(std::string(body.begin(), body.end())); }

void HttpRequest::setBodySource(std::shared_ptr<HttpBodySource> source) {
    bodySource_ = std::move(source);
    body_.clear();
    hasBody_ = false;
}

std::int64_t HttpResponse::expectedContentLength() const {
    const std::string* v = headers_.get("Content-Length");
    if (!v) return -1;
    std::int64_t n = -1;
    const char* begin = v->data();
    const char* end = begin + v->size();
    while (begin < end && *begin == ' ') ++begin;
    auto [ptr, ec] = std::from_chars(begin, end, n);
    if (ec != std::errc() || n < 0) return -1;
    while (ptr < end && *ptr == ' ') ++ptr;
    return ptr == end ? n : -1;
}

std::string HttpResponse::resumeValidator() const {
    std::string etag = headers_.value("ETag");
    // A weak tag does not identify the bytes, so it cannot guard a range.
    if (!etag.empty() && etag.rfind("W/", 0) != 0) return etag;
    return headers_.value("Last-Modified");
}

HttpHeadReader::LineKind HttpHeadReader::addLine(std::string_view line) {
    std::string_view text = trimmed(line);
    if (text.substr(0, 5) == "HTTP/") {
        status_ = 0;
        headers_.clear();
        auto space = text.find(' ');
        if (space != std::string_view::npos) {
            std::string_view code = text.substr(space + 1, 3);
            int status = 0;
            auto [ptr, ec] = std::from_chars(code.data(), code.data() + code.size(), status);
            if (ec == std::errc() && ptr == code.data() + code.size()) status_ = status;
        }
        return LineKind::StatusLine;
    }
    if (text.empty()) return LineKind::End;
    if (line.front() == ' ' || line.front() == '\t') {
        if (headers_.empty()) return LineKind::Ignored;
        headers_.appendToLastValue(" ");
        headers_.appendToLastValue(text);
        return LineKind::Field;
    }
    auto colon = text.find(':');
    if (colon == std::string_view::npos) return LineKind::Ignored;
    headers_.add(std::string(trimmed(text.substr(0, colon))),
                 std::string(trimmed(text.substr(colon + 1))));
    return LineKind::Field;
}

std::optional<std::uint64_t> contentRangeStart(std::string_view value) {
    value = trimmed(value);
    if (value.substr(0, 6) != "bytes ") return std::nullopt;
    value.remove_prefix(6);
    auto dash = value.find('-');
    auto slash = value.find('/');
    std::uint64_t first = 0, last = 0, total = 0;
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash ||
        !parseUnsigned(trimmed(value.substr(0, dash)), first) ||
        !parseUnsigned(trimmed(value.substr(dash + 1, slash - dash - 1)), last) || last < first)
        return std::nullopt;
    std::string_view size = trimmed(value.substr(slash + 1));
    if (size != "*" && (!parseUnsigned(size, total) || last >= total)) return std::nullopt;
    return first;
}

}  // namespace platform
