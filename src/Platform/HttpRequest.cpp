#include "Platform/HttpRequest.h"

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

namespace {

class DataBodySource : public HttpBodySource {
  public:
    explicit DataBodySource(std::shared_ptr<const Data> bytes) : bytes_(std::move(bytes)) {}
    std::int64_t length() const override {
        return bytes_ ? static_cast<std::int64_t>(bytes_->size()) : 0;
    }
    long read(char* buffer, std::size_t capacity, Error*) override {
        if (!bytes_) return 0;
        std::size_t n = std::min(capacity, bytes_->size() - offset_);
        if (n > 0) std::memcpy(buffer, bytes_->data() + offset_, n);
        offset_ += n;
        return static_cast<long>(n);
    }
    bool rewind() override {
        offset_ = 0;
        return true;
    }

  private:
    std::shared_ptr<const Data> bytes_;
    std::size_t offset_ = 0;
};

}  // namespace

std::shared_ptr<HttpBodySource> makeHttpBodySource(std::shared_ptr<const Data> bytes) {
    return std::make_shared<DataBodySource>(std::move(bytes));
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

}  // namespace platform
