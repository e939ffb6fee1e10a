// The library's UUID value: 16 bytes in the standard binary order, shown in
// the standard 36-character form with upper-case digits. Archived in the
// platform UUID's form (class "NSUUID", the bytes under "NS.uuidbytes"), so
// summary files name the class they always named.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "VTErrorCreationLib/Utilities/VTCoding.h"

class VTUUID : public VTCodable {
  public:
    static constexpr std::string_view kArchiveClassName = "NSUUID";
    using Bytes = std::array<std::uint8_t, 16>;

    /// A new random (version 4) UUID.
    VTUUID();
    static VTUUID UUID() { return VTUUID(); }
    explicit VTUUID(const Bytes& bytes) : bytes_(bytes) {}
    static VTUUID initWithUUIDBytes(const std::uint8_t bytes[16]);
    /// The parsed UUID (either case), or nullopt when the text is not a UUID.
    static std::optional<VTUUID> initWithUUIDString(std::string_view text);

    void getUUIDBytes(std::uint8_t out[16]) const;
    const Bytes& bytes() const { return bytes_; }
    /// "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
    std::string UUIDString() const;
    /// "<VTUUID 0x...> " followed by the text form.
    std::string description() const;
    std::size_t hash() const;

    friend bool operator==(const VTUUID& a, const VTUUID& b) { return a.bytes_ == b.bytes_; }
    friend bool operator!=(const VTUUID& a, const VTUUID& b) { return !(a == b); }

    // Archiving. A stored entry of any length but 16 decodes as a fresh
    // random UUID.
    std::string_view archiveClassName() const override { return kArchiveClassName; }
    void encodeWithCoder(VTKeyedArchiver& coder) const override;
    bool initWithCoder(VTKeyedUnarchiver& coder, platform::Error* error) override;
    /// The value form used in value dictionaries and match patterns: the text form.
    platform::Value codingValue() const { return platform::Value(UUIDString()); }
    static std::optional<VTUUID> fromCodingValue(const platform::Value& value);

  private:
    Bytes bytes_{};
};

template <>
struct std::hash<VTUUID> {
    std::size_t operator()(const VTUUID& u) const noexcept { return u.hash(); }
};
