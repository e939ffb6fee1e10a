#include <gtest/gtest.h>

#include "Downloader/FSDError.h"
#include "Downloader/PelFSDJob.h"
#include "Platform/Values/Json.h"

namespace {

constexpr const char* kJobId = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
constexpr const char* kTransactionId = "11111111-2222-3333-4444-555555555555";

platform::Value json(const std::string& text) {
    platform::Error error;
    auto v = platform::json::parse(text, &error);
    EXPECT_TRUE(v) << error.description() << " in " << text;
    return v ? *v : platform::Value();
}

std::vector<std::int64_t> priorities(const PelFSDJob& job) {
    std::vector<std::int64_t> out;
    for (const auto& f : job.fileArray()) out.push_back(f->filePriority());
    return out;
}

std::string v2Job(const std::string& files, const std::string& jobId = kJobId) {
    return R"({"job_id":")" + jobId + R"(","distribution":{"transaction_id":")" + kTransactionId +
           R"(","CampaignID":42,"PartnerUnitName":"","machinename":7,"olp_start_url":"http://s"},"file_array":)" +
           files + "}";
}

TEST(PelFSDFileTest, PerElementFileFields) {
    struct Case {
        const char* name;
        const char* json;
        bool accepted;
        std::optional<std::string> url = {}, pkgName = {}, reqsPlist = {}, logo = {};
        std::int32_t type = 0;
        std::int64_t priority = 0, module = 0;
        std::uint64_t retries = 0;
    } cases[] = {
        {"defaults",
         R"({"source_file":"http://h/a.pkg"})",
         true,
         "http://h/a.pkg",
         {},
         {},
         {},
         101,
         0,
         9000,
         0},
        {"all fields",
         R"({"source_file":"http://h/a.pkg","destination_file":"a.pkg","type":"x","file_priority":5,"ping_module":9123,"TRANSIENT_ERROR_RETRY_COUNT":3})",
         true,
         "http://h/a.pkg",
         "a.pkg",
         {},
         {},
         101,
         5,
         9123,
         3},
        {"retry count as text",
         R"({"source_file":"u","TRANSIENT_ERROR_RETRY_COUNT":"4"})",
         true,
         "u",
         {},
         {},
         {},
         101,
         0,
         9000,
         4},
        {"negative retry count",
         R"({"source_file":"u","TRANSIENT_ERROR_RETRY_COUNT":-2})",
         true,
         "u",
         {},
         {},
         {},
         101,
         0,
         9000,
         0},
        {"huge retry count",
         R"({"source_file":"u","TRANSIENT_ERROR_RETRY_COUNT":1e30})",
         true,
         "u",
         {},
         {},
         {},
         101,
         0,
         9000,
         PelFSDFile::kMaxRetries},
        {"ping module as text is ignored",
         R"({"source_file":"u","ping_module":"77"})",
         true,
         "u",
         {},
         {},
         {},
         101,
         0,
         9000,
         0},
        {"setup installer with names",
         R"({"source_file":"u","type":"layout_requirement","destination_file":{"REQUIREMENTS_PLIST":"R.plist","BRANDING_LOGO":"logo.png"}})",
         true,
         "u",
         {},
         "R.plist",
         "logo.png",
         100,
         0,
         9000,
         0},
        {"destination object on an ordinary file",
         R"({"source_file":"u","type":"other","destination_file":{"REQUIREMENTS_PLIST":"R.plist"}})",
         true,
         "u",
         {},
         {},
         {},
         101,
         0,
         9000,
         0},
        {"escaped and plain blanks",
         R"({"source_file":"http://h/a%20b c.pkg"})",
         true,
         "http://h/a%20b%20c.pkg",
         {},
         {},
         {},
         101,
         0,
         9000,
         0},
        {"non-ASCII address",
         R"({"source_file":"http://h/é"})",
         true,
         "http://h/%C3%A9",
         {},
         {},
         {},
         101,
         0,
         9000,
         0},
        {"no source", R"({"destination_file":"a.pkg"})", false},
        {"empty source", R"({"source_file":""})", false},
        {"source not text", R"({"source_file":5})", false},
        {"malformed escape", R"({"source_file":"http://h/%zz"})", false},
        {"escape that is not UTF-8", R"({"source_file":"http://h/%ff"})", false},
        {"truncated escape", R"({"source_file":"http://h/%2"})", false},
        {"name climbing out", R"({"source_file":"u","destination_file":"../../etc/x"})", false},
        {"name with folder", R"({"source_file":"u","destination_file":"a/b.pkg"})", false},
        {"logo name ..",
         R"({"source_file":"u","type":"layout_requirement","destination_file":{"BRANDING_LOGO":".."}})",
         false},
        {"not an object", R"(["source_file"])", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform::Error error;
        auto file = PelFSDFile::createFileWithDic(json(c.json), &error);
        if (!c.accepted) {
            ASSERT_EQ(file, nullptr);
            EXPECT_EQ(error.domain(), kFSDErrorDomain);
            EXPECT_EQ(error.code(), -87);
            EXPECT_EQ(fsdErrorMessage(error), "Some entires were missing in the FSD file");
            continue;
        }
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(file->downloadURL(), c.url);
        EXPECT_EQ(file->pkgName(), c.pkgName);
        EXPECT_EQ(file->appName(), c.pkgName);
        EXPECT_EQ(file->reqsPlist(), c.reqsPlist);
        EXPECT_EQ(file->brandingLogo(), c.logo);
        EXPECT_EQ(file->fileType(), c.type);
        EXPECT_EQ(file->filePriority(), c.priority);
        EXPECT_EQ(file->pingModuleID(), c.module);
        EXPECT_EQ(file->retries(), c.retries);
    }
}

TEST(PelFSDFileTest, FlatListEntryFields) {
    platform::Error error;
    auto file = PelFSDFile::createFileUsingDefaultVersionWithDic(
        json(
            R"({"product_data":{"PACKAGE_NAME":"P.pkg","BRANDING_LOGO":"L.png","REQUIREMENTS_PLIST":"R.plist"},
                 "distribution":{"job_type":"SETUP_INSTALLER"},"environment":{"PAYLOAD_SOURCE":"http://h/p q"},
                 "job_retries":2,"job_ignore_failure":true,"ping_module":9001})"),
        &error);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->pkgName(), "P.pkg");
    EXPECT_EQ(file->appName(), "P.pkg");
    EXPECT_EQ(file->brandingLogo(), "L.png");
    EXPECT_EQ(file->reqsPlist(), "R.plist");
    EXPECT_EQ(file->fileType(), 100);
    EXPECT_EQ(file->downloadURL(), "http://h/p%20q");
    EXPECT_EQ(file->retries(), 2u);
    EXPECT_EQ(file->filePriority(), -1);
    EXPECT_EQ(file->pingModuleID(), 9001);

    auto plain = PelFSDFile::createFileUsingDefaultVersionWithDic(
        json(
            R"({"environment":{"PAYLOAD_SOURCE":"u"},"job_ignore_failure":false,"distribution":{"job_type":"X"}})"),
        &error);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->filePriority(), 0);
    EXPECT_EQ(plain->fileType(), 101);
    EXPECT_EQ(plain->pingModuleID(), 9000);

    EXPECT_EQ(
        PelFSDFile::createFileUsingDefaultVersionWithDic(json(R"({"environment":{}})"), &error),
        nullptr);
    EXPECT_EQ(error.code(), -87);
}

TEST(PelFSDJobTest, PerElementJobReadsValuesAndSortsFiles) {
    platform::Error error;
    auto job = PelFSDJob::createJobWithDic(
        json(v2Job(R"([{"source_file":"a","file_priority":5},{"source_file":"b","file_priority":-1},
                       {"source_file":"c","file_priority":10},{"source_file":"d","file_priority":5}])")),
        &error);
    ASSERT_NE(job, nullptr) << error.description();
    EXPECT_EQ(priorities(*job), (std::vector<std::int64_t>{-1, 5, 5, 10}));
    // Equal priorities keep the manifest's order.
    EXPECT_EQ(job->fileArray()[1]->downloadURL(), "a");
    EXPECT_EQ(job->fileArray()[2]->downloadURL(), "d");
    EXPECT_EQ(platform::formatUuidText(*job->job_id()), kJobId);
    EXPECT_EQ(platform::formatUuidText(*job->transaction_id()), kTransactionId);
    EXPECT_EQ(job->campaignID()->int64Value(), 42);
    EXPECT_FALSE(job->partnerUnitName());  // empty text counts as absent
    EXPECT_FALSE(job->machineName());      // a number where text belongs
    EXPECT_EQ(job->olpStartURL(), "http://s");
    EXPECT_FALSE(job->olpEndURL());
    EXPECT_EQ(PelFSDJob::getSetupInstallerFile(job.get(), nullptr), nullptr);
}

TEST(PelFSDJobTest, PerElementJobRefusals) {
    const std::string file = R"([{"source_file":"a"}])";
    struct Case {
        const char* name;
        std::string json;
        const char* message;
    } cases[] = {
        {"empty job_id", v2Job(file, ""), "Job_ID is missing from the download job"},
        {"job_id not a UUID", v2Job(file, "not-a-uuid"), "Job_ID is missing from the download job"},
        {"no job_id",
         R"({"distribution":{"transaction_id":")" + std::string(kTransactionId) +
             R"("},"file_array":[{"source_file":"a"}]})",
         "Job_ID is missing from the download job"},
        {"no transaction_id",
         R"({"job_id":")" + std::string(kJobId) + R"(","file_array":[{"source_file":"a"}]})",
         "Transaction_ID is missing from the download job"},
        {"empty file_array", v2Job("[]"), "File Array entires were missing in the FSD Job"},
        {"file_array not a list", v2Job("{}"), "File Array entires were missing in the FSD Job"},
        {"one file without source", v2Job(R"([{"source_file":"a"},{"type":"x"}])"),
         "Some entires were missing in the FSD file"},
        {"not an object", "[1]", "Job_ID is missing from the download job"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform::Error error;
        EXPECT_EQ(PelFSDJob::createJobWithDic(json(c.json), &error), nullptr);
        EXPECT_EQ(error.code(), -87);
        EXPECT_EQ(fsdErrorMessage(error), c.message);
    }
}

TEST(PelFSDJobTest, TooManyFilesAreRefused) {
    std::string files = "[";
    for (std::size_t i = 0; i <= PelFSDJob::kMaxFiles; ++i) files += R"({"source_file":"u"},)";
    files.back() = ']';
    platform::Error error;
    EXPECT_EQ(PelFSDJob::createJobWithDic(json(v2Job(files)), &error), nullptr);
    EXPECT_EQ(fsdErrorMessage(error), "File Array entires were missing in the FSD Job");
}

TEST(PelFSDJobTest, FlatListJob) {
    const std::string ids = R"("job_id":")" + std::string(kJobId) +
                            R"(","distribution":{"transaction_id":")" + kTransactionId + R"(",)";
    platform::Error error;
    auto job = PelFSDJob::createJobUsingDefaultVersionWithDic(
        json(
            R"([{"environment":{"PAYLOAD_SOURCE":"setup"},"distribution":{"job_type":"SETUP_INSTALLER","PartnerUnitName":5}},
                 {"environment":{"PAYLOAD_SOURCE":"opt"},"job_ignore_failure":true,
                  "distribution":{"CampaignID":77,"PartnerUnitName":"Unit"}},
                 {)" +
            ids + R"("olp_start_url":"http://start","olp_end_url":"http://end"},
                  "environment":{"PAYLOAD_SOURCE":"main"}},
                 {"environment":{"PAYLOAD_SOURCE":"late"},"distribution":{"CampaignID":99}}])"),
        &error);
    ASSERT_NE(job, nullptr) << error.description();
    EXPECT_EQ(job->campaignID()->int64Value(), 77);  // first valid value wins
    EXPECT_EQ(job->partnerUnitName(), "Unit");       // an invalid one leaves the field open
    EXPECT_EQ(job->olpStartURL(), "http://start");
    EXPECT_EQ(job->olpEndURL(), "http://end");
    EXPECT_EQ(platform::formatUuidText(*job->job_id()), kJobId);
    EXPECT_EQ(priorities(*job), (std::vector<std::int64_t>{-1, 0, 0, 0}));
    EXPECT_EQ(job->fileArray()[0]->downloadURL(), "opt");
    auto setup = PelFSDJob::getSetupInstallerFile(job.get(), nullptr);
    ASSERT_NE(setup, nullptr);
    EXPECT_EQ(setup->downloadURL(), "setup");

    // Without a start-of-download address the job has no identifiers.
    auto anonymous = PelFSDJob::createJobUsingDefaultVersionWithDic(
        json(R"([{"environment":{"PAYLOAD_SOURCE":"a"},"job_id":"x"}])"), &error);
    ASSERT_NE(anonymous, nullptr);
    EXPECT_FALSE(anonymous->job_id());
    EXPECT_FALSE(anonymous->transaction_id());
}

TEST(PelFSDJobTest, FlatListRefusals) {
    struct Case {
        const char* name;
        const char* json;
        const char* message;
    } cases[] = {
        {"start address without job_id",
         R"([{"environment":{"PAYLOAD_SOURCE":"a"},"distribution":{"olp_start_url":"s","transaction_id":"11111111-2222-3333-4444-555555555555"}}])",
         "Job_ID is missing from the download job"},
        {"start address without transaction_id",
         R"([{"environment":{"PAYLOAD_SOURCE":"a"},"job_id":"11111111-2222-3333-4444-555555555555","distribution":{"olp_start_url":"s"}}])",
         "Transaction_ID is missing from the download job"},
        {"entry without source", R"([{"environment":{"PAYLOAD_SOURCE":"a"}},{}])",
         "File Array entires were missing in the FSD Job"},
        {"entry not an object", R"([{"environment":{"PAYLOAD_SOURCE":"a"}},7])",
         "File Array entires were missing in the FSD Job"},
        {"no entries", "[]", "File Array entires were missing in the FSD Job"},
        {"not a list", "{}", "File Array entires were missing in the FSD Job"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform::Error error;
        EXPECT_EQ(PelFSDJob::createJobUsingDefaultVersionWithDic(json(c.json), &error), nullptr);
        EXPECT_EQ(error.code(), -87);
        EXPECT_EQ(fsdErrorMessage(error), c.message);
    }
}

}  // namespace
