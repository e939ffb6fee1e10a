#include <gtest/gtest.h>

#include <unordered_set>

#include "VTErrorCreationLib/VTGateway.h"
#include "VTErrorCreationLib/VTUUID.h"

namespace {

// An object holding one UUID, to archive UUIDs as they appear in records.
class Holder : public VTFieldCodable<Holder> {
  public:
    static constexpr std::string_view kArchiveClassName = "Holder";
    static std::span<const VTField<Holder>> codingFields() {
        static const VTField<Holder> fields[] = {VTMakeField<&Holder::uuid>("uuid")};
        return fields;
    }
    std::optional<VTUUID> uuid;
};

// An archive whose UUID entry holds `bytes`.
class RawUUID : public VTCodable {
  public:
    explicit RawUUID(platform::Data bytes) : bytes_(std::move(bytes)) {}
    std::string_view archiveClassName() const override { return "NSUUID"; }
    void encodeWithCoder(VTKeyedArchiver& c) const override {
        c.encodeBytes("NS.uuidbytes", bytes_.data(), bytes_.size());
    }
    bool initWithCoder(VTKeyedUnarchiver&, platform::Error*) override { return false; }

  private:
    platform::Data bytes_;
};

class RawHolder : public VTCodable {
  public:
    explicit RawHolder(platform::Data bytes) : raw_(std::move(bytes)) {}
    std::string_view archiveClassName() const override { return "Holder"; }
    void encodeWithCoder(VTKeyedArchiver& c) const override { c.encodeObject("uuid", raw_); }
    bool initWithCoder(VTKeyedUnarchiver&, platform::Error*) override { return false; }

  private:
    RawUUID raw_;
};

TEST(VTUUID, TextFormEqualityAndHash) {
    auto u = VTUUID::initWithUUIDString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    ASSERT_TRUE(u);
    EXPECT_EQ(u->UUIDString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    std::uint8_t bytes[16];
    u->getUUIDBytes(bytes);
    VTUUID same = VTUUID::initWithUUIDBytes(bytes);
    EXPECT_EQ(same, *u);
    EXPECT_EQ(std::hash<VTUUID>()(same), std::hash<VTUUID>()(*u));
    EXPECT_NE(u->description().find("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"), std::string::npos);

    for (const char* bad :
         {"", "e621e1f8c36c495a93fc0c247a3e6e5f", "e621e1f8-c36c-495a-93fc-0c247a3e6e5",
          "g621e1f8-c36c-495a-93fc-0c247a3e6e5f", "e621e1f8-c36c-495a-93fc+0c247a3e6e5f"})
        EXPECT_FALSE(VTUUID::initWithUUIDString(bad)) << bad;

    std::unordered_set<VTUUID> fresh;
    for (int i = 0; i < 100; ++i) {
        VTUUID r;
        EXPECT_EQ(r.bytes()[6] >> 4, 4);
        EXPECT_EQ(r.bytes()[8] & 0xC0, 0x80);
        fresh.insert(r);
    }
    EXPECT_EQ(fresh.size(), 100u);
}

TEST(VTUUID, ArchivesInThePlatformForm) {
    Holder h;
    h.uuid = VTUUID();
    auto back = VTCodingUtilities::objectWithData<Holder>(
        VTKeyedArchiver::archivedDataWithRootObject(h), nullptr);
    ASSERT_TRUE(back && back->uuid);
    EXPECT_EQ(*back->uuid, *h.uuid);

    // A stored entry of the wrong length gives a fresh random UUID, not a failure.
    platform::Data fifteen(15, 0xAA);
    platform::Error error;
    auto odd = VTCodingUtilities::objectWithData<Holder>(
        VTKeyedArchiver::archivedDataWithRootObject(RawHolder(fifteen)), &error);
    ASSERT_TRUE(odd) << error.description();
    ASSERT_TRUE(odd->uuid);
    EXPECT_EQ(odd->uuid->bytes()[6] >> 4, 4);
}

TEST(VTGateway, FromURLs) {
    struct Case {
        const char* url;
        bool valid;
        const char* host;
        const char* uri;
        std::uint16_t port;
        bool ssl;
    } cases[] = {
        {"https://errors.example.com/a/b", true, "errors.example.com", "a/b", 0, true},
        {"https://errors.example.com:8443/a/b", true, "errors.example.com", "a/b", 8443, true},
        {"http://errors.example.com/a%20b?x=1#f", true, "errors.example.com", "a b", 0, false},
        {"https://errors.example.com:443/", true, "errors.example.com", "", 443, true},
        {"http://user@[::1]:8080/p", true, "::1", "p", 8080, false},
        {"httpsx://h/p", true, "h", "p", 0, true},
        {"errors.example.com/a", false, "", "", 0, false},
        {"https:///a", false, "", "", 0, false},
        {"mailto:someone", false, "", "", 0, false},
    };
    for (const auto& c : cases) {
        auto g = VTGateway::initWithTypePriorityURL(kVTGatewayTypeUpload, 3, c.url);
        ASSERT_EQ(g.has_value(), c.valid) << c.url;
        if (!g) continue;
        EXPECT_EQ(g->host(), c.host) << c.url;
        EXPECT_EQ(g->URI(), c.uri) << c.url;
        EXPECT_EQ(g->port(), c.port) << c.url;
        EXPECT_EQ(g->useSSL(), c.ssl) << c.url;
        EXPECT_EQ(g->priority(), 3u);
        EXPECT_EQ(g->type(), kVTGatewayTypeUpload);
    }
}

TEST(VTGateway, DefaultPortsEqualityAndDescription) {
    EXPECT_EQ(VTGateway(0, 1, 443, "h", "u", true).port(), 0);
    EXPECT_EQ(VTGateway(0, 1, 443, "h", "u", false).port(), 443);
    EXPECT_EQ(VTGateway(0, 1, 80, "h", "u", false).port(), 0);
    EXPECT_EQ(VTGateway(0, 1, 80, "h", "u", true).port(), 80);

    EXPECT_EQ(VTGateway(0, 1, 0, "h", "u", true), VTGateway(0, 9, 0, "h", "u", true));
    EXPECT_NE(VTGateway(0, 1, 0, "h", "u", true), VTGateway(1, 1, 0, "h", "u", true));
    EXPECT_NE(VTGateway(0, 1, 0, "h", "u", true), VTGateway(0, 1, 0, "h", "v", true));

    EXPECT_EQ(VTGateway(0, 1, 0, "h", "u/v", true).description(), "Ping: https://h/u/v");
    EXPECT_EQ(VTGateway(1, 1, 8080, "h", "u", false).description(), "Upload: http://h:8080/u");

    VTGateway g(1, 7, 8080, "h", "u", true);
    auto back = VTCodingUtilities::objectWithData<VTGateway>(
        VTKeyedArchiver::archivedDataWithRootObject(g), nullptr);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, g);
    EXPECT_EQ(back->priority(), 7u);
}

}  // namespace
