#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Platform/Xpc/XpcWire.h"

using namespace platform;

namespace {

std::vector<std::uint8_t> encodeFrame(const XpcObject& message,
                                      XpcFrameKind kind = XpcFrameKind::Message,
                                      std::uint64_t id = 0) {
    std::vector<std::uint8_t> out;
    XpcWireError e = XpcWireError::None;
    EXPECT_TRUE(encodeXpcFrame(kind, id, message, out, &e)) << xpcWireErrorDescription(e);
    return out;
}

// A frame with a hand-made payload and header fields.
std::vector<std::uint8_t> rawFrame(const std::vector<std::uint8_t>& payload, std::uint8_t kind = 1,
                                   std::uint64_t id = 0, std::uint8_t version = kXpcWireVersion,
                                   std::uint16_t flags = 0) {
    std::vector<std::uint8_t> f = {'P',
                                   'X',
                                   'P',
                                   'C',
                                   version,
                                   kind,
                                   static_cast<std::uint8_t>(flags),
                                   static_cast<std::uint8_t>(flags >> 8)};
    for (int i = 0; i < 8; ++i) f.push_back(static_cast<std::uint8_t>(id >> (8 * i)));
    for (int i = 0; i < 4; ++i) f.push_back(static_cast<std::uint8_t>(payload.size() >> (8 * i)));
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

struct ReadResult {
    std::vector<XpcFrame> frames;
    XpcWireError error = XpcWireError::None;
    bool truncatedAtEnd = false;
};

ReadResult readAll(const std::vector<std::uint8_t>& bytes, std::size_t chunk = SIZE_MAX,
                   const XpcWireLimits& limits = {}) {
    XpcFrameReader reader(limits);
    ReadResult r;
    for (std::size_t off = 0; off < bytes.size(); off += chunk) {
        std::size_t n = std::min(chunk, bytes.size() - off);
        reader.append(bytes.data() + off, n);
        for (;;) {
            XpcFrame f;
            auto s = reader.next(f);
            if (s == XpcFrameReader::Status::Frame) {
                r.frames.push_back(std::move(f));
                continue;
            }
            if (s == XpcFrameReader::Status::Failed) {
                r.error = reader.error();
                return r;
            }
            break;
        }
    }
    if (!reader.finish()) {
        r.error = reader.error();
        r.truncatedAtEnd = true;
    }
    return r;
}

XpcObject everyType() {
    XpcUuid uuid = *XpcUuid::fromString("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0");
    XpcObject nested = xpcDictionary(
        {{"inner", XpcObject::makeArray({XpcObject::makeInt64(-1), XpcObject::makeDictionary()})}});
    return xpcDictionary({
        {"null", XpcObject::makeNull()},
        {"true", XpcObject::makeBool(true)},
        {"false", XpcObject::makeBool(false)},
        {"int0", XpcObject::makeInt64(0)},
        {"intMin", XpcObject::makeInt64(std::numeric_limits<std::int64_t>::min())},
        {"intMax", XpcObject::makeInt64(std::numeric_limits<std::int64_t>::max())},
        {"uintMax", XpcObject::makeUint64(std::numeric_limits<std::uint64_t>::max())},
        {"uint5", XpcObject::makeUint64(5)},
        {"int5", XpcObject::makeInt64(5)},
        {"text5", XpcObject::makeString("5")},
        {"double", XpcObject::makeDouble(-0.1)},
        {"inf", XpcObject::makeDouble(std::numeric_limits<double>::infinity())},
        {"nan", XpcObject::makeDouble(std::nan(""))},
        {"empty", XpcObject::makeString("")},
        {"unicode", XpcObject::makeString("Gr\xC3\xBC\xC3\x9F"
                                          "e \xF0\x9F\x98\x80")},
        {"longText", XpcObject::makeString("Installing Device Security \xE2\x80\x94 42%")},
        {"data", XpcObject::makeData({0, 0xFF, 0x80, 0})},
        {"emptyData", XpcObject::makeData({})},
        {"uuid", XpcObject::makeUuid(uuid)},
        {"array", XpcObject::makeArray({XpcObject::makeString("a"), XpcObject::makeUint64(1)})},
        {"\xC3\xA9t\xC3\xA9", nested},
    });
}

}  // namespace

TEST(XpcWireTest, EveryTypeRoundTripsWithItsExactType) {
    XpcObject message = everyType();
    auto r = readAll(encodeFrame(message));
    ASSERT_EQ(r.error, XpcWireError::None) << xpcWireErrorDescription(r.error);
    ASSERT_EQ(r.frames.size(), 1u);
    const XpcObject& got = r.frames[0].message;
    EXPECT_EQ(got, message) << got.description();
    // Same number, three types: none may turn into another.
    EXPECT_NE(got.get("int5")->asInt64(), nullptr);
    EXPECT_NE(got.get("uint5")->asUint64(), nullptr);
    EXPECT_NE(got.get("text5")->asString(), nullptr);
    EXPECT_TRUE(std::signbit(got.getDouble("double")));
    EXPECT_TRUE(std::isnan(got.getDouble("nan")));

    // Keys out of order are taken too.
    auto unordered = readAll(rawFrame({0x09, 0x02, 0x01, 'b', 0x00, 0x01, 'a', 0x00}));
    ASSERT_EQ(unordered.frames.size(), 1u);
    EXPECT_EQ(unordered.frames[0].message,
              xpcDictionary({{"a", XpcObject::makeNull()}, {"b", XpcObject::makeNull()}}));
}

TEST(XpcWireTest, FramesSurviveAnySplitOfTheStream) {
    std::vector<std::uint8_t> stream = encodeFrame(everyType());
    auto second =
        encodeFrame(xpcDictionary({{"n", XpcObject::makeInt64(2)}}), XpcFrameKind::Request, 7);
    auto third = encodeFrame(xpcDictionary(), XpcFrameKind::Reply, 7);
    stream.insert(stream.end(), second.begin(), second.end());
    stream.insert(stream.end(), third.begin(), third.end());
    for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{19}, stream.size()}) {
        auto r = readAll(stream, chunk);
        ASSERT_EQ(r.error, XpcWireError::None) << "chunk " << chunk;
        ASSERT_EQ(r.frames.size(), 3u) << "chunk " << chunk;
        EXPECT_EQ(r.frames[0].message, everyType());
        EXPECT_EQ(r.frames[1].kind, XpcFrameKind::Request);
        EXPECT_EQ(r.frames[1].id, 7u);
        EXPECT_EQ(r.frames[1].message.getInt64("n"), 2);
        EXPECT_EQ(r.frames[2].kind, XpcFrameKind::Reply);
    }
}

TEST(XpcWireTest, EveryTruncationIsReportedAtEndOfStream) {
    auto frame = encodeFrame(everyType());
    for (std::size_t len = 1; len < frame.size(); ++len) {
        auto r = readAll({frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(len)});
        EXPECT_TRUE(r.frames.empty()) << len;
        EXPECT_TRUE(r.truncatedAtEnd) << len;
        EXPECT_EQ(r.error, XpcWireError::Truncated) << len;
    }
}

TEST(XpcWireTest, MalformedFramesAreRefused) {
    using B = std::vector<std::uint8_t>;
    // Dictionary with one entry "k" -> value.
    auto entry = [](B value) {
        B p = {0x09, 0x01, 0x01, 'k'};
        p.insert(p.end(), value.begin(), value.end());
        return p;
    };
    using namespace std::literals;
    // A string value of `s`'s bytes.
    auto text = [](std::string_view s) {
        B v = {0x05, static_cast<std::uint8_t>(s.size())};
        v.insert(v.end(), s.begin(), s.end());
        return v;
    };
    struct Case {
        const char* name;
        B frame;
        XpcWireError expected;
    } cases[] = {
        {"bad magic", B{'X', 'X', 'P', 'C'}, XpcWireError::BadMagic},
        {"future version", rawFrame({0x09, 0x00}, 1, 0, 2), XpcWireError::UnsupportedVersion},
        {"unknown kind", rawFrame({0x09, 0x00}, 9), XpcWireError::BadHeader},
        {"flags set", rawFrame({0x09, 0x00}, 1, 0, kXpcWireVersion, 0x100),
         XpcWireError::BadHeader},
        {"message with id", rawFrame({0x09, 0x00}, 1, 5), XpcWireError::BadHeader},
        {"request without id", rawFrame({0x09, 0x00}, 2, 0), XpcWireError::BadHeader},
        {"not a dictionary", rawFrame({0x05, 0x00}), XpcWireError::NotDictionary},
        {"trailing bytes", rawFrame({0x09, 0x00, 0x00}), XpcWireError::TrailingBytes},
        {"unknown tag", rawFrame(entry({0x7F})), XpcWireError::BadTag},
        {"bool byte 2", rawFrame(entry({0x01, 0x02})), XpcWireError::BadTag},
        {"over-long varint", rawFrame(entry({0x03, 0x80, 0x00})), XpcWireError::BadVarint},
        {"varint past 64 bits",
         rawFrame(entry({0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02})),
         XpcWireError::BadVarint},
        {"bad UTF-8 value", rawFrame(entry({0x05, 0x02, 0xC3, 0x28})), XpcWireError::BadUtf8},
        {"surrogate", rawFrame(entry({0x05, 0x03, 0xED, 0xA0, 0x80})), XpcWireError::BadUtf8},
        {"over-long UTF-8", rawFrame(entry({0x05, 0x02, 0xC0, 0xAF})), XpcWireError::BadUtf8},
        {"bad UTF-8 key", rawFrame({0x09, 0x01, 0x01, 0xFF, 0x00}), XpcWireError::BadUtf8},
        {"NUL in string", rawFrame(entry({0x05, 0x03, 'a', 0x00, 'b'})), XpcWireError::EmbeddedNul},
        // Long text is checked eight bytes at a time: faults inside a word,
        // in the bytes after the last whole word, and after ASCII words.
        {"NUL in a word", rawFrame(entry(text("abcdefghij\0lmnopqr"sv))),
         XpcWireError::EmbeddedNul},
        {"NUL at the end", rawFrame(entry(text("abcdefghijklmnop\0"sv))),
         XpcWireError::EmbeddedNul},
        {"bad UTF-8 after ASCII words", rawFrame(entry(text("abcdefghijklmnop\xC3\x28"sv))),
         XpcWireError::BadUtf8},
        {"NUL after non-ASCII", rawFrame(entry(text("abcdefgh\xC3\xA9ijkl\0"sv))),
         XpcWireError::EmbeddedNul},
        {"duplicate key", rawFrame({0x09, 0x02, 0x01, 'k', 0x00, 0x01, 'k', 0x00}),
         XpcWireError::DuplicateKey},
        {"duplicate key out of order",
         rawFrame({0x09, 0x03, 0x01, 'b', 0x00, 0x01, 'a', 0x00, 0x01, 'b', 0x00}),
         XpcWireError::DuplicateKey},
        {"string longer than frame", rawFrame(entry({0x05, 0x10, 'a'})), XpcWireError::Truncated},
        {"huge array count", rawFrame(entry({0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F})),
         XpcWireError::Truncated},
        {"double cut short", rawFrame(entry({0x04, 1, 2, 3})), XpcWireError::Truncated},
        {"uuid cut short", rawFrame(entry({0x07, 1, 2, 3})), XpcWireError::Truncated},
    };
    for (const auto& c : cases) {
        auto r = readAll(c.frame);
        EXPECT_TRUE(r.frames.empty()) << c.name;
        EXPECT_EQ(r.error, c.expected) << c.name << ": " << xpcWireErrorDescription(r.error);
    }
}

TEST(XpcWireTest, SizeAndDepthLimitsHoldBothWays) {
    XpcWireLimits limits;
    limits.maxFrameSize = 64;
    limits.maxDepth = 3;

    // An oversized header is refused before its payload arrives.
    auto big = rawFrame(std::vector<std::uint8_t>(100, 0));
    big.resize(kXpcFrameHeaderSize);
    EXPECT_EQ(readAll(big, SIZE_MAX, limits).error, XpcWireError::Oversized);

    XpcObject deep =
        xpcDictionary({{"a", xpcDictionary({{"b", xpcDictionary({{"c", xpcDictionary()}})}})}});
    XpcObject ok = xpcDictionary({{"a", xpcDictionary({{"b", XpcObject::makeArray()}})}});
    std::vector<std::uint8_t> out;
    XpcWireError e = XpcWireError::None;
    EXPECT_FALSE(encodeXpcFrame(XpcFrameKind::Message, 0, deep, out, &e, limits));
    EXPECT_EQ(e, XpcWireError::TooDeep);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(encodeXpcFrame(XpcFrameKind::Message, 0, ok, out, &e, limits));
    EXPECT_EQ(readAll(encodeFrame(deep), SIZE_MAX, limits).error, XpcWireError::TooDeep);

    XpcObject large = xpcDictionary({{"s", XpcObject::makeString(std::string(60, 'x'))}});
    out.clear();
    EXPECT_FALSE(encodeXpcFrame(XpcFrameKind::Message, 0, large, out, &e, limits));
    EXPECT_EQ(e, XpcWireError::Oversized);
    EXPECT_EQ(readAll(encodeFrame(large), SIZE_MAX, limits).error, XpcWireError::Oversized);

    // A nesting far beyond any limit is refused without exhausting the stack.
    std::vector<std::uint8_t> nested;
    for (int i = 0; i < 100000; ++i) nested.insert(nested.end(), {0x08, 0x01});
    nested.push_back(0x00);
    std::vector<std::uint8_t> payload = {0x09, 0x01, 0x01, 'k'};
    payload.insert(payload.end(), nested.begin(), nested.end());
    XpcWireLimits roomy;
    roomy.maxFrameSize = 1 << 20;
    EXPECT_EQ(readAll(rawFrame(payload), SIZE_MAX, roomy).error, XpcWireError::TooDeep);
}

TEST(XpcWireTest, EncoderRefusesWhatTheDecoderWouldRefuse) {
    struct Case {
        const char* name;
        XpcObject message;
        XpcWireError expected;
    } cases[] = {
        {"bad UTF-8", xpcDictionary({{"k", XpcObject::makeString("\xC3")}}), XpcWireError::BadUtf8},
        {"NUL", xpcDictionary({{"k", XpcObject::makeString(std::string("a\0b", 3))}}),
         XpcWireError::EmbeddedNul},
        {"bad key", xpcDictionary({{"\xFF", XpcObject::makeNull()}}), XpcWireError::BadUtf8},
        {"not a dictionary", XpcObject::makeArray(), XpcWireError::NotDictionary},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> out;
        XpcWireError e = XpcWireError::None;
        EXPECT_FALSE(encodeXpcFrame(XpcFrameKind::Message, 0, c.message, out, &e)) << c.name;
        EXPECT_EQ(e, c.expected) << c.name;
        EXPECT_TRUE(out.empty()) << c.name;
    }
}

TEST(XpcWireTest, ReaderStaysFailedAfterAnError) {
    XpcFrameReader reader;
    std::uint8_t junk[] = {'J', 'U', 'N', 'K'};
    reader.append(junk, sizeof junk);
    XpcFrame f;
    EXPECT_EQ(reader.next(f), XpcFrameReader::Status::Failed);
    auto good = encodeFrame(xpcDictionary());
    reader.append(good.data(), good.size());
    EXPECT_EQ(reader.next(f), XpcFrameReader::Status::Failed);
    EXPECT_EQ(reader.error(), XpcWireError::BadMagic);
}
