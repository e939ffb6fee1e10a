#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <stdexcept>

#include "Foundation/PelSignature.h"
#include "Foundation/PelSignatureSettings.h"
#include "Platform/System/Paths.h"
#include "VTErrorCreationLib/Utilities/VTLog.h"
#include "VTErrorCreationLib/VTSCDConfiguration.h"
#include "VTErrorCreationLib/VTScrambledArchive.h"
#include "support/ScopedVerificationKey.h"
#include "support/TempDir.h"
#include "vtscdtool/VTSCDTool.h"

namespace fs = std::filesystem;

namespace {

using platform::Value;

mode_t modeOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

TEST(VTSCDConfiguration, HardcodedConfigurationHasTheDefaultsAndFolders) {
    testsupport::TempDir dir;
    std::string base = dir.file("base");
    mode_t old = ::umask(022);
    VTSCDConfiguration c = VTSCDConfiguration::hardcodedConfigurationUsingPath(base);
    ::umask(old);

    EXPECT_EQ(c.basePath(), base);
    EXPECT_EQ(c.scdPath(), base + "/vtscd.dat");
    EXPECT_EQ(c.settingsPath(), base + "/vtsettings.dat");
    EXPECT_EQ(c.errorsPath(), base + "/Submissions");
    EXPECT_EQ(c.undetailedLogicalErrorsPath(), base + "/Errors");
    EXPECT_EQ(c.undetailedCrashDumpsPath(), base + "/CrashDumps");
    for (const char* folder : {"Errors", "Submissions", "CrashDumps"}) {
        EXPECT_TRUE(fs::is_directory(base + "/" + folder)) << folder;
        EXPECT_EQ(modeOf(base + "/" + folder), 01777u) << folder;
    }
    EXPECT_TRUE(c.enabled());
    EXPECT_EQ(c.maxPingSubmissionsPerDay(), 256u);
    EXPECT_EQ(c.pingProbability(), 1u);
    EXPECT_EQ(c.maxAgeDays(), 14u);
    EXPECT_EQ(c.maxLogicalErrorCountPerBucket(), 20u);
    EXPECT_EQ(c.maxUploadSizeBytes(), 100000000u);
    EXPECT_EQ(c.maxUploadSubmissionsPerDay(), 128u);
    EXPECT_EQ(c.uploadSubmissionProbability(), 1u);
    EXPECT_TRUE(c.gateways().empty());
    EXPECT_EQ(c.networkConnectTimeoutSeconds(), 30u);
    EXPECT_EQ(c.networkUploadTimeoutSeconds(), 1200u);
    EXPECT_FALSE(c.retryPingFailures());
    EXPECT_TRUE(c.compressPayload());
    EXPECT_TRUE(c.enableLogicalErrors());
    EXPECT_EQ(c.maxFileAttachmentSizeBytes(), 10000000u);
    EXPECT_FALSE(c.enableCrashDumps());
    EXPECT_FALSE(c.logicalActionManifest());
    EXPECT_FALSE(c.throttledBuckets());
    EXPECT_FALSE(c.gatherPelgraveInfoScript());
}

TEST(VTScrambledArchive, RoundTripsAndNeedsTheSameKeyTable) {
    VTSCDConfiguration c("/base");
    c.setGateways({VTGateway(0, 2, 0, "ping.example.com", "p", true)});
    c.setThrottledBuckets(platform::Dictionary{{"0000abcd", Value(3)}});
    platform::Data bytes;
    ASSERT_TRUE(VTEncodeScrambledArchive(&c, &bytes, kVTConfigurationKeyTable, nullptr));
    EXPECT_NE(std::string(bytes.begin(), bytes.begin() + 6), "bplist");

    std::optional<VTSCDConfiguration> back;
    platform::Error error;
    ASSERT_TRUE(VTDecodeScrambledArchive(&back, bytes, kVTConfigurationKeyTable, &error))
        << error.description();
    EXPECT_EQ(back->gateways(), c.gateways());
    EXPECT_EQ(back->throttledBuckets(), c.throttledBuckets());
    EXPECT_EQ(back->errorsPath(), "/base/Submissions");
    EXPECT_FALSE(back->basePath());  // a stored configuration never carries its location
    EXPECT_FALSE(back->scdPath());

    EXPECT_FALSE(VTDecodeScrambledArchive(&back, bytes, kVTSettingsKeyTable, &error));
    EXPECT_EQ(error.domain(), VTErrorDomain);
    EXPECT_EQ(error.code(), 5009);
    EXPECT_FALSE(VTEncodeScrambledArchive(nullptr, &bytes, kVTConfigurationKeyTable, nullptr));
    EXPECT_FALSE(VTEncodeScrambledArchive(&c, nullptr, kVTConfigurationKeyTable, nullptr));
}

// A configuration archive whose "enabled" holds text.
class BadConfiguration : public VTCodable {
  public:
    std::string_view archiveClassName() const override { return "VTSCDConfiguration"; }
    void encodeWithCoder(VTKeyedArchiver& c) const override {
        c.encodeValue("enabled", Value("yes"));
    }
    bool initWithCoder(VTKeyedUnarchiver&, platform::Error*) override { return false; }
};

TEST(VTScrambledArchive, RefusesAValueOfTheWrongClass) {
    platform::Data bytes;
    BadConfiguration bad;
    ASSERT_TRUE(VTEncodeScrambledArchive(&bad, &bytes, kVTConfigurationKeyTable, nullptr));
    std::optional<VTSCDConfiguration> back;
    platform::Error error;
    EXPECT_FALSE(VTDecodeScrambledArchive(&back, bytes, kVTConfigurationKeyTable, &error));
    EXPECT_EQ(error.code(), 5009);
    const auto* exception = error.errorsForKey("Exception");
    ASSERT_TRUE(exception);
    EXPECT_EQ(exception->front().localizedDescription(),
              "Expected 'enabled' to be of type NSNumber, but is actually a NSString");
}

// Configuration files made with the development tool, verified with a key
// of the test's own.
class VTConfigurationFile : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        key_ = new devsign::PrivateKey(devsign::PrivateKey::generateRSA(1024));
        otherKey_ = new devsign::PrivateKey(devsign::PrivateKey::generateRSA(1024));
    }
    static void TearDownTestSuite() {
        delete key_;
        delete otherKey_;
    }
    // Made after SetUpTestSuite() has made key_.
    testsupport::ScopedVerificationKey trust_{key_->publicKeySPKI()};

    void SetUp() override {
        VTSetLogHookForTesting(
            [this](int, const std::string& message) { logged_.push_back(message); });
    }
    void TearDown() override { VTSetLogHookForTesting({}); }

    // Writes vtscd.dat and vtscd.sig for the values into `folder`.
    static void make(const platform::Dictionary& values, const std::string& folder,
                     const devsign::PrivateKey& key) {
        std::string problem;
        auto c = vtscdtool::configurationFromDictionary(values, &problem);
        if (!c) throw std::runtime_error(problem);
        fs::create_directories(folder);
        vtscdtool::writeSignedFiles(vtscdtool::encodeConfiguration(*c), key, folder);
    }

    static devsign::PrivateKey* key_;
    static devsign::PrivateKey* otherKey_;
    std::vector<std::string> logged_;
    testsupport::TempDir dir_;
};

devsign::PrivateKey* VTConfigurationFile::key_ = nullptr;
devsign::PrivateKey* VTConfigurationFile::otherKey_ = nullptr;

const platform::Dictionary kValues{
    {"enabled", Value(false)},
    {"pingProbability", Value(5)},
    {"enableCrashDumps", Value(true)},
    {"maxFileAttachmentSizeBytes", Value(123456789012ull)},
    {"throttledBuckets", Value(platform::Dictionary{{"0000abcd", Value(2)}})},
    {"logicalActionManifests", Value(platform::Array{Value("{}")})},
    {"gateways", Value(platform::Array{
                     Value(platform::Dictionary{{"type", Value(0)},
                                                {"priority", Value(1)},
                                                {"url", Value("https://ping.example.com/a/b")}}),
                     Value(platform::Dictionary{{"type", Value(1)},
                                                {"priority", Value(2)},
                                                {"host", Value("up.example.com")},
                                                {"port", Value(443)},
                                                {"URI", Value("u")},
                                                {"useSSL", Value(true)}})})},
};

TEST_F(VTConfigurationFile, ReadsAValidFile) {
    std::string folder = dir_.file("conf");
    make(kValues, folder, *key_);
    platform::Error error;
    std::string base = dir_.file("base");
    auto c =
        VTSCDConfiguration::configurationWithContentsOfPath(folder + "/vtscd.dat", base, &error);
    ASSERT_TRUE(c) << error.description();
    EXPECT_FALSE(c->enabled());
    EXPECT_EQ(c->pingProbability(), 5u);
    EXPECT_TRUE(c->enableCrashDumps());
    EXPECT_EQ(c->maxFileAttachmentSizeBytes(), 123456789012ull);
    EXPECT_EQ(c->maxAgeDays(), 14u);  // not in the file: the default
    ASSERT_EQ(c->gateways().size(), 2u);
    EXPECT_EQ(c->gateways()[0].description(), "Ping: https://ping.example.com/a/b");
    EXPECT_EQ(c->gateways()[1].description(), "Upload: https://up.example.com/u");
    EXPECT_EQ(c->throttledBuckets()->at("0000abcd"), Value(2));
    EXPECT_EQ(c->scdPath(), folder + "/vtscd.dat");
    EXPECT_EQ(c->basePath(), base);
    EXPECT_EQ(c->errorsPath(), base + "/Submissions");
    EXPECT_TRUE(fs::is_directory(base + "/CrashDumps"));
    EXPECT_TRUE(VTSCDConfiguration::isValidConfigurationAtURL(folder + "/vtscd.dat", nullptr));
}

TEST_F(VTConfigurationFile, WithoutABaseDirectoryUsesTheStoredPaths) {
    std::string folder = dir_.file("conf");
    platform::Dictionary values = kValues;
    values["errorsPath"] = Value(dir_.file("stored/Submissions"));
    make(values, folder, *key_);
    auto c = VTSCDConfiguration::configurationWithContentsOfPath(folder + "/vtscd.dat",
                                                                 std::nullopt, nullptr);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->basePath(), folder);
    EXPECT_EQ(c->errorsPath(), dir_.file("stored/Submissions"));
    EXPECT_TRUE(fs::is_directory(dir_.file("stored/Submissions")));
}

TEST_F(VTConfigurationFile, RejectsFilesThatDoNotVerify) {
    struct Case {
        const char* name;
        std::function<void(const std::string& folder)> spoil;
        std::string domain;
        long code;
    } cases[] = {
        {"missing signature", [](const std::string& f) { fs::remove(f + "/vtscd.sig"); },
         std::string(kPelErrDomainPelgraveTrustedComponents), kPelSignatureNotFound},
        {"signed with another key", [](const std::string& f) { make(kValues, f, *otherKey_); },
         std::string(kPelErrDomainPelgraveTrustedComponents), kPelSignatureInvalid},
        {"signature of 1025 bytes",
         [](const std::string& f) { devsign::writeFile(f + "/vtscd.sig", std::string(1025, 'x')); },
         std::string(kPelErrDomainPelgraveTrustedComponents),
         kPelSignatureNoCertificateOrSignature},
        {"changed after signing",
         [](const std::string& f) {
             devsign::writeFile(f + "/vtscd.dat", devsign::readFile(f + "/vtscd.dat") + "x");
         },
         std::string(kPelErrDomainPelgraveTrustedComponents), kPelSignatureInvalid},
        {"missing file", [](const std::string& f) { fs::remove(f + "/vtscd.dat"); },
         std::string(platform::kCocoaErrorDomain), 4},
    };
    for (const auto& c : cases) {
        std::string folder = dir_.file(c.name);
        make(kValues, folder, *key_);
        c.spoil(folder);
        platform::Error error;
        EXPECT_FALSE(VTSCDConfiguration::configurationWithContentsOfPath(folder + "/vtscd.dat",
                                                                         std::nullopt, &error))
            << c.name;
        EXPECT_EQ(error.domain(), c.domain) << c.name;
        EXPECT_EQ(error.code(), c.code) << c.name;
    }
    EXPECT_TRUE(logged_.empty());  // never decoded
}

TEST_F(VTConfigurationFile, SignedBytesThatAreNoArchiveAreCorrupt) {
    std::string folder = dir_.file("conf");
    fs::create_directories(folder);
    platform::Data bytes{'n', 'o', 't', ' ', 'a', 'n', ' ', 'a', 'r', 'c', 'h', 'i', 'v', 'e'};
    vtscdtool::writeSignedFiles(bytes, *key_, folder);
    platform::Error error;
    EXPECT_FALSE(VTSCDConfiguration::configurationWithContentsOfPath(folder + "/vtscd.dat",
                                                                     std::nullopt, &error));
    EXPECT_EQ(error.domain(), VTErrorDomain);
    EXPECT_EQ(error.code(), 5009);
    EXPECT_EQ(logged_, std::vector<std::string>{"The Vantrel configuration file is corrupted."});
}

TEST_F(VTConfigurationFile, InstalledConfigurationLivesInTheSilo) {
    platform::Paths::ScopedRoot root(dir_.file("root"));
    platform::Error error;
    EXPECT_FALSE(VTSCDConfiguration::installedConfiguration(&error));
    EXPECT_EQ(error.domain(), platform::kCocoaErrorDomain);
    EXPECT_EQ(error.code(), 4);

    std::string silo = *VTSCDConfiguration::currentSiloPath();
    EXPECT_EQ(silo, dir_.file("root") + "/Library/Application Support/Pelgrave/Silo/TLW/Vantrel");
    make(kValues, silo, *key_);
    auto c = VTSCDConfiguration::installedConfiguration(&error);
    ASSERT_TRUE(c) << error.description();
    EXPECT_EQ(c->basePath(), silo);
    EXPECT_EQ(c->settingsPath(), silo + "/vtsettings.dat");
    EXPECT_TRUE(fs::is_directory(silo + "/Errors"));
}

TEST(VTSCDTool, RefusesUnknownKeysAndLocations) {
    std::string problem;
    EXPECT_FALSE(vtscdtool::configurationFromDictionary({{"basePath", Value("/x")}}, &problem));
    EXPECT_FALSE(vtscdtool::configurationFromDictionary({{"noSuchKey", Value(1)}}, &problem));
    EXPECT_FALSE(vtscdtool::configurationFromDictionary({{"enabled", Value("yes")}}, &problem));
    EXPECT_FALSE(vtscdtool::configurationFromDictionary(
        {{"gateways",
          Value(platform::Array{Value(platform::Dictionary{{"url", Value("nohost")}})})}},
        &problem));
}

}  // namespace
