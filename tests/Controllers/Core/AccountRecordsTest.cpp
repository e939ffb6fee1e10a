#include <gtest/gtest.h>

#include "Controllers/Core/WYFAccountRecords.h"

using platform::Dictionary;
using platform::Value;
using namespace wyf;

namespace {

WYFDashboardInfo fullDashboard() {
    WYFDashboardInfo info;
    info.status = 1;
    info.darkWebMonitoring = WYFDashboardDarkWebMonitoring{1, 2, Value(1), Value(7)};
    info.backup = WYFDashboardBackup{1, 4, Value(2.5), Value(100), Value(0)};
    info.identityProtection = WYFDashboardIdentityProtection{6, 3, std::nullopt, Value(3)};
    info.onlineFamily = WYFDashboardOnlineFamily{2, Value(1)};
    info.vpn = WYFDashboardVPN{7};
    info.creditScore = WYFDashboardCreditScore{1, 1, Value(0), Value(3)};
    info.passwordManager = WYFDashboardPasswordManager{3};
    return info;
}

WYFBindInfo fullBinding() {
    WYFBindInfo b;
    b.accessToken = "AT";
    b.refreshToken = "RT";
    b.authority = "https://auth.example/x";
    b.channel = Value(42);
    b.entityId = "E1";
    b.additionalHttpHeaders = Value(Dictionary{{"X-A", Value("1")}, {"X-B", Value("two")}});
    return b;
}

}  // namespace

TEST(AccountRecords, RoundTripsEveryRecordWithItsKeys) {
    const WYFDashboardInfo info = fullDashboard();
    const Dictionary coded = info.encode();
    // The two members coded under names of their own.
    ASSERT_TRUE(coded.at("identityProtection").asDictionary());
    EXPECT_EQ(coded.at("identityProtection").get("alert")->int64Value(), 3);
    EXPECT_EQ(coded.at("creditScore").get("bureaus")->int64Value(), 3);
    EXPECT_EQ(coded.at("darkWebMonitoring").get("inboxAlertsCount")->int64Value(), 7);
    EXPECT_EQ(coded.at("identityProtection").get("enrolled"), nullptr);  // nil is not written

    platform::Error error;
    auto decoded = WYFDashboardInfo::decode(coded, &error);
    ASSERT_TRUE(decoded) << error.code();
    EXPECT_EQ(*decoded, info);

    const WYFBindInfo bind = fullBinding();
    const Dictionary bindCoded = bind.encode();
    for (const char* key : {"access_token", "refresh_token", "authority", "channel", "entityId",
                            "additionalhttpheader"}) {
        EXPECT_TRUE(bindCoded.count(key)) << key;
    }
    auto bindDecoded = WYFBindInfo::decode(bindCoded, nullptr);
    ASSERT_TRUE(bindDecoded);
    EXPECT_EQ(*bindDecoded, bind);

    // The header member may also arrive as a string.
    auto stringHeaders = WYFBindInfo::decode({{"additionalhttpheader", Value("raw")}}, nullptr);
    ASSERT_TRUE(stringHeaders);
    EXPECT_EQ(stringHeaders->additionalHttpHeaders, Value("raw"));
}

TEST(AccountRecords, MissingKeysDecodeAsZeroOrNil) {
    auto info = WYFDashboardInfo::decode({}, nullptr);
    ASSERT_TRUE(info);
    EXPECT_EQ(*info, WYFDashboardInfo{});
    auto bind = WYFBindInfo::decode({}, nullptr);
    ASSERT_TRUE(bind);
    EXPECT_EQ(*bind, WYFBindInfo{});
    auto backup = WYFDashboardBackup::decode({{"used", Value(5)}}, nullptr);
    ASSERT_TRUE(backup);
    EXPECT_EQ(backup->status, 0);
    EXPECT_FALSE(backup->limit);
}

TEST(AccountRecords, ValueOfWrongTypeIsRejected) {
    struct Case {
        const char* name;
        bool (*decodes)();
    } cases[] = {
        {"token as number",
         [] {
             return WYFBindInfo::decode({{"access_token", Value(1)}}, nullptr).has_value();
         }},
        {"channel as string",
         [] {
             return WYFBindInfo::decode({{"channel", Value("5")}}, nullptr).has_value();
         }},
        {"headers as array",
         [] {
             return WYFBindInfo::decode({{"additionalhttpheader", Value(platform::Array{})}},
                                        nullptr)
                 .has_value();
         }},
        {"status as string",
         [] {
             return WYFDashboardVPN::decode({{"status", Value("OK")}}, nullptr).has_value();
         }},
        {"enrolled as string",
         [] {
             return WYFDashboardOnlineFamily::decode({{"enrolled", Value("yes")}}, nullptr)
                 .has_value();
         }},
        {"member as number",
         [] {
             return WYFDashboardInfo::decode({{"backup", Value(1)}}, nullptr).has_value();
         }},
        {"nested bad member",
         [] {
             return WYFDashboardInfo::decode(
                        {{"creditScore", Value(Dictionary{{"bureaus", Value("three")}})}}, nullptr)
                 .has_value();
         }},
    };
    for (const Case& c : cases) EXPECT_FALSE(c.decodes()) << c.name;

    platform::Error error;
    EXPECT_FALSE(WYFBindInfo::decode({{"entityId", Value(3)}}, &error));
    EXPECT_EQ(error.domain(), platform::kCocoaErrorDomain);
    EXPECT_NE(error.code(), 0);
}

TEST(AccountRecords, HeaderTextIsBraceGroupsJoinedByComma) {
    EXPECT_EQ(wyfAdditionalHeaderJson({}), "");
    EXPECT_EQ(
        wyfAdditionalHeaderJson({{"X-A", Value("1")}, {"X-B", Value("t\"wo")}}),
        "{ \"name\": \"X-A\", \"value\": \"1\" }\n,{ \"name\": \"X-B\", \"value\": \"t\"wo\" }\n");
}

TEST(AccountRecords, BindingDescription) {
    EXPECT_EQ(fullBinding().description(),
              "\n{\n \"data\":{\n \"bind\": {\n \"authentication\": {\n"
              " \"access_token\": \"AT\",\n"
              " \"refresh_token\" : \"RT\", \n"
              " \"authority\":\"https://auth.example/x\", \n"
              " \"additionalHttpHeaders\":\"{ \"name\": \"X-A\", \"value\": \"1\" }\n"
              ",{ \"name\": \"X-B\", \"value\": \"two\" }\n\" }, \n"
              " \"spoc\" : {\n"
              " \"channel\": \"42\", \"entityId\": \"E1\"}\n}\n}\n}");
    const std::string empty = WYFBindInfo{}.description();
    EXPECT_NE(empty.find("\"access_token\": \"(null)\""), std::string::npos);
    EXPECT_NE(empty.find("\"additionalHttpHeaders\":\"(null)\""), std::string::npos);
}

TEST(AccountRecords, FeatureDescriptionsAndEnrolledForms) {
    const WYFDashboardInfo info = fullDashboard();
    EXPECT_EQ(info.darkWebMonitoring->description(),
              "\"darkWebMonitoring\" : { \"state\" : \"OK\", \"data\" : { \"enrolled\" : true, "
              "\"enrollmentState\" : \"ENROLLED\" } }");
    EXPECT_EQ(
        info.backup->description(),
        "\"backup\" : { \"state\" : \"OK\", \"data\" : { \"enrolled\" : false, \"used\" : 2.5, "
        "\"limit\" : 100, \"units\" : \"GB\" } }");
    EXPECT_EQ(info.identityProtection->description(),
              "\"identityProtection\" : { \"state\" : \"SERVER_ERROR\", \"data\" : { \"enrolled\" "
              ": null, "
              "\"enrollmentState\" : \"PENDING\" } }");
    EXPECT_EQ(info.vpn->description(), "\"vpn\" : { \"state\" : \"TIMEOUT\", \"data\" : { } }");
    EXPECT_EQ(info.passwordManager->description(),
              "\"PasswordManager\" : { \"state\" : \"UNAUTHORIZED\", \"data\" : { } }");
    // Any number other than 1 is false.
    const WYFDashboardOnlineFamily two{0, Value(2)};
    EXPECT_NE(two.description().find("\"enrolled\" : false"), std::string::npos);
}

TEST(AccountRecords, AggregateDescriptionOrderAndMissingMembers) {
    const std::string empty =
        WYFDashboardInfo::decode({{"status", Value(6)}}, nullptr)->description();
    EXPECT_EQ(empty,
              "\n{\n \"data\":{\n \"dashboard\": {\n \"status\": \"SERVER_ERROR\", \n"
              " \"data\" : {(null),(null),(null),(null),(null),(null),(null)} \n}\n}\n}");

    const WYFDashboardInfo info = fullDashboard();
    const std::string text = info.description();
    // Description order differs from the coding order: credit score before VPN and password
    // manager.
    const std::string expected =
        info.darkWebMonitoring->description() + "," + info.backup->description() + "," +
        info.identityProtection->description() + "," + info.onlineFamily->description() + "," +
        info.creditScore->description() + "," + info.vpn->description() + "," +
        info.passwordManager->description();
    EXPECT_NE(text.find(" \"data\" : {" + expected + "} \n"), std::string::npos);
}

TEST(AccountRecords, OutOfRangeValuesPrintUnknown) {
    EXPECT_NE(WYFDashboardVPN{-1}.description().find("\"UNKNOWN(-1)\""), std::string::npos);
    EXPECT_NE(WYFDashboardVPN{8}.description().find("\"UNKNOWN(8)\""), std::string::npos);
    const std::string credit = WYFDashboardCreditScore{INT64_MIN, 5, {}, {}}.description();
    EXPECT_NE(credit.find("UNKNOWN(-9223372036854775808)"), std::string::npos);
    EXPECT_NE(credit.find("\"enrollmentState\" : \"UNKNOWN(5)\""), std::string::npos);
    const WYFDashboardBackup backup{0, 8, {}, {}, {}};
    EXPECT_NE(backup.description().find("\"units\" : \"UNKNOWN(8)\""), std::string::npos);
    EXPECT_EQ(nameInTable(WYFStorageUnitToString(), 7), "EB");
    EXPECT_EQ(nameInTable(WYFFeatureEnrollmentStateToString(), 4), "ERROR");
    WYFDashboardInfo info;
    info.status = 99;
    EXPECT_NE(info.description().find("\"status\": \"UNKNOWN(99)\""), std::string::npos);
}

TEST(AccountRecords, ConnectionWhitelists) {
    const auto& table = WYFXPCSetupInterface();
    const std::string bind = "bind:tokenValue:url:lcid:headerDict:withReply:";
    EXPECT_EQ(table.count({bind, 0, false}), 0u);  // the first argument has no class list
    ASSERT_EQ(table.count({bind, 4, false}), 1u);
    EXPECT_TRUE(table.at({bind, 1, true}).count("WYFBindInfo"));
    EXPECT_FALSE(table.at({bind, 0, true}).count("WYFDashboardInfo"));

    const std::string update = "update:tokenValue:withCache:url:lcid:headerDict:withReply:";
    EXPECT_EQ(table.at({update, 5, false}).size(), 15u);
    EXPECT_EQ(table.count({update, 2, true}), 0u);
    EXPECT_EQ(table.count({"fetchFeature:fromCache:url:lcid:headerDict:withReply:", 0, false}), 0u);
    EXPECT_EQ(table.at({"clearCache:withReply:", 0, false}),
              (WYFXPCClassSet{"NSString", "NSError"}));
    EXPECT_EQ(table.count({"clearAllCacheWithReply:", 0, false}), 0u);
    EXPECT_EQ(table.count({"clearAllCacheWithReply:", 0, true}), 1u);
    EXPECT_EQ(table.size(), 4u + 2 + 5 + 2 + 4 + 2 + 1 + 1 + 1);
}
