#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"
#include "VTErrorCreationLib/VTErrorInstance.h"
#include "VTErrorInstanceTestSupport.h"

namespace {

using vttest::ErrorTree;
using vttest::kUUIDText;
using vttest::modeOf;

const std::string kErrorsFolder = std::string("Errors/00001234/") + kUUIDText;
const std::string kSubmissionsFolder = std::string("Submissions/00001234/") + kUUIDText;

platform::Data bytes(const std::string& text) { return platform::Data(text.begin(), text.end()); }

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The entries of a folder of the error tree: the three top folders plus
// what the test names.
std::set<std::string> tree(std::initializer_list<std::string> entries) {
    std::set<std::string> out = {"CrashDumps/", "Errors/", "Submissions/"};
    out.insert(entries.begin(), entries.end());
    return out;
}

std::set<std::string> errorFolder(const std::string& folder) {
    std::string bucket = folder.substr(0, folder.rfind('/'));
    return {bucket + "/", folder + "/", folder + "/summary.vterr", folder + "/data.vterr",
            folder + "/Log"};
}

std::set<std::string> merged(std::set<std::string> a, const std::set<std::string>& b) {
    a.insert(b.begin(), b.end());
    return a;
}

enum class Step { AddDetail, Save, Finalize, Remove };

TEST(VTErrorInstanceLifeCycle, StepsLeaveTheExpectedLayout) {
    struct Case {
        const char* title;
        std::vector<Step> steps;
        std::set<std::string> layout;
        bool final;
    } cases[] = {
        {"first save",
         {Step::AddDetail, Step::Save},
         merged(tree({}), errorFolder(kErrorsFolder)),
         false},
        {"saving again rewrites in place",
         {Step::AddDetail, Step::Save, Step::Save},
         merged(tree({}), errorFolder(kErrorsFolder)),
         false},
        {"finalize after save leaves no bucket in Errors",
         {Step::AddDetail, Step::Save, Step::Finalize},
         merged(tree({}), errorFolder(kSubmissionsFolder)),
         true},
        {"finalize saves first",
         {Step::AddDetail, Step::Finalize},
         merged(tree({}), errorFolder(kSubmissionsFolder)),
         true},
        {"a final error saves in place",
         {Step::AddDetail, Step::Finalize, Step::Save},
         merged(tree({}), errorFolder(kSubmissionsFolder)),
         true},
        {"remove takes the emptied bucket",
         {Step::AddDetail, Step::Save, Step::Remove},
         tree({}),
         false},
        {"remove of a final error",
         {Step::AddDetail, Step::Finalize, Step::Remove},
         tree({}),
         true},
        {"remove of an unsaved error", {Step::AddDetail, Step::Remove}, tree({}), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        ErrorTree t;
        auto error = t.makeError();
        for (Step step : c.steps) {
            platform::Error e;
            bool ok = false;
            switch (step) {
                case Step::AddDetail:
                    ok = error->addDetailData(bytes("log text"), "Log", "the log", &e);
                    break;
                case Step::Save:
                    ok = error->save(&e);
                    break;
                case Step::Finalize:
                    ok = error->finalize(&e);
                    break;
                case Step::Remove:
                    ok = error->remove(&e);
                    break;
            }
            ASSERT_TRUE(ok) << e.description();
        }
        EXPECT_EQ(t.layout(), c.layout);
        EXPECT_EQ(error->isFinal(), c.final);
        EXPECT_EQ(t.temporaryEntries(), 0u) << "the temporary folder was moved or removed";
        if (c.steps.back() == Step::Remove) {
            EXPECT_FALSE(error->fileURL());
            EXPECT_EQ(error->summaryData().bucketId(), 0u);
            EXPECT_EQ(error->detailCount(), 0);
            continue;
        }
        std::string folder = t.base() + "/" + (c.final ? kSubmissionsFolder : kErrorsFolder);
        EXPECT_EQ(error->fileURL(), folder);
        EXPECT_EQ(modeOf(folder), 0755u);
        EXPECT_EQ(modeOf(folder.substr(0, folder.rfind('/'))), 01777u) << "the bucket is shared";
        EXPECT_EQ(modeOf(folder + "/Log"), 0754u);
        EXPECT_EQ(readFile(folder + "/Log"), "log text");

        // The saved files read back as the error's summary and data.
        auto summary = VTCodingUtilities::objectWithContentsOfFile<VTErrorProperties>(
            folder + "/summary.vterr", nullptr);
        ASSERT_TRUE(summary);
        EXPECT_EQ(summary->valueDictionary(), error->summaryData().valueDictionary());
        auto data = VTCodingUtilities::objectWithContentsOfFile<VTErrorData>(folder + "/data.vterr",
                                                                             nullptr);
        ASSERT_TRUE(data);
        EXPECT_EQ(data->detailData(), error->data().detailData());
    }
}

TEST(VTErrorInstanceLifeCycle, TheFirstDetailMakesAPrivateTemporaryFolder) {
    ErrorTree t;
    auto error = t.makeError();
    EXPECT_FALSE(error->fileURL());
    ASSERT_TRUE(error->addDetailData(bytes("x"), "A", std::nullopt, nullptr));
    ASSERT_TRUE(error->fileURL());
    EXPECT_EQ(error->fileURL()->rfind(platform::Paths::temporaryDirectory() + "/vantrel.", 0), 0u);
    EXPECT_EQ(modeOf(*error->fileURL()), 0755u);
    EXPECT_TRUE(error->isFirstSave());
    EXPECT_EQ(error->infoForDetailDataWithIdentifier("A"), platform::Dictionary{});
}

TEST(VTErrorInstanceLifeCycle, FailuresNameTheirReason) {
    struct Case {
        const char* title;
        std::function<bool(ErrorTree&, platform::Error*)> run;
        long code;
    } cases[] = {
        {"save with bucket 0",
         [](ErrorTree& t, platform::Error* e) {
             auto error = t.makeError(0);
             return error->addDetailData(bytes("x"), "A", std::nullopt, nullptr) && error->save(e);
         },
         kVTErrorMissingIdentity},
        {"save without UUID",
         [](ErrorTree& t, platform::Error* e) {
             VTErrorInstance error(kVTFailureTypeLogicalError, 2, t.client());
             error.summaryData().setBucketId(vttest::kBucket);
             return error.save(e);
         },
         kVTErrorMissingIdentity},
        {"a detail without UUID",
         [](ErrorTree& t, platform::Error* e) {
             VTErrorInstance error(kVTFailureTypeLogicalError, 2, t.client());
             return error.addDetailData(bytes("x"), "A", std::nullopt, e);
         },
         kVTErrorCannotCreate},
        {"save without a configuration",
         [](ErrorTree& t, platform::Error* e) {
             auto error = t.makeError();
             t.client()->config = nullptr;
             return error->save(e);
         },
         kVTErrorNotConfigured},
        {"a second error with the same bucket and UUID",
         [](ErrorTree& t, platform::Error* e) {
             auto first = t.makeError();
             auto second = t.makeError();
             return first->save(nullptr) &&
                    second->addDetailData(bytes("x"), "A", std::nullopt, nullptr) &&
                    second->save(e);
         },
         kVTErrorDestinationExists},
        {"a later save onto an existing folder",
         [](ErrorTree& t, platform::Error* e) {
             auto saved = t.makeError();
             auto other = t.makeError();
             other->setFinal(true);
             if (!saved->save(nullptr) || !other->save(nullptr)) return true;
             saved->setFinal(true);
             return saved->save(e);
         },
         kVTErrorDestinationExistsOnLaterSave},
        {"save after the folder went away",
         [](ErrorTree& t, platform::Error* e) {
             auto error = t.makeError();
             if (!error->save(nullptr)) return true;
             std::filesystem::remove_all(*error->fileURL());
             return error->save(e);
         },
         kVTErrorNoFolder},
        {"finalize without a folder",
         [](ErrorTree& t, platform::Error* e) { return t.makeError()->finalize(e); },
         kVTErrorNoFolder},
        {"remove without a folder",
         [](ErrorTree& t, platform::Error* e) { return t.makeError()->remove(e); },
         kVTErrorNoFolder},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        ErrorTree t;
        platform::Error e;
        EXPECT_FALSE(c.run(t, &e));
        EXPECT_EQ(e.domain(), VTErrorDomain);
        EXPECT_EQ(e.code(), c.code);
    }
}

TEST(VTErrorInstanceLifeCycle, SavingWithoutABucketCreatesNothing) {
    ErrorTree t;
    auto error = t.makeError(0);
    EXPECT_FALSE(error->save(nullptr));
    EXPECT_EQ(t.layout(), tree({}));
}

// Saves `error` while writes of this process fail once a file would grow
// past `bytes`.
bool saveWithFileSizeLimit(VTErrorInstance& error, rlim_t bytes, platform::Error* e) {
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
    bool ok = error.save(e);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    return ok;
}

TEST(VTErrorInstanceLifeCycle, ASummaryThatCannotBeWrittenLeavesTheOldOneAndSaysWhy) {
    ErrorTree t;
    auto error = t.makeError();
    error->summaryData().setProductName("Small");
    ASSERT_TRUE(error->save(nullptr));
    std::string summaryPath = *error->fileURL() + "/summary.vterr";

    error->summaryData().setProductName(std::string(200000, 'x'));
    platform::Error e;
    bool saved = saveWithFileSizeLimit(*error, 65536, &e);
    EXPECT_FALSE(saved);
    EXPECT_FALSE(e.empty()) << "a failed write says why";

    auto summary =
        VTCodingUtilities::objectWithContentsOfFile<VTErrorProperties>(summaryPath, nullptr);
    ASSERT_TRUE(summary) << "the old summary is still readable";
    EXPECT_EQ(summary->productName(), "Small");
    for (const auto& entry : std::filesystem::directory_iterator(*error->fileURL()))
        EXPECT_EQ(entry.path().filename().string().find("summary.vterr."), std::string::npos)
            << "no half-written file stays behind";
}

TEST(VTErrorInstanceLifeCycle, AFirstSaveWithoutItsSummaryLeavesNoFolder) {
    ErrorTree t;
    auto error = t.makeError();
    ASSERT_TRUE(error->addDetailData(bytes("log text"), "Log", "the log", nullptr));
    error->summaryData().setProductName(std::string(200000, 'x'));
    platform::Error e;
    bool saved = saveWithFileSizeLimit(*error, 65536, &e);
    EXPECT_FALSE(saved);
    EXPECT_FALSE(e.empty());
    EXPECT_EQ(t.layout(), tree({})) << "no folder that nothing would ever list or remove";
    EXPECT_EQ(t.temporaryEntries(), 0u);
    EXPECT_FALSE(error->fileURL());
}

TEST(VTErrorInstanceLifeCycle, ARemoveThatFailsKeepsTheErrorIntact) {
    ErrorTree t;
    auto error = t.makeError();
    ASSERT_TRUE(error->addDetailData(bytes("x"), "A", std::nullopt, nullptr));
    ASSERT_TRUE(error->save(nullptr));
    std::string folder = *error->fileURL();
    // Entries of a folder without write permission cannot be deleted by an
    // unprivileged user; the child that tries runs as one.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(chmod(t.temp().path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(t.base().c_str(), 0755), 0);
    ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
    EXPECT_EXIT(
        {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
            platform::Error e;
            bool removed = error->remove(&e);
            bool intact = !removed && e.domain() == platform::kPOSIXErrorDomain &&
                          e.code() == EACCES && error->fileURL() == folder &&
                          error->summaryData().bucketId() == vttest::kBucket &&
                          error->detailCount() == 1;
            _exit(intact ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    chmod(folder.c_str(), 0755);
}

TEST(VTErrorInstanceDetails, SizeLimitsApplyToDataAndFilesAlike) {
    ErrorTree t;
    std::string source = t.temp().write("source/report.txt", std::string(2000, 'r'));
    struct Case {
        std::uint64_t limit;
        bool dataFits;
        bool fileFits;
    } cases[] = {{0, true, true}, {1000, false, false}, {2000, true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.limit);
        t.configuration().setMaxFileAttachmentSizeBytes(c.limit);
        auto error = t.makeError();
        ASSERT_TRUE(error->addDetailData(bytes("old"), "Data", std::nullopt, nullptr));
        platform::Error e;
        EXPECT_EQ(error->addDetailData(platform::Data(2000, 'd'), "Data", std::nullopt, &e),
                  c.dataFits);
        EXPECT_EQ(error->addDetailFileAtURL(source, "File", std::nullopt, &e), c.fileFits);
        if (!c.dataFits) {
            EXPECT_EQ(e.code(), kVTErrorAttachmentTooLarge);
            EXPECT_FALSE(error->infoForDetailDataWithIdentifier("Data"))
                << "the earlier attachment is gone";
            EXPECT_FALSE(std::filesystem::exists(*error->fileURL() + "/Data"));
        }
        EXPECT_EQ(error->detailCount(), (c.dataFits ? 1 : 0) + (c.fileFits ? 1 : 0));
        error->remove(nullptr);
    }
}

TEST(VTErrorInstanceDetails, AttachedFilesAreCopiesWithTheirOrigin) {
    ErrorTree t;
    std::string source = t.temp().write("source/report.txt", "report");
    chmod(source.c_str(), 0600);
    auto error = t.makeError();
    ASSERT_TRUE(error->addDetailFileAtURL(source, "Report", "the report", nullptr));
    std::string copy = *error->fileURL() + "/Report";
    EXPECT_EQ(readFile(copy), "report");
    EXPECT_EQ(modeOf(copy), 0644u);
    EXPECT_EQ(error->infoForDetailDataWithIdentifier("Report"),
              (platform::Dictionary{{"description", platform::Value("the report")},
                                    {"originalPath", platform::Value(source)},
                                    {"MIME", platform::Value("text/plain")}}));

    std::string noExtension = t.temp().write("source/blob", "b");
    ASSERT_TRUE(error->addDetailFileAtURL(noExtension, "Blob", std::nullopt, nullptr));
    EXPECT_EQ(error->infoForDetailDataWithIdentifier("Blob"),
              (platform::Dictionary{{"originalPath", platform::Value(noExtension)}}));

    platform::Error e;
    EXPECT_FALSE(error->addDetailFileAtURL(t.temp().file("missing.txt"), "Gone", std::nullopt, &e));
    EXPECT_FALSE(e.empty());
}

TEST(VTErrorInstanceDetails, IdentifiersCannotLeaveTheFolder) {
    ErrorTree t;
    auto error = t.makeError();
    ASSERT_TRUE(error->save(nullptr));
    for (const char* identifier : {"../escape", "..", "", "a/b", "summary.vterr", "data.vterr"}) {
        SCOPED_TRACE(identifier);
        platform::Error e;
        EXPECT_FALSE(error->addDetailData(bytes("x"), identifier, std::nullopt, &e));
        EXPECT_EQ(e.domain(), platform::kPOSIXErrorDomain);
    }
    EXPECT_EQ(t.layout(),
              merged(tree({}), {"Errors/00001234/", kErrorsFolder + "/",
                                kErrorsFolder + "/summary.vterr", kErrorsFolder + "/data.vterr"}));
}

TEST(VTErrorInstanceDetails, RemovingWritingAndStreamingDetails) {
    ErrorTree t;
    auto error = t.makeError();
    platform::Error e;
    EXPECT_FALSE(error->removeDetailDataWithIdentifier("A", &e));
    EXPECT_EQ(e.code(), kVTErrorNoFolder);
    ASSERT_TRUE(error->addDetailData(bytes("detail"), "A", std::nullopt, nullptr));

    EXPECT_FALSE(error->removeDetailDataWithIdentifier("B", &e));
    EXPECT_EQ(e.code(), kVTErrorNoSuchDetail);

    std::shared_ptr<VTInputStream> stream;
    EXPECT_FALSE(error->streamDetailDataWithIdentifier("B", &stream, &e));
    EXPECT_EQ(e.code(), kVTErrorNoSuchDetail);
    ASSERT_TRUE(e.userInfoValue("identifier"));
    EXPECT_EQ(e.userInfoValue("identifier")->stringValue(), "B");
    ASSERT_TRUE(error->streamDetailDataWithIdentifier("A", &stream, nullptr));
    EXPECT_FALSE(stream->isOpen());
    ASSERT_TRUE(stream->open(nullptr));
    std::uint8_t buffer[16];
    EXPECT_EQ(stream->read(buffer, sizeof buffer, nullptr), 6);

    std::string destination = t.temp().file("copy");
    EXPECT_TRUE(error->writeDetailDataWithIdentifier("A", destination, nullptr));
    EXPECT_EQ(readFile(destination), "detail");
    EXPECT_FALSE(error->writeDetailDataWithIdentifier("A", destination, &e))
        << "destination exists";

    ASSERT_TRUE(error->removeDetailDataWithIdentifier("A", nullptr));
    EXPECT_EQ(error->detailCount(), 0);
    EXPECT_FALSE(std::filesystem::exists(*error->fileURL() + "/A"));
}

TEST(VTErrorInstanceDetails, ParametersAndUserData) {
    ErrorTree t;
    auto error = t.makeError();
    EXPECT_TRUE(error->addParameterDataWithKey("k", "v1", nullptr));
    EXPECT_TRUE(error->addParameterDataWithKey("k", "v2", nullptr));
    EXPECT_EQ(error->parameterDataCount(), 1);
    EXPECT_EQ(error->parameterWithKey("k"), "v2");
    EXPECT_EQ(error->parameterWithKey("other"), std::nullopt);
    error->data().setUserDataValue("u", platform::Value(5));
    EXPECT_EQ(error->userData(), (platform::Dictionary{{"u", platform::Value(5)}}));
}

struct Visit {
    std::string key;
    VTErrorDataValue::Kind kind;
    std::optional<platform::Dictionary> info;
};

std::vector<Visit> enumerate(VTErrorInstance& error, std::vector<std::int64_t> sections,
                             std::uint64_t options, std::size_t stopAfter = 1000,
                             std::int64_t* calls = nullptr) {
    std::vector<Visit> visits;
    std::int64_t n = error.enumerateData(
        sections, options,
        [&](const std::string& key, const VTErrorDataValue& value, const platform::Dictionary* info,
            bool& stop) {
            visits.push_back({key, value.kind, info ? std::optional(*info) : std::nullopt});
            if (value.kind == VTErrorDataValue::Kind::Stream) {
                EXPECT_TRUE(value.stream->isOpen());
            }
            if (visits.size() == stopAfter) stop = true;
        });
    if (calls) *calls = n;
    return visits;
}

TEST(VTErrorInstanceEnumeration, SectionsAndOptions) {
    ErrorTree t;
    auto error = t.makeError();
    error->addParameterDataWithKey("p", "v", nullptr);
    error->data().setUserDataValue("u", platform::Value(1));
    ASSERT_TRUE(error->addDetailData(bytes("12345"), "Plain", "plain", nullptr));
    ASSERT_TRUE(error->addDetailDataWithAttributes(
        bytes("123"), "Raw",
        platform::Dictionary{{"MIME", platform::Value("vantrel/octet-stream")}}, nullptr));
    ASSERT_TRUE(error->addDetailData(bytes("x"), "Deleted", std::nullopt, nullptr));
    std::filesystem::remove(*error->fileURL() + "/Deleted");

    std::int64_t calls = 0;
    auto all = enumerate(*error, {1, 3, 2, 9}, 0, 1000, &calls);
    ASSERT_EQ(all.size(), 4u) << "a missing detail file and an unknown section are skipped";
    EXPECT_EQ(calls, 4);
    EXPECT_EQ(all[0].key, "p");
    EXPECT_EQ(all[1].key, "u");
    EXPECT_EQ(all[2].key, "Plain");
    EXPECT_EQ(all[2].kind, VTErrorDataValue::Kind::Stream);
    EXPECT_FALSE(all[2].info);

    auto summary = enumerate(*error, {0}, 0);
    EXPECT_EQ(summary.size(), error->summaryData().valueDictionary().size());

    auto stored = enumerate(*error, {2}, kVTErrorDataOptionStoredInfo | kVTErrorDataOptionFileURL);
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].kind, VTErrorDataValue::Kind::FileURL);
    EXPECT_EQ(stored[0].info, (platform::Dictionary{{"description", platform::Value("plain")}}));

    auto withAttributes = enumerate(*error, {2}, kVTErrorDataOptionFileAttributes);
    ASSERT_EQ(withAttributes.size(), 2u);
    const platform::Value* plainAttributes = withAttributes[0].info->at("attrs").get("NSFileSize");
    ASSERT_TRUE(plainAttributes);
    EXPECT_EQ(plainAttributes->uint64Value(), 5u);
    EXPECT_TRUE(withAttributes[0].info->at("attrs").get("NSFileModificationDate"));
    EXPECT_EQ(withAttributes[1].info->at("attrs"),
              platform::Value(platform::Dictionary{{"NSFileSize", platform::Value(3u)}}))
        << "an octet-stream detail shows its size only";
    EXPECT_EQ(withAttributes[1].info->at("MIME").stringValue(), "vantrel/octet-stream");
}

TEST(VTErrorInstanceEnumeration, TheStopFlagEndsEverySection) {
    ErrorTree t;
    auto error = t.makeError();
    error->addParameterDataWithKey("p1", "v", nullptr);
    error->addParameterDataWithKey("p2", "v", nullptr);
    error->data().setUserDataValue("u", platform::Value(1));
    std::int64_t calls = 0;
    EXPECT_EQ(enumerate(*error, {1, 3, 0}, 0, 1, &calls).size(), 1u);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(enumerate(*error, {1, 3, 0}, 0, 3, &calls).size(), 3u);
    EXPECT_EQ(calls, 3);
}

TEST(VTErrorInstanceLoading, MissingPartsGiveNoError) {
    ErrorTree t;
    EXPECT_FALSE(
        VTErrorInstance::loadWithProperties(std::nullopt, VTErrorData(), "/x", t.client(), 0));
    EXPECT_FALSE(VTErrorInstance::loadWithProperties(VTErrorProperties(), std::nullopt, "/x",
                                                     t.client(), 0));
    auto final = VTErrorInstance::loadWithProperties(VTErrorProperties(), VTErrorData(), "/x",
                                                     t.client(), 0);
    ASSERT_TRUE(final);
    EXPECT_TRUE(final->isFinal());
    EXPECT_FALSE(final->isFirstSave());
    auto notFinal = VTErrorInstance::loadWithProperties(VTErrorProperties(), VTErrorData(), "/x",
                                                        t.client(), 1);
    EXPECT_FALSE(notFinal->isFinal());
}

// Reads an archived error into a fresh error object.
struct ArchivedError : VTCodable {
    static constexpr std::string_view kArchiveClassName = "VTErrorInstance";
    std::shared_ptr<VTErrorInstance> error =
        std::make_shared<VTErrorInstance>(kVTFailureTypeCrash, 0, nullptr);
    std::vector<std::string> missingKeys;
    std::string_view archiveClassName() const override { return kArchiveClassName; }
    void encodeWithCoder(VTKeyedArchiver&) const override {}
    bool initWithCoder(VTKeyedUnarchiver& c, platform::Error* e) override {
        for (auto key : VTErrorInstance::uncodableProperties())
            if (!c.containsValueForKey(key)) missingKeys.emplace_back(key);
        return error->initWithCoder(c, e);
    }
};

TEST(VTErrorInstanceLoading, AnArchivedErrorHoldsOnlyItsSummaryAndData) {
    ErrorTree t;
    auto error = t.makeError();
    error->addParameterDataWithKey("p", "v", nullptr);
    ASSERT_TRUE(error->addDetailData(bytes("x"), "A", std::nullopt, nullptr));
    platform::Data archive = VTKeyedArchiver::archivedDataWithRootObject(*error);

    platform::Error e;
    auto decoded = VTKeyedUnarchiver::unarchivedObjectOfClass<ArchivedError>(archive, &e);
    ASSERT_TRUE(decoded) << e.description();
    EXPECT_EQ(decoded->missingKeys.size(), 4u);
    EXPECT_EQ(decoded->error->summaryData().valueDictionary(),
              error->summaryData().valueDictionary());
    EXPECT_EQ(decoded->error->parameterWithKey("p"), "v");
    EXPECT_EQ(decoded->error->data().detailData(), error->data().detailData());
    EXPECT_FALSE(decoded->error->fileURL());
}

TEST(VTErrorInstanceLoading, FolderURLsNameTheBucketAndUUID) {
    ErrorTree t;
    EXPECT_EQ(VTErrorInstance::folderURLForErrorWithBucketID(0xabc, vttest::testUUID(),
                                                             t.client().get(), false),
              t.base() + "/Errors/00000abc/" + kUUIDText);
    EXPECT_EQ(VTErrorInstance::folderURLForErrorWithBucketID(0x123456789, vttest::testUUID(),
                                                             t.client().get(), true),
              t.base() + "/Submissions/123456789/" + kUUIDText);
    EXPECT_EQ(VTErrorInstance::folderURLForErrorWithBucketID(1, vttest::testUUID(), nullptr, true),
              std::nullopt);
}

TEST(VTErrorInstanceLoading, InhibitingNests) {
    EXPECT_FALSE(VTErrorInstance::isErrorCreationInhibited());
    VTErrorInstance::inhibitErrorCreationForCurrentProcess();
    VTErrorInstance::inhibitErrorCreationForCurrentProcess();
    VTErrorInstance::uninhibitErrorCreationForCurrentProcess();
    EXPECT_TRUE(VTErrorInstance::isErrorCreationInhibited());
    VTErrorInstance::uninhibitErrorCreationForCurrentProcess();
    EXPECT_FALSE(VTErrorInstance::isErrorCreationInhibited());
}

}  // namespace
