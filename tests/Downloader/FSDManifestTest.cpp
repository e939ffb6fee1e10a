#include <gtest/gtest.h>

#include "Downloader/FSDError.h"
#include "Downloader/FSDManifest.h"
#include "Downloader/PingTestSupport.h"
#include "Foundation/PelSignatureSettings.h"
#include "Platform/System/Paths.h"
#include "pelsign/DevSigning.h"
#include "support/ScopedVerificationKey.h"
#include "support/TempDir.h"

namespace {

constexpr const char* kManifestId = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
constexpr const char* kSkipId = "5B0E72A4-9C3D-4F81-A6E2-0D47C9B13F58";

std::string v2Manifest(const std::string& jobs, const std::string& global) {
    return R"({"fsd":{"global":{)" + global + R"(},"job_array":)" + jobs + "}}";
}
const std::string kJob =
    R"({"job_id":"11111111-2222-3333-4444-555555555555","distribution":{"transaction_id":"AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE"},
        "file_array":[{"source_file":"http://h/setup.zip","type":"layout_requirement"},{"source_file":"http://h/a.pkg","file_priority":3}]})";
const std::string kGlobal2 = R"("manifest_version":2,"manifest_id":")" + std::string(kManifestId) +
                             R"(","failover":"http://fail/over")";

platform::Data bytes(std::string_view s) { return platform::Data(s.begin(), s.end()); }

// Signs manifests with a key of our own that the checks are told to trust
// for manifests, and the skip marker with another one trusted for data files;
// pings go to a scripted client so each test can count them.
class FSDManifestTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        key_ = new devsign::PrivateKey(devsign::PrivateKey::generateRSA(2048));
        dataKey_ = new devsign::PrivateKey(devsign::PrivateKey::generateRSA(1536));
        otherKey_ = new devsign::PrivateKey(devsign::PrivateKey::generateRSA(2048));
    }
    static void TearDownTestSuite() {
        delete key_;
        delete dataKey_;
        delete otherKey_;
    }
    // Made after SetUpTestSuite() has made the keys.
    testsupport::ScopedVerificationKey trust_{dataKey_->publicKeySPKI(), key_->publicKeySPKI()};

    void SetUp() override {
        StatPing::resetCachedValuesForTesting();
        StatPing::setMachineIdSource([] { return "M"; });
        pings_ = PelFSDPingUtils::createFSDPingUtilsWithQueueName(
            std::string("com.pelgrave.test.fsd"), std::string("P"), std::string("1.0"),
            std::string("1"), std::nullopt);
        pings_->setHttpClient(client_);
    }
    void TearDown() override {
        ASSERT_TRUE(client_->requests().empty() || client_->waitUntilSettled());
        StatPing::resetCachedValuesForTesting();
        StatPing::setMachineIdSource(nullptr);
    }

    static std::string signatureText(const std::string& content, const devsign::PrivateKey& key) {
        return devsign::base64Lines(
            key.signMessage(platform::DigestAlgorithm::kSHA512, content.data(), content.size()));
    }
    // Writes the manifest and its signature; returns the two paths.
    std::pair<std::string, std::string> writeSigned(const std::string& content,
                                                    const std::string& signature) {
        return {dir_.write("Installer/.fsd/fsdmanifest.js", content),
                dir_.write("Installer/.fsd/fsdmanifest-sig.txt", signature)};
    }
    FSDManifestPtr load(const std::string& content, platform::Error* error) {
        auto [manifest, sig] = writeSigned(content, signatureText(content, *key_));
        return FSDManifest::createFSDManifest(manifest, sig, pings_, error);
    }
    void installMarker(const std::string& content, const devsign::PrivateKey& key) {
        dir_.write("Library/Application Support/FSD.flag",
                   devsign::makeSignedDataFile(content, key));
    }
    // The (E, L) fields of every ping sent.
    std::vector<std::pair<std::string, std::string>> sentEvents() {
        std::vector<std::pair<std::string, std::string>> out;
        if (client_->requests().empty()) return out;
        EXPECT_TRUE(client_->waitUntilSettled());
        for (const auto& request : client_->requests()) {
            if (request.url().find("/n/p?") == std::string::npos) continue;
            std::string e, l;
            for (const auto& [k, v] : pingtest::queryFields(request.url())) {
                if (k == "E") e = v;
                if (k == "L") l = v;
            }
            out.emplace_back(e, l);
        }
        return out;
    }
    std::size_t pingCount() { return sentEvents().size(); }

    static devsign::PrivateKey* key_;
    static devsign::PrivateKey* dataKey_;
    static devsign::PrivateKey* otherKey_;
    testsupport::TempDir dir_;
    platform::Paths::ScopedRoot root_{dir_.path().string(), std::string("/home/tester")};
    // The scripted client answers every primary ping, so there is no fall-back.
    std::shared_ptr<pingtest::ObservingHttpClient> client_ =
        std::make_shared<pingtest::ObservingHttpClient>(
            std::make_shared<pingtest::ScriptedHttpClient>());
    std::shared_ptr<PelFSDPingUtils> pings_;
};
devsign::PrivateKey* FSDManifestTest::key_ = nullptr;
devsign::PrivateKey* FSDManifestTest::dataKey_ = nullptr;
devsign::PrivateKey* FSDManifestTest::otherKey_ = nullptr;

TEST_F(FSDManifestTest, ValidSignatureLoadsTheOneJob) {
    platform::Error error;
    auto manifest = load(v2Manifest("[" + kJob + "]", kGlobal2), &error);
    ASSERT_NE(manifest, nullptr) << error.description();
    ASSERT_EQ(manifest->pelJobsArray().size(), 1u);
    EXPECT_EQ(manifest->pelJobsArray()[0]->fileArray().size(), 2u);
    EXPECT_EQ(platform::formatUuidText(*manifest->manifest_id()), kManifestId);
    EXPECT_EQ(manifest->failOverURL(), "http://fail/over");
    ASSERT_NE(manifest->setupInstallerFile(), nullptr);
    EXPECT_EQ(manifest->setupInstallerFile()->downloadURL(), "http://h/setup.zip");
    ASSERT_NE(manifest->objectForKey("global.manifest_version"), nullptr);
    EXPECT_EQ(manifest->objectForKey("global.manifest_version")->int64Value(), 2);
    EXPECT_EQ(manifest->objectForKey("global.nothing"), nullptr);
    EXPECT_EQ(manifest->manifestPath(), dir_.path().string() + "/Installer/.fsd/fsdmanifest.js");
    EXPECT_EQ(pingCount(), 0u);
    EXPECT_EQ(PelFSDPingUtils::UUIDToString(pings_->manifest_id()), kManifestId);

    // The same from bytes.
    const std::string content = v2Manifest("[" + kJob + "]", kGlobal2);
    auto fromBytes = FSDManifest::createFSDManifestWithData(
        bytes(content), bytes(signatureText(content, *key_)), pings_, &error);
    ASSERT_NE(fromBytes, nullptr) << error.description();
    EXPECT_FALSE(fromBytes->manifestPath());
    EXPECT_EQ(fromBytes->pelJobsArray().size(), 1u);
}

TEST_F(FSDManifestTest, SignatureFailuresRefuseTheManifest) {
    const std::string content = v2Manifest("[" + kJob + "]", kGlobal2);
    struct Case {
        const char* name;
        std::string manifest;
        std::optional<std::string> signature;  // none: no signature file
        const char* underlying;                // nullptr: no underlying error
    } cases[] = {
        {"tampered manifest", content + " ", signatureText(content, *key_), nullptr},
        {"signed by another key", content, signatureText(content, *otherKey_), nullptr},
        // The data-file key is trusted for data files only.
        {"signed with the data-file key", content, signatureText(content, *dataKey_), nullptr},
        {"signed with SHA-1", content, devsign::base64Lines(key_->signMessage(content)), nullptr},
        {"missing signature file", content, std::nullopt, nullptr},
        {"empty signature file", content, "", nullptr},
        {"signature not Base64", content, "!!!!", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto manifestPath = dir_.write("m/fsdmanifest.js", c.manifest);
        std::string sigPath = dir_.path().string() + "/m/fsdmanifest-sig.txt";
        std::filesystem::remove(sigPath);
        if (c.signature) dir_.write("m/fsdmanifest-sig.txt", *c.signature);
        const std::size_t pingsBefore = pingCount();
        platform::Error error;
        EXPECT_EQ(FSDManifest::createFSDManifest(manifestPath, sigPath, pings_, &error), nullptr);
        EXPECT_EQ(error.code(), -88);
        EXPECT_EQ(fsdErrorMessage(error), "Error occurred while starting FSD");
        EXPECT_EQ(error.underlyingError(), nullptr);
        auto events = sentEvents();
        ASSERT_EQ(events.size(), pingsBefore + 1);
        EXPECT_EQ(events.back(), (std::pair<std::string, std::string>{"22", "-98"}));
    }
}

TEST_F(FSDManifestTest, UnreadableManifestFileIsAVerificationError) {
    platform::Error error;
    auto sig = dir_.write("s.txt", signatureText("x", *key_));
    EXPECT_EQ(
        FSDManifest::createFSDManifest(dir_.path().string() + "/none.js", sig, pings_, &error),
        nullptr);
    EXPECT_EQ(error.code(), -88);
    ASSERT_NE(error.underlyingError(), nullptr);
    EXPECT_EQ(error.underlyingError()->code(), -98);
    EXPECT_EQ(fsdErrorMessage(*error.underlyingError()),
              "Unable to load manifest from manifest path");

    FSDManifest manifest;
    EXPECT_FALSE(manifest.validateManifest(nullptr, &error));
    EXPECT_EQ(fsdErrorMessage(error), "Manifest data is nil while validate manifest");
}

TEST_F(FSDManifestTest, SignedSkipMarkerTurnsTheCheckOff) {
    const std::string content = v2Manifest("[" + kJob + "]", kGlobal2);
    auto [manifestPath, sigPath] = writeSigned(content, "not a signature");
    platform::Error error;

    // Holding the identifier but signed by a key we do not trust: ignored.
    installMarker(std::string("skip ") + kSkipId + "\n", *otherKey_);
    EXPECT_EQ(FSDManifest::createFSDManifest(manifestPath, sigPath, pings_, &error), nullptr);
    // Signed, without the identifier: ignored.
    installMarker("skip nothing\n", *dataKey_);
    EXPECT_EQ(FSDManifest::createFSDManifest(manifestPath, sigPath, pings_, &error), nullptr);
    // Not signed at all, though it holds the identifier: ignored.
    dir_.write("Library/Application Support/FSD.flag", kSkipId);
    EXPECT_EQ(FSDManifest::createFSDManifest(manifestPath, sigPath, pings_, &error), nullptr);

    // Signed with the manifest key rather than the data-file key: ignored.
    installMarker(std::string("skip ") + kSkipId + "\n", *key_);
    EXPECT_EQ(FSDManifest::createFSDManifest(manifestPath, sigPath, pings_, &error), nullptr);

    installMarker(std::string("skip ") + kSkipId + "\n", *dataKey_);
    auto manifest = FSDManifest::createFSDManifest(manifestPath, sigPath, pings_, &error);
    ASSERT_NE(manifest, nullptr) << error.description();
    EXPECT_TRUE(manifest->isFSDSignatureDisableFlagFileInstalled());
    EXPECT_EQ(manifest->pelJobsArray().size(), 1u);
    // A missing signature file loads as well.
    EXPECT_NE(FSDManifest::createFSDManifest(manifestPath, std::nullopt, pings_, &error), nullptr);
}

TEST_F(FSDManifestTest, ParsingOutcomes) {
    const std::string id = R"("manifest_id":")" + std::string(kManifestId) + R"(")";
    const std::string fail = R"(,"failover":"http://f")";
    const std::string v1Entry =
        R"([{"environment":{"PAYLOAD_SOURCE":"http://h/a.pkg"},"distribution":{"job_type":"SETUP_INSTALLER"}}])";
    struct Case {
        const char* name;
        std::string json;
        long underlyingCode;  // 0: loads; -1: fails with no underlying error
        const char* message;
        std::size_t jobs;
    } cases[] = {
        {"integer version 1 is the flat layout",
         v2Manifest(v1Entry, R"("manifest_version":1,)" + id + fail), 0, nullptr, 1},
        {"no version is the flat layout", v2Manifest(v1Entry, id + fail), 0, nullptr, 1},
        {"version 1.0", v2Manifest(v1Entry, R"("manifest_version":1.0,)" + id + fail), 0, nullptr,
         1},
        {"version 2 with a flat entry fails",
         v2Manifest(v1Entry, R"("manifest_version":2,)" + id + fail), -89,
         "Jobs array did not contain any valid jobs", 0},
        {"version text selects the per-element layout",
         v2Manifest("[" + kJob + "]", R"("manifest_version":"1",)" + id + fail), 0, nullptr, 1},
        {"empty per-element list loads with no job", v2Manifest("[]", kGlobal2), 0, nullptr, 0},
        {"two jobs", v2Manifest("[" + kJob + "," + kJob + "]", kGlobal2), -84,
         "Manifest has more than ONE jobs", 0},
        {"job_array not a list", v2Manifest(R"("x")", kGlobal2), -89,
         "Jobs array did not contain any valid jobs", 0},
        {"no fsd", R"({"other":1})", 0, nullptr, 0},
        {"fsd not an object", R"({"fsd":[1]})", -97,
         "Error occurred: json dictionary is not a Valid JSONObject", 0},
        {"not JSON", "{", -97, "Error occurred: json dictionary is not a Valid JSONObject", 0},
        {"array at the top", "[1]", -97,
         "Error occurred: json dictionary is not a Valid JSONObject", 0},
        {"no manifest id", v2Manifest("[" + kJob + "]", R"("manifest_version":2)" + fail), -97,
         "Manifest ID was missing from the FSD Manifest", 0},
        {"manifest id not a UUID",
         v2Manifest("[" + kJob + "]", R"("manifest_version":2,"manifest_id":"xyz")" + fail), -97,
         "Manifest ID was missing from the FSD Manifest", 0},
        {"no failover", v2Manifest("[" + kJob + "]", R"("manifest_version":2,)" + id), -1, nullptr,
         0},
        {"empty failover",
         v2Manifest("[" + kJob + "]", R"("manifest_version":2,)" + id + R"(,"failover":"")"), -1,
         nullptr, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t pingsBefore = pingCount();
        platform::Error error;
        auto manifest = load(c.json, &error);
        if (c.underlyingCode == 0) {
            ASSERT_NE(manifest, nullptr) << error.description();
            EXPECT_EQ(manifest->pelJobsArray().size(), c.jobs);
            EXPECT_EQ(pingCount(), pingsBefore);
            continue;
        }
        EXPECT_EQ(manifest, nullptr);
        EXPECT_EQ(error.code(), -88);
        EXPECT_EQ(fsdErrorMessage(error), "Error occurred:Load manifest failed");
        if (c.underlyingCode == -1) {
            EXPECT_EQ(error.underlyingError(), nullptr);
        } else {
            ASSERT_NE(error.underlyingError(), nullptr);
            EXPECT_EQ(error.underlyingError()->code(), c.underlyingCode);
            EXPECT_EQ(fsdErrorMessage(*error.underlyingError()), c.message);
        }
        auto events = sentEvents();
        ASSERT_EQ(events.size(), pingsBefore + 1);
        EXPECT_EQ(events.back(), (std::pair<std::string, std::string>{"23", "-97"}));
    }
}

TEST_F(FSDManifestTest, NoFsdLeavesEverythingEmpty) {
    platform::Error error;
    auto manifest = load(R"({"x":{}})", &error);
    ASSERT_NE(manifest, nullptr);
    EXPECT_TRUE(manifest->pelJobsArray().empty());
    EXPECT_FALSE(manifest->manifest_id());
    EXPECT_FALSE(manifest->failOverURL());
    EXPECT_EQ(manifest->setupInstallerFile(), nullptr);
}

TEST_F(FSDManifestTest, ManifestFileOverTheBoundIsNotRead) {
    std::string big(FSDManifest::kMaxManifestSize + 1, ' ');
    platform::Error error;
    auto [manifestPath, sigPath] = writeSigned(big, signatureText(big, *key_));
    EXPECT_EQ(FSDManifest::createFSDManifest(manifestPath, sigPath, pings_, &error), nullptr);
    ASSERT_NE(error.underlyingError(), nullptr);
    EXPECT_EQ(fsdErrorMessage(*error.underlyingError()),
              "Unable to load manifest from manifest path");
}

}  // namespace
