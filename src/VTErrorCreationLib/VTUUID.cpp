#include "VTErrorCreationLib/VTUUID.h"

#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <functional>

#include "Platform/Text/UuidText.h"

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
    auto bytes = platform::parseUuidText(text);
    if (!bytes) return std::nullopt;
    return VTUUID(*bytes);
}

void VTUUID::getUUIDBytes(std::uint8_t out[16]) const {
    std::memcpy(out, bytes_.data(), bytes_.size());
}

std::string VTUUID::UUIDString() const { return platform::formatUuidText(bytes_); }

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
