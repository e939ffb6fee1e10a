#include "VTErrorCreationLib/VTUUID.h"

#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <functional>

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

VTUUID::VTUUID() {
    arc4random_buf(bytes_.data(), bytes_.size());
    bytes_[6] = static_cast<std::uint8_t>((bytes_[6] & 0x0F) | 0x40);
    bytes_[8] = static_cast<std::uint8_t>((bytes_[8] & 0x3F) | 0x80);
}

VTUUID VTUUID::initWithUUIDBytes(const std::uint8_t bytes[16]) {
    Bytes b;
    std::memcpy(b.data(), bytes, b.size());
    return VTUUID(b);
}

std::optional<VTUUID> VTUUID::initWithUUIDString(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    Bytes b{};
    std::size_t out = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        int hi = hexDigit(text[i]);
        int lo = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
        if (hi < 0 || lo < 0) return std::nullopt;
        b[out++] = static_cast<std::uint8_t>(hi << 4 | lo);
        i += 2;
    }
    return VTUUID(b);
}

void VTUUID::getUUIDBytes(std::uint8_t out[16]) const {
    std::memcpy(out, bytes_.data(), bytes_.size());
}

std::string VTUUID::UUIDString() const {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(36);
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
        s += kDigits[bytes_[i] >> 4];
        s += kDigits[bytes_[i] & 0x0F];
    }
    return s;
}

std::string VTUUID::description() const {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    return "<VTUUID " + std::string(address) + "> " + UUIDString();
}

std::size_t VTUUID::hash() const {
    return std::hash<std::string_view>()(
        std::string_view(reinterpret_cast<const char*>(bytes_.data()), bytes_.size()));
}

void VTUUID::encodeWithCoder(VTKeyedArchiver& coder) const {
    coder.encodeBytes("NS.uuidbytes", bytes_.data(), bytes_.size());
}

bool VTUUID::initWithCoder(VTKeyedUnarchiver& coder, platform::Error*) {
    const platform::Data* stored = coder.decodeBytes("NS.uuidbytes");
    if (stored && stored->size() == 16)
        std::memcpy(bytes_.data(), stored->data(), 16);
    else
        *this = VTUUID();
    return true;
}

std::optional<VTUUID> VTUUID::fromCodingValue(const platform::Value& value) {
    if (value.isString()) return initWithUUIDString(*value.asString());
    if (const auto* d = value.asData(); d && d->size() == 16) return initWithUUIDBytes(d->data());
    return std::nullopt;
}
