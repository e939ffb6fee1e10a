#include <gtest/gtest.h>

#include <cstdio>

#include "VTErrorCreationLib/VTErrorProperties.h"
#include "support/TempDir.h"

namespace {

using platform::Dictionary;
using platform::Value;

VTErrorProperties sampleRecord() {
    VTErrorProperties p;
    p.setFailureType(kVTFailureTypeLogicalError);
    p.setFailureSeverity(2);
    p.setCreationTime(platform::Date{1700000000.25});
    p.setFailureUUID(*VTUUID::initWithUUIDString("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"));
    p.setBucketId(0xabcd1234);
    p.setProductName("Pelgrave Total");
    p.setProductVersion("8.4.2f21");
    p.setProductLanguages(platform::Array{Value("en")});
    p.setClientVersion("8.4.2f21");
    p.setThreadNumber(-1);
    p.setProcessID(4242);
    p.setLocaleName("en-US");
    p.setProcessUID(501);
    p.setSystemUptime(12345.5);
    p.setModuleOffset(0xF000000000000010ull);
    p.setMid(VTUUID());
    p.setFailureAddress(0x7fff12345678ull);
    p.setLogicalErrorCode(static_cast<std::uint64_t>(-70600));
    p.setProbability(-3);
    p.setProbabilityApplied(true);
    p.setOsXServer(true);
    p.setOsVersion("10.15.7");
    return p;
}

TEST(VTErrorProperties, NewRecordIsEmptyAndValueDictionaryBoxesScalars) {
    VTErrorProperties p;
    Dictionary d = p.valueDictionary();
    EXPECT_EQ(d.at("failureType"), Value(0));
    EXPECT_EQ(d.at("osXServer"), Value(false));
    EXPECT_EQ(d.at("systemUptime"), Value(0.0));
    EXPECT_EQ(d.count("failureUUID"), 0u);
    EXPECT_EQ(d.count("failureAddress"), 0u);
    EXPECT_EQ(VTCodingUtilities::codableProperties<VTErrorProperties>().size(), 55u);

    VTErrorProperties s = sampleRecord();
    d = s.valueDictionary();
    EXPECT_EQ(d.at("failureUUID"), Value("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"));
    EXPECT_EQ(d.at("failureAddress"), Value(0x7fff12345678ull));
    EXPECT_TRUE(s.isOSXServer());
    EXPECT_NE(s.description().find("productName"), std::string::npos);
}

TEST(VTErrorProperties, ArchiveRoundTripKeepsEveryField) {
    VTErrorProperties p = sampleRecord();
    testsupport::TempDir dir;
    std::string path = dir.file("summary.vterr");
    ASSERT_TRUE(VTCodingUtilities::writeToFile(p, path, false, nullptr));
    platform::Error error;
    auto back = VTCodingUtilities::objectWithContentsOfFile<VTErrorProperties>(path, &error);
    ASSERT_TRUE(back) << error.description();
    EXPECT_EQ(back->valueDictionary(), p.valueDictionary());
    EXPECT_EQ(back->moduleOffset(), 0xF000000000000010ull);
    EXPECT_EQ(back->logicalErrorCode(), static_cast<std::uint64_t>(-70600));
    EXPECT_EQ(back->probability(), -3);
    EXPECT_EQ(back->failureUUID(), p.failureUUID());

#ifdef VT_PYTHON3
    // Another reader sees the record's class and a UUID object in the platform form.
    std::string script = dir.write("check.py", R"(import plistlib, sys
p = plistlib.load(open(sys.argv[1], 'rb'))
objs = p['$objects']
root = objs[p['$top']['root'].data]
assert objs[root['$class'].data]['$classname'] == 'VTErrorProperties'
uuid = objs[root['failureUUID'].data]
assert objs[uuid['$class'].data]['$classname'] == 'NSUUID'
assert uuid['NS.uuidbytes'].hex() == 'e621e1f8c36c495a93fc0c247a3e6e5f'
assert objs[root['logicalErrorCode'].data] == 2**64 - 70600
print('ok')
)");
    FILE* pipe =
        popen((std::string(VT_PYTHON3) + " " + script + " " + path + " 2>&1").c_str(), "r");
    ASSERT_TRUE(pipe);
    char buffer[4096];
    std::string output;
    while (fgets(buffer, sizeof buffer, pipe)) output += buffer;
    EXPECT_EQ(pclose(pipe), 0) << output;
    EXPECT_EQ(output, "ok\n");
#endif
}

TEST(VTErrorProperties, LocaleRule) {
    struct Case {
        const char* pattern;
        const char* value;
        bool match;
    } cases[] = {
        {"en-*", "en-GB", true},  {"en-*", "en", false},     {"de-DE", "de-DE", true},
        {"*", "fr-FR", true},     {"en_*", "en_US", false},  {"en_*", "en_*", true},
        {"en-*", "de-DE", false}, {"en-US", "en-GB", false}, {"en-*", "en-US-POSIX", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(VTErrorProperties::compareLocale(c.pattern, c.value), c.match)
            << c.pattern << " " << c.value;
}

TEST(VTErrorProperties, VersionRule) {
    struct Case {
        const char* pattern;
        const char* value;
        bool match;
    } cases[] = {
        {"8.4", "8.4.0.7", true},        {"8.4", "8.4.1", false},
        {"8.*,9.0", "9.0.0.3", true},    {"*", "anything", true},
        {"8.4.2f21", "8.4.2.21", true},  {"8.4.2.21", "8.4.2.22", false},
        {"8.*", "8.9.0.5", true},        {"8.*", "8.9.9.9", false},
        {"8.*", "9.0", false},           {"not a version", "8.4", true},
        {"8.4", "not a version", false}, {"*.*.*.*", "not a version", true},
        {"*.*", "not a version", false}, {"7.0", "6.0,7.0.0.1", true},
        {"8.4.1", "8.4.1.99", true},     {"8.4.1", "8.4.2", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(VTErrorProperties::compareVersion(c.pattern, c.value), c.match)
            << c.pattern << " / " << c.value;
}

TEST(VTErrorProperties, MatchRules) {
    VTErrorProperties p = sampleRecord();
    struct Case {
        const char* name;
        Dictionary pattern;
        bool any;
        bool ignoringBucket;
        bool match;
    } cases[] = {
        {"empty", {}, false, false, true},
        {"empty with any", {}, true, false, true},
        {"bucket as number", {{"bucketId", Value(0xabcd1234u)}}, false, false, true},
        // The hexadecimal text passes the pre-check but is no number.
        {"bucket as text", {{"bucketId", Value("abcd1234")}}, false, false, false},
        {"other bucket", {{"bucketId", Value(1)}, {"processID", Value(4242)}}, false, false, false},
        {"other bucket ignored",
         {{"bucketId", Value(1)}, {"processID", Value(4242)}},
         false,
         true,
         false},
        {"other bucket text ignored", {{"processID", Value(4242)}}, false, true, true},
        {"locale pattern", {{"localeName", Value("en-*")}}, false, false, true},
        {"version pattern",
         {{"productVersion", Value("8.4.2")}, {"osVersion", Value("10.15.7")}},
         false,
         false,
         true},
        {"version mismatch", {{"osVersion", Value("10.14")}}, false, false, false},
        {"equality",
         {{"productName", Value("Pelgrave Total")}, {"threadNumber", Value(-1)}},
         false,
         false,
         true},
        {"boolean as number", {{"probabilityApplied", Value(1)}}, false, false, true},
        {"uuid text",
         {{"failureUUID", Value("E621E1F8-C36C-495A-93FC-0C247A3E6E5F")}},
         false,
         false,
         true},
        {"absent field", {{"threadName", Value("main")}}, false, false, false},
        {"absent field with star", {{"moduleVersion", Value("*")}}, false, false, false},
        {"unknown key", {{"noSuchField", Value(1)}}, false, false, false},
        {"one mismatch",
         {{"processID", Value(1)}, {"productName", Value("Pelgrave Total")}},
         false,
         false,
         false},
        {"one match with any",
         {{"processID", Value(1)}, {"productName", Value("Pelgrave Total")}},
         true,
         false,
         true},
        {"no match with any",
         {{"processID", Value(1)}, {"productName", Value("x")}},
         true,
         false,
         false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(p.matchPropertyValues(c.pattern, c.any, c.ignoringBucket), c.match) << c.name;

    VTErrorProperties same = p;
    EXPECT_TRUE(p.matchMatchProperties(same, false, false));
    same.setProcessID(1);
    EXPECT_FALSE(p.matchMatchProperties(same, false, false));
}

TEST(VTErrorProperties, WouldMatchFillsMissingFieldsOnceAndComparesSeverity) {
    int fills = 0;
    VTErrorProperties::Filler filler = [&](VTErrorProperties& fresh) {
        ++fills;
        fresh.setOsVersion("10.15.7");
        fresh.setLocaleName("de-DE");
    };
    VTErrorProperties p;
    for (int severity = 0; severity <= 4; ++severity) {
        p.setFailureSeverity(severity);
        EXPECT_EQ(p.wouldMatchPropertyValues({{"failureSeverity", Value(3)}}, false, false, filler),
                  severity <= 3);
        EXPECT_EQ(
            p.wouldMatchPropertyValues({{"failureSeverity", Value("3")}}, false, false, filler),
            severity <= 3);
        // Plain matching compares severities by equality.
        EXPECT_EQ(p.matchPropertyValues({{"failureSeverity", Value(3)}}, false, false),
                  severity == 3);
    }
    EXPECT_EQ(fills, 0);
    EXPECT_TRUE(p.wouldMatchPropertyValues(
        {{"osVersion", Value("10.15.7")}, {"localeName", Value("de-*")}}, false, false, filler));
    EXPECT_EQ(fills, 1);
    EXPECT_FALSE(p.matchPropertyValues({{"osVersion", Value("10.15.7")}}, false, false));

    // Still missing after filling: only the locale pattern "*" matches.
    VTErrorProperties::Filler none = [](VTErrorProperties&) {};
    EXPECT_TRUE(p.wouldMatchPropertyValues({{"localeName", Value("*")}}, false, false, none));
    EXPECT_FALSE(p.wouldMatchPropertyValues({{"localeName", Value("en-*")}}, false, false, none));
    EXPECT_FALSE(p.wouldMatchPropertyValues({{"osVersion", Value("*")}}, false, false, none));

    // The process-wide filler.
    VTErrorProperties::setCurrentMachineFiller(filler);
    EXPECT_TRUE(p.wouldMatchPropertyValues({{"osVersion", Value("10.15.7")}}, false, false));
    VTErrorProperties::setCurrentMachineFiller({});
    EXPECT_FALSE(p.wouldMatchPropertyValues({{"osVersion", Value("10.15.7")}}, false, false));
}

}  // namespace
