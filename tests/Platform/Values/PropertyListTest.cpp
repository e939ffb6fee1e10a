#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>

#include "Platform/Values/PropertyList.h"
#include "support/TempDir.h"

using platform::Array;
using platform::Data;
using platform::Date;
using platform::Dictionary;
using platform::Error;
using platform::PropertyList;
using platform::PropertyListFormat;
using platform::Value;

namespace platform {
// Readable failure messages for Value comparisons.
inline void PrintTo(const Value& v, std::ostream* os) { *os << v.description(); }
}  // namespace platform

namespace {

constexpr PropertyListFormat kFormats[] = {PropertyListFormat::XML, PropertyListFormat::Binary};

// Value equality treats 1 and 1u as equal; round trips must also keep the kind.
bool sameKinds(const Value& a, const Value& b) {
    if (a.type() != b.type()) return false;
    if (auto arr = a.asArray()) {
        const Array& other = *b.asArray();
        if (arr->size() != other.size()) return false;
        for (std::size_t i = 0; i < arr->size(); ++i)
            if (!sameKinds((*arr)[i], other[i])) return false;
    }
    if (auto dict = a.asDictionary()) {
        for (const auto& [k, v] : *dict) {
            const Value* w = b.get(k);
            if (!w || !sameKinds(v, *w)) return false;
        }
    }
    return true;
}

Value roundTrip(const Value& v, PropertyListFormat format) {
    Error error;
    auto data = PropertyList::toData(v, format, &error);
    EXPECT_TRUE(data) << error.description();
    if (!data) return {};
    PropertyListFormat read{};
    auto back = PropertyList::fromData(*data, &read, &error);
    EXPECT_TRUE(back) << error.description();
    EXPECT_EQ(read, format);
    return back.value_or(Value());
}

// A binary property list from raw objects (1-byte offsets and references).
Data bplist(const std::vector<Data>& objects, std::uint8_t top = 0) {
    Data out = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::vector<std::uint8_t> offsets;
    for (const Data& o : objects) {
        offsets.push_back(static_cast<std::uint8_t>(out.size()));
        out.insert(out.end(), o.begin(), o.end());
    }
    std::size_t table = out.size();
    out.insert(out.end(), offsets.begin(), offsets.end());
    Data trailer(32, 0);
    trailer[6] = 1;
    trailer[7] = 1;
    trailer[15] = static_cast<std::uint8_t>(objects.size());
    trailer[23] = top;
    trailer[31] = static_cast<std::uint8_t>(table);
    out.insert(out.end(), trailer.begin(), trailer.end());
    return out;
}

Data dateObject(double since2001) {
    std::uint64_t bits;
    std::memcpy(&bits, &since2001, 8);
    Data o = {0x33};
    for (int i = 7; i >= 0; --i) o.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    return o;
}

std::string nestedArraysXML(int depth) {
    std::string s = "<plist>";
    for (int i = 0; i < depth; ++i) s += "<array>";
    for (int i = 0; i < depth; ++i) s += "</array>";
    return s + "</plist>";
}

void expectReadCorrupt(const std::optional<Value>& v, const Error& error) {
    EXPECT_FALSE(v);
    EXPECT_EQ(error.domain(), platform::kCocoaErrorDomain);
    EXPECT_EQ(error.code(), platform::kPropertyListReadCorruptError);
    EXPECT_TRUE(error.userInfoValue(platform::kDebugDescriptionErrorKey));
}

const Value& sample() {
    static const Value v(Dictionary{
        {"bools", Array{true, false}},
        {"ints", Array{0, -1, std::numeric_limits<long long>::min(),
                       std::numeric_limits<long long>::max()}},
        {"unsigned", Array{9223372036854775808ull, std::numeric_limits<unsigned long long>::max()}},
        {"reals", Array{0.1, -2.5e-300, 1e300, 123456789.123456789, 3.0}},
        {"strings", Array{"", "plain", "<&>\"' ]]>", "Gr\u00fc\u00dfe \u2713 \U0001F600",
                          "tab\there\nnewline"}},
        {"data", Array{Data{}, Data{0, 1, 2, 255, 0}}},
        {"dates", Array{Date{0}, Date{978307200}, Date{-1e9}, Date{64092211200}}},
        {"nested",
         Array{Array{}, Dictionary{}, Dictionary{{"a", Array{Dictionary{{"b", Array{1}}}}}}}},
        {"", "empty key"},
        {"k\u00e9y & <key>", 1},
    });
    return v;
}

}  // namespace

TEST(PropertyListTest, EveryTypeRoundTripsInBothFormats) {
    for (auto format : kFormats) {
        Value back = roundTrip(sample(), format);
        EXPECT_EQ(back, sample()) << static_cast<int>(format) << ": " << back.description();
        EXPECT_TRUE(sameKinds(back, sample())) << static_cast<int>(format);
    }
    // Scalars at the top level too.
    for (auto format : kFormats)
        for (const Value& v : {Value(42), Value("top"), Value(Date{1.0e9}), Value(Data{9})})
            EXPECT_EQ(roundTrip(v, format), v);
}

TEST(PropertyListTest, BinaryKeepsDatesExactlyAndCountsFrom2001) {
    // The encoded double is seconds since 2001-01-01.
    auto data =
        PropertyList::toData(Value(Date{978307200.0 + 1.5}), PropertyListFormat::Binary, nullptr);
    ASSERT_TRUE(data);
    Data expected = bplist({dateObject(1.5)});
    EXPECT_EQ(*data, expected);

    struct Case {
        double since2001, since1970;
    } cases[] = {
        {-0.5, 978307199.5},  // between -1 and 0: sign must survive
        {-100.25, 978307099.75},
        {1.0e10, 978307200.0 + 1.0e10},  // beyond 2069, past 32-bit seconds
        {-3.0e9, 978307200.0 - 3.0e9},   // before 1933
        {0.000001, 978307200.000001},
    };
    for (const auto& c : cases) {
        auto v = PropertyList::fromData(bplist({dateObject(c.since2001)}), nullptr, nullptr);
        ASSERT_TRUE(v && v->isDate()) << c.since2001;
        EXPECT_DOUBLE_EQ(v->asDate()->secondsSince1970, c.since1970) << c.since2001;
        EXPECT_EQ(roundTrip(*v, PropertyListFormat::Binary), *v) << c.since2001;
    }
    EXPECT_EQ(roundTrip(Value(Date{1700000000.123456}), PropertyListFormat::Binary),
              Value(Date{1700000000.123456}));
    // XML holds whole seconds, rounded down on both sides of 2001.
    for (auto [written, read] : {std::pair{978307199.5, 978307199.0},
                                 {978307200.75, 978307200.0},
                                 {-0.5, -1.0},
                                 {1.0e10 + 0.9, 1.0e10}})
        EXPECT_EQ(roundTrip(Value(Date{written}), PropertyListFormat::XML), Value(Date{read}))
            << written;
}

TEST(PropertyListTest, XMLIntegersKeepSignAndUnsignedness) {
    auto v = PropertyList::fromData(
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><array>"
        "<integer>-1</integer><integer>18446744073709551615</integer>"
        "<integer>9223372036854775807</integer><real>2.5</real><true/>"
        "<date>1970-01-01T00:00:01Z</date><data>AAEC</data><string>a&amp;b</string>"
        "</array></plist>",
        nullptr, nullptr);
    ASSERT_TRUE(v);
    const Array& a = *v->asArray();
    ASSERT_EQ(a.size(), 8u);
    EXPECT_EQ(a[0].type(), Value::Type::Integer);
    EXPECT_EQ(a[0].int64Value(), -1);
    EXPECT_EQ(a[1].type(), Value::Type::Unsigned);
    EXPECT_EQ(a[1].uint64Value(), std::numeric_limits<unsigned long long>::max());
    EXPECT_EQ(a[2].type(), Value::Type::Integer);
    EXPECT_EQ(a[3], Value(2.5));
    EXPECT_EQ(a[4], Value(true));
    EXPECT_EQ(a[5], Value(Date{1}));
    EXPECT_EQ(a[6], Value(Data{0, 1, 2}));
    EXPECT_EQ(a[7], Value("a&b"));
}

TEST(PropertyListTest, KeyedArchiveUidReadsAsCFUIDDictionary) {
    auto v = PropertyList::fromData(bplist({{0xA1, 1}, {0x80, 7}}), nullptr, nullptr);
    ASSERT_TRUE(v);
    EXPECT_EQ(*v, Value(Array{Dictionary{{"CF$UID", 7}}}));
}

TEST(PropertyListTest, MalformedInputIsRefused) {
    const std::string cases[] = {
        "",
        "not a property list",
        "<plist><dict><key>a</key><string>unterminated",
        "bplist00",
        "bplist00garbage-that-is-long-enough-to-hold-a-trailer-of-32-bytes",
    };
    for (const auto& text : cases) {
        Error error;
        auto v = PropertyList::fromData(text, nullptr, &error);
        expectReadCorrupt(v, error);
    }
    struct BinaryCase {
        const char* what;
        Data bytes;
    } binaryCases[] = {
        {"array holding itself", bplist({{0xA1, 0}})},
        {"reference past the objects", bplist({{0xA1, 5}})},
        {"non-string key", bplist({{0xD1, 1, 1}, {0x10, 1}})},
        {"key holding NUL", bplist({{0xD1, 1, 2}, {0x62, 0, 'a', 0, 0}, {0x51, 'v'}})},
        {"string past its area", bplist({{0x5F, 0x10, 0x7F, 'x'}})},
        {"null object", bplist({{0x00}})},
        {"top object out of range", bplist({{0x10, 1}}, 3)},
    };
    for (const auto& c : binaryCases) {
        Error error;
        auto v = PropertyList::fromData(c.bytes, nullptr, &error);
        SCOPED_TRACE(c.what);
        expectReadCorrupt(v, error);
    }
}

TEST(PropertyListTest, EveryTruncationOfABinaryListFailsCleanly) {
    auto full = PropertyList::toData(sample(), PropertyListFormat::Binary, nullptr);
    ASSERT_TRUE(full);
    for (std::size_t n = 0; n < full->size(); ++n) {
        Error error;
        auto v = PropertyList::fromData(std::span(full->data(), n), nullptr, &error);
        ASSERT_FALSE(v) << "prefix of " << n << " bytes decoded";
        EXPECT_EQ(error.code(), platform::kPropertyListReadCorruptError);
    }
    // XML prefixes must not crash either; some may happen to parse.
    auto xml = PropertyList::toData(sample(), PropertyListFormat::XML, nullptr);
    ASSERT_TRUE(xml);
    for (std::size_t n = 0; n < xml->size(); n += 7)
        (void)PropertyList::fromData(std::span(xml->data(), n), nullptr, nullptr);
}

TEST(PropertyListTest, ExpansionAndNestingAreBounded) {
    // Six levels of 100 references to the next level: 10^12 values if expanded.
    std::vector<Data> objects;
    for (std::uint8_t level = 0; level < 6; ++level) {
        Data array = {0xAF, 0x10, 100};
        array.insert(array.end(), 100, static_cast<std::uint8_t>(level + 1));
        objects.push_back(array);
    }
    objects.push_back({0x51, 'x'});
    Error error;
    expectReadCorrupt(PropertyList::fromData(bplist(objects), nullptr, &error), error);

    EXPECT_TRUE(PropertyList::fromData(nestedArraysXML(500), nullptr, nullptr));
    expectReadCorrupt(PropertyList::fromData(nestedArraysXML(600), nullptr, &error), error);
    // Deep enough that releasing libplist's tree would overflow the stack.
    expectReadCorrupt(PropertyList::fromData(nestedArraysXML(1000000), nullptr, &error), error);
    // Markup inside declarations, comments, instructions and CDATA is not structure.
    auto hidden = PropertyList::fromData(
        "<!DOCTYPE plist [<!ENTITY x '</array>'>]><plist version=\"1>0\"><array>"
        "<!-- </array></plist> --><?pi </array>?><string><![CDATA[</string>]]></string>"
        "</array></plist>",
        nullptr, &error);
    ASSERT_TRUE(hidden) << error.description();
    EXPECT_EQ(*hidden, Value(Array{"</string>"}));

    Value deep(Array{});
    for (int i = 0; i < 600; ++i) deep = Value(Array{deep});
    EXPECT_FALSE(PropertyList::toData(deep, PropertyListFormat::Binary, &error));
    EXPECT_EQ(error.code(), platform::kPropertyListWriteInvalidError);
}

TEST(PropertyListTest, ValuesWithoutPropertyListFormAreRefused) {
    const Value cases[] = {
        Value(),
        Value(Array{1, Value(), 2}),
        Value(Dictionary{{"k", Value(Dictionary{{"null", Value()}})}}),
        Value(std::string("nul\0inside", 10)),
        Value(std::string("\xff\xfe bad utf-8")),
        Value(Dictionary{{std::string("bad\xc3key"), 1}}),
        Value(Date{std::nan("")}),
        Value(Date{1e300}),
    };
    for (const auto& v : cases) {
        EXPECT_FALSE(PropertyList::isValid(v)) << v.description();
        for (auto format : kFormats) {
            Error error;
            EXPECT_FALSE(PropertyList::toData(v, format, &error));
            EXPECT_EQ(error.domain(), platform::kCocoaErrorDomain);
            EXPECT_EQ(error.code(), platform::kPropertyListWriteInvalidError);
        }
    }
    EXPECT_TRUE(PropertyList::isValid(sample()));
}

TEST(PropertyListTest, FilesAreWrittenAtomicallyAndReadBack) {
    testsupport::TempDir dir;
    const std::string path = dir.file("Settings.plist");
    for (bool atomically : {true, false}) {
        for (auto format : kFormats) {
            Error error;
            ASSERT_TRUE(PropertyList::toFile(sample(), path, format, atomically, &error))
                << error.description();
            PropertyListFormat read{};
            auto back = PropertyList::fromFile(path, &read, &error);
            ASSERT_TRUE(back) << error.description();
            EXPECT_EQ(*back, sample());
            EXPECT_EQ(read, format);
        }
    }
    // Replacing keeps the file's mode and leaves no temporary file behind.
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(PropertyList::toFile(Value(Dictionary{{"v", 2}}), path, PropertyListFormat::XML,
                                     true, nullptr));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
    EXPECT_EQ(PropertyList::dictionaryWithContentsOfFile(path), (Dictionary{{"v", 2}}));

    // An invalid value leaves the old contents in place.
    EXPECT_FALSE(
        PropertyList::toFile(Value(Array{Value()}), path, PropertyListFormat::XML, true, nullptr));
    EXPECT_EQ(PropertyList::dictionaryWithContentsOfFile(path), (Dictionary{{"v", 2}}));

    Error error;
    EXPECT_FALSE(PropertyList::toFile(sample(), dir.file("missing/x.plist"),
                                      PropertyListFormat::XML, true, &error));
    EXPECT_EQ(error.code(), platform::kFileNoSuchFileError);
}

TEST(PropertyListTest, FileReadErrorsNameThePath) {
    testsupport::TempDir dir;
    const std::string missing = dir.file("absent.plist");
    Error error;
    EXPECT_FALSE(PropertyList::fromFile(missing, nullptr, &error));
    EXPECT_EQ(error.domain(), platform::kCocoaErrorDomain);
    EXPECT_EQ(error.code(), platform::kFileReadNoSuchFileError);
    ASSERT_TRUE(error.userInfoValue(platform::kFilePathErrorKey));
    EXPECT_EQ(error.userInfoValue(platform::kFilePathErrorKey)->stringValue(), missing);
    EXPECT_FALSE(PropertyList::dictionaryWithContentsOfFile(missing));

    const std::string corrupt = dir.write("corrupt.plist", "<plist><dict>");
    EXPECT_FALSE(PropertyList::fromFile(corrupt, nullptr, &error));
    EXPECT_EQ(error.code(), platform::kPropertyListReadCorruptError);
    EXPECT_EQ(error.userInfoValue(platform::kFilePathErrorKey)->stringValue(), corrupt);

    const std::string arrayFile = dir.write("array.plist", "<plist><array/></plist>");
    EXPECT_TRUE(PropertyList::fromFile(arrayFile, nullptr, nullptr));
    EXPECT_FALSE(PropertyList::dictionaryWithContentsOfFile(arrayFile));
}

TEST(PropertyListTest, UnreadableFileGives257) {
    testsupport::TempDir dir;
    const std::string path = dir.write("secret.plist", "<plist><true/></plist>");
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    // Root reads every file: check from a child that gives up its privileges.
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::geteuid() == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        } else if (::chmod(path.c_str(), 0) != 0) {
            ::_exit(2);
        }
        Error error;
        bool refused = !PropertyList::fromFile(path, nullptr, &error) &&
                       error.code() == platform::kFileReadNoPermissionError &&
                       error.userInfoValue(platform::kFilePathErrorKey);
        ::_exit(refused ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 2) << "could not drop privileges";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
