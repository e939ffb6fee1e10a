#include "Downloader/FSDManifestValues.h"

#include "Platform/Text/Hex.h"
#include "Platform/Text/Unicode.h"

namespace fsdvalues {

const platform::Value* valueAtKeyPath(const platform::Dictionary& root, std::string_view keyPath) {
    const platform::Dictionary* dict = &root;
    for (;;) {
        const auto dot = keyPath.find('.');
        const auto it = dict->find(keyPath.substr(0, dot));
        if (it == dict->end()) return nullptr;
        if (dot == std::string_view::npos) return &it->second;
        dict = it->second.asDictionary();
        if (!dict) return nullptr;
        keyPath.remove_prefix(dot + 1);
    }
}

const platform::Value* valueAtKeyPath(const platform::Value& root, std::string_view keyPath) {
    const platform::Dictionary* dict = root.asDictionary();
    return dict ? valueAtKeyPath(*dict, keyPath) : nullptr;
}

std::optional<std::string> nonEmptyString(const platform::Dictionary& root,
                                          std::string_view keyPath) {
    const platform::Value* v = valueAtKeyPath(root, keyPath);
    if (!v || !v->isString() || v->asString()->empty()) return std::nullopt;
    return *v->asString();
}

std::optional<platform::Value> number(const platform::Dictionary& root, std::string_view keyPath) {
    const platform::Value* v = valueAtKeyPath(root, keyPath);
    if (!v || !v->isNumber()) return std::nullopt;
    return *v;
}

std::int64_t integerValue(const platform::Dictionary& root, std::string_view keyPath,
                          std::int64_t fallback) {
    const platform::Value* v = valueAtKeyPath(root, keyPath);
    if (!v || !(v->isNumber() || v->isString())) return fallback;
    return v->int64Value();
}

std::optional<platform::UuidBytes> uuid(const platform::Dictionary& root,
                                        std::string_view keyPath) {
    const platform::Value* v = valueAtKeyPath(root, keyPath);
    if (!v || !v->isString()) return std::nullopt;
    std::string_view text = *v->asString();
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
    return platform::parseUuidText(text);
}

std::optional<std::string> removingPercentEscapes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int hi = platform::hexDigitValue(text[i + 1]);
        const int lo = platform::hexDigitValue(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    if (!platform::unicode::isValidUTF8(out, false)) return std::nullopt;
    return out;
}

std::string addingPercentEscapes(std::string_view text) {
    static constexpr std::string_view kKept = "-_.!~*'();/?:@&=+$,#";
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        const bool alnum =
            (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z');
        if (alnum || (u < 0x80 && kKept.find(c) != std::string_view::npos)) {
            out += c;
        } else {
            out += '%';
            out += kDigits[u >> 4];
            out += kDigits[u & 0xF];
        }
    }
    return out;
}

std::optional<std::string> normalisedURL(std::string_view text) {
    if (text.empty()) return std::nullopt;
    auto plain = removingPercentEscapes(text);
    if (!plain) return std::nullopt;
    return addingPercentEscapes(*plain);
}

std::string uuidText(const std::optional<platform::UuidBytes>& uuid) {
    return uuid ? platform::formatUuidText(*uuid) : std::string();
}

}  // namespace fsdvalues
