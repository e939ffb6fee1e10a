#include <errno.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "Foundation/PelCFUtilities.h"
#include "Platform/Values/PropertyList.h"
#include "support/TempDir.h"

namespace {

const char kXmlDict[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict><key>Identifier</key><string>com.pelgrave.x</string></dict></plist>
)";

const char kXmlArray[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><array><string>a</string></array></plist>
)";

std::string binaryDict() {
    auto data = platform::PropertyList::toData(
        platform::Value(platform::Dictionary{{"n", platform::Value(7)}}),
        platform::PropertyListFormat::Binary, nullptr);
    return data ? std::string(data->begin(), data->end()) : std::string();
}

std::string siloed(std::unique_ptr<char, decltype(&std::free)> p) {
    return p ? std::string(p.get()) : "(null)";
}

}  // namespace

TEST(PelCFUtilitiesTest, ReadsDictionariesInEitherFormat) {
    testsupport::TempDir dir;
    auto xml = dir.write("Registry/a module.plist", kXmlDict);
    auto bin = dir.write("odd %20 name.plist", binaryDict());

    platform::Error error;
    auto a = PelCFDictionaryCreateWithContentsOfFileAtPathWithError(
        xml, kPelPropertyListMutableContainers, &error);
    ASSERT_TRUE(a) << error.description();
    EXPECT_EQ(a->at("Identifier"), platform::Value("com.pelgrave.x"));

    // The path goes through a file URL and back, escapes and all.
    auto b = PelCFDictionaryCreateWithContentsOfFileAtPathWithError(bin, kPelPropertyListImmutable,
                                                                    &error);
    ASSERT_TRUE(b) << error.description();
    EXPECT_EQ(b->at("n"), platform::Value(7));
    auto url = PelFileURLWithPath(bin);
    ASSERT_TRUE(url);
    EXPECT_NE(url->find("odd%20%2520%20name.plist"), std::string::npos) << *url;
    EXPECT_TRUE(PelCFDictionaryCreateWithContentsOfURL(*url, 0, nullptr));
}

TEST(PelCFUtilitiesTest, FailuresFillTheError) {
    testsupport::TempDir dir;
    auto array = dir.write("array.plist", kXmlArray);
    auto bin = binaryDict();
    auto truncated = dir.write("truncated.plist", bin.substr(0, bin.size() / 2));
    auto xmlCut = dir.write("cut.plist", std::string(kXmlDict).substr(0, 120));

    struct {
        std::string path;
        std::string domain;
        long code;
    } cases[] = {
        {array, kPelErrDomainCoreFoundation, kPelErrCodeNotADictionary},
        {dir.file("missing.plist"), std::string(platform::kPOSIXErrorDomain), ENOENT},
        {dir.path().string(), std::string(platform::kPOSIXErrorDomain), EISDIR},
        {truncated, std::string(platform::kCocoaErrorDomain),
         platform::kPropertyListReadCorruptError},
        {xmlCut, std::string(platform::kCocoaErrorDomain), platform::kPropertyListReadCorruptError},
        {"", kPelErrDomainCoreFoundation, kPelErrCodeNotAFileURL},
    };
    for (const auto& c : cases) {
        platform::Error error("unset", 99);
        EXPECT_FALSE(PelCFDictionaryCreateWithContentsOfFileAtPathWithError(c.path, 0, &error))
            << c.path;
        EXPECT_EQ(error.domain(), c.domain) << c.path;
        EXPECT_EQ(error.code(), c.code) << c.path;
        EXPECT_FALSE(PelCFDictionaryCreateWithContentsOfFileAtPathWithError(c.path, 0, nullptr));
    }
    platform::Error error;
    PelCFDictionaryCreateWithContentsOfFileAtPathWithError(array, 0, &error);
    EXPECT_TRUE(error.userInfo().empty());

    // A URL that cannot be read as a file still yields an error.
    struct {
        const char* url;
        long code;
    } urls[] = {{"http://127.0.0.1/x.plist", 262}, {"file://host/x", 258}, {"file:///bad%zz", 258}};
    for (const auto& u : urls) {
        platform::Error e("unset", 99);
        EXPECT_FALSE(PelCFDictionaryCreateWithContentsOfURL(u.url, 0, &e));
        EXPECT_EQ(e.domain(), platform::kCocoaErrorDomain) << u.url;
        EXPECT_EQ(e.code(), u.code) << u.url;
    }
}

TEST(PelCFUtilitiesTest, SiloedPaths) {
    using Held = std::unique_ptr<char, decltype(&std::free)>;
    const std::string silo = "/Library/Application Support/Pelgrave/Silo/TLW";
    EXPECT_STREQ(PelGetSiloName(), "TLW");
    EXPECT_EQ(siloed(Held(
                  PelCreateSiloedPath("/Library/Application Support/Pelgrave", "Vantrel", nullptr),
                  &std::free)),
              silo + "/Vantrel");
    EXPECT_EQ(siloed(Held(PelCreateSiloedPath("ignored", "Vantrel", nullptr), &std::free)),
              silo + "/Vantrel");
    EXPECT_EQ(siloed(Held(PelCreateSiloedPath(nullptr, nullptr), &std::free)), silo);
    EXPECT_EQ(siloed(Held(PelCreateSiloedPath("", "a", "b c", "", nullptr), &std::free)),
              silo + "/a/b c/");
    EXPECT_EQ(siloed(Held(PelCreateSiloedPath("", "/abs", nullptr), &std::free)), silo + "//abs");
    EXPECT_EQ(PelForceMemError(), -108);
}
