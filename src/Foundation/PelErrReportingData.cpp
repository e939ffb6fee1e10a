#include "Foundation/PelErrReportingData.h"

#include <cxxabi.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <typeinfo>

#include "Platform/Text/Unicode.h"
#include "Platform/Values/Json.h"

namespace {

using platform::Array;
using platform::Dictionary;
using platform::Value;

// The text with every byte that is not part of a valid UTF-8 sequence
// replaced by U+FFFD.
std::string validUTF8(const std::string& text) {
    if (platform::unicode::isValidUTF8(text)) return text;
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = c < 0x80           ? 1
                             : (c >> 5) == 0x6  ? 2
                             : (c >> 4) == 0xE  ? 3
                             : (c >> 3) == 0x1E ? 4
                                                : 0;
        if (length && i + length <= text.size() &&
            platform::unicode::isValidUTF8(std::string_view(text).substr(i, length))) {
            out.append(text, i, length);
            i += length;
        } else {
            platform::unicode::appendUTF8(out, 0xFFFD);
            ++i;
        }
    }
    return out;
}

Value jsonSafeValue(const Value& value);

Array jsonSafeArray(const Array& array) {
    Array out;
    out.reserve(array.size());
    for (const Value& element : array) out.push_back(jsonSafeValue(element));
    return out;
}

Dictionary jsonSafeDictionary(const Dictionary& dictionary) {
    Dictionary out;
    for (const auto& [key, value] : dictionary) out.emplace(validUTF8(key), jsonSafeValue(value));
    return out;
}

Value jsonSafeValue(const Value& value) {
    switch (value.type()) {
        case Value::Type::Null:
        case Value::Type::Bool:
        case Value::Type::Integer:
        case Value::Type::Unsigned:
            return value;
        case Value::Type::Real:
            return std::isfinite(value.doubleValue()) ? value : Value(value.description());
        case Value::Type::String:
            return validUTF8(*value.asString());
        case Value::Type::Array:
            return platform::json::isJSONSafe(value) ? value
                                                     : Value(jsonSafeArray(*value.asArray()));
        case Value::Type::Dictionary:
            return platform::json::isJSONSafe(value)
                       ? value
                       : Value(jsonSafeDictionary(*value.asDictionary()));
        case Value::Type::Data:
        case Value::Type::Date:
            break;
    }
    return validUTF8(value.description());
}

// The path of a URL text ("file:///a%20b" gives "/a b"); a text without a
// scheme is taken to be a path already.
std::string urlPath(const std::string& url) {
    const auto scheme = url.find("://");
    if (scheme == std::string::npos) return url;
    const auto slash = url.find('/', scheme + 3);
    if (slash == std::string::npos) return "";
    const auto end = url.find_first_of("?#", slash);
    const std::string raw = url.substr(slash, end == std::string::npos ? end : end - slash);
    std::string path;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '%' && i + 2 < raw.size() &&
            std::isxdigit(static_cast<unsigned char>(raw[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(raw[i + 2]))) {
            path += static_cast<char>(std::strtol(raw.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            path += raw[i];
        }
    }
    return path;
}

// The integer value of a text as the platform's strings read it: leading
// white space, an optional sign, then decimal digits.
std::int64_t textIntegerValue(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::uint64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (magnitude > (UINT64_MAX - 9) / 10) break;
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    const auto value = static_cast<std::int64_t>(magnitude);
    return negative ? -value : value;
}

// The first UTF-16 code unit of a text, as the platform's strings index it.
std::uint64_t firstCharacterCode(const std::string& text) {
    if (text.empty()) return 0;
    const auto c = static_cast<unsigned char>(text[0]);
    std::uint32_t cp = c;
    std::size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : 4;
    if (length > 1 && length <= text.size()) {
        cp = c & (0x7F >> length);
        for (std::size_t i = 1; i < length; ++i)
            cp = (cp << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
    }
    if (cp > 0xFFFF) cp = 0xD800 + ((cp - 0x10000) >> 10);  // the high surrogate
    return cp;
}

std::string demangled(const char* name) {
    int status = 0;
    char* readable = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    std::string out = status == 0 && readable ? readable : name;
    std::free(readable);
    return out;
}

}  // namespace

Dictionary PelErrReportingJSONSafeCopy(const Dictionary& dictionary) {
    if (platform::json::isJSONSafe(Value(dictionary))) return dictionary;
    return jsonSafeDictionary(dictionary);
}

Dictionary PelErrReportingErrorFailure(const platform::Error& error, const char* failure) {
    Dictionary userInfo = error.userInfo();
    if (const platform::Error* underlying = error.underlyingError())
        userInfo.insert_or_assign(std::string(platform::kUnderlyingErrorKey),
                                  PelErrReportingErrorFailure(*underlying, failure));
    auto url = userInfo.find(platform::kURLErrorKey);
    if (url != userInfo.end() && url->second.isString())
        url->second = urlPath(*url->second.asString());
    Dictionary out{{"domain", validUTF8(error.domain())},
                   {"code", static_cast<std::int64_t>(error.code())},
                   {"userInfo", PelErrReportingJSONSafeCopy(userInfo)}};
    if (failure) out.emplace("failure", validUTF8(failure));
    return out;
}

Dictionary PelErrReportingExceptionFailure(const platform::Exception& exception) {
    Dictionary out;
    Array addresses, symbols;
    for (std::uintptr_t a : exception.callStackReturnAddresses())
        addresses.emplace_back(static_cast<std::uint64_t>(a));
    if (!addresses.empty()) {
        for (std::string& s : exception.callStackSymbols()) symbols.emplace_back(std::move(s));
        out.emplace("BacktraceAddrs", std::move(addresses));
        out.emplace("BacktraceSymbols", std::move(symbols));
    }
    if (!exception.name().empty()) out.emplace("Name", exception.name());
    if (!exception.userInfo().empty()) out.emplace("UserInfo", exception.userInfo());
    if (!exception.reason().empty()) out.emplace("Description", exception.reason());
    return out;
}

Dictionary PelErrReportingCxxExceptionFailure(const std::exception& exception) {
    std::string name;
    try {
        const char* raw = typeid(exception).name();
        name = raw ? demangled(raw) : "nil C++ exception";
    } catch (const std::bad_typeid&) {
        name = "Bad type_id C++ exception";
    } catch (...) {
        name = "... exception";
    }
    const char* what = exception.what();
    return {{"Name", std::move(name)}, {"Description", what ? what : ""}};
}

std::optional<std::string> PelErrReportingFailureName(const Dictionary& failure) {
    auto text = [](const Value& v) { return v.isString() ? *v.asString() : v.description(); };
    auto name = failure.find("Name");
    if (name != failure.end()) return text(name->second);
    auto domain = failure.find("domain");
    auto code = failure.find("code");
    if (domain != failure.end() && code != failure.end())
        return text(domain->second) + ":" + text(code->second);
    if (code != failure.end()) return text(code->second);
    return std::nullopt;
}

std::optional<std::uint64_t> PelErrReportingLogicalErrorCode(const Dictionary& failure) {
    auto code = failure.find("code");
    if (code == failure.end()) return std::nullopt;
    if (code->second.isString()) {
        const std::string& text = *code->second.asString();
        const std::int64_t value = textIntegerValue(text);
        return value != 0 ? static_cast<std::uint64_t>(value) : firstCharacterCode(text);
    }
    if (code->second.type() == Value::Type::Unsigned) return code->second.uint64Value();
    return static_cast<std::uint64_t>(code->second.int64Value());
}
