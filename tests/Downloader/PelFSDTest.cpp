#include <sys/stat.h>
#include <unistd.h>

#include "Downloader/DriverTestSupport.h"
#include "Downloader/FSDError.h"
#include "Downloader/PelFSD.h"
#include "pelsign/DevSigning.h"
#include "support/ScopedVerificationKey.h"
#include "support/UnprivilegedChild.h"

using dltest::DriverTest;
using testsupport::ScriptedReply;

namespace {

using dltest::exists;

class PelFSDTest : public DriverTest {
  protected:
    static void SetUpTestSuite() {
        key_ = new devsign::PrivateKey(devsign::PrivateKey::generateRSA(2048));
    }
    static void TearDownTestSuite() { delete key_; }
    testsupport::ScopedVerificationKey trust_{key_->publicKeySPKI(), key_->publicKeySPKI()};

    std::string manifestText() {
        return std::string(
                   R"({"fsd":{"global":{"manifest_version":2,"manifest_id":"0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0","failover":"http://fail/over"},"job_array":[{"job_id":")") +
               dltest::kJobId + R"(","distribution":{"transaction_id":")" + dltest::kTransactionId +
               R"("},"file_array":[{"source_file":")" + server_.url("/setup.zip") +
               R"(","type":"layout_requirement","destination_file":{"REQUIREMENTS_PLIST":"R.plist"}},{"source_file":")" +
               server_.url("/a.zip") + R"(","destination_file":"A.pkg","file_priority":1}]}]}})";
    }
    std::string signature(const std::string& text) {
        return devsign::base64Lines(
            key_->signMessage(platform::DigestAlgorithm::kSHA512, text.data(), text.size()));
    }
    // Writes a signed manifest pair into `folder`; returns the two paths.
    std::pair<std::string, std::string> writeManifest(const std::string& folder) {
        std::string text = manifestText();
        return {dir_.write(folder + "/fsdmanifest.js", text),
                dir_.write(folder + "/fsdmanifest-sig.txt", signature(text))};
    }
    PelFSDPtr create(const std::pair<std::string, std::string>& paths) {
        platform::Error error;
        auto fsd = PelFSD::createFSD(paths.first, paths.second, folder_, delegate_, pings_, &error);
        EXPECT_TRUE(fsd) << error.description();
        return fsd;
    }

    static devsign::PrivateKey* key_;
};
devsign::PrivateKey* PelFSDTest::key_ = nullptr;

TEST_F(PelFSDTest, ABadSignatureGivesNoFacade) {
    auto paths = writeManifest("m");
    dltest::writeFile(paths.second, signature("something else"));
    platform::Error error;
    EXPECT_FALSE(PelFSD::createFSD(paths.first, paths.second, folder_, delegate_, pings_, &error));
    EXPECT_EQ(error.code(), kFSDErrorManifestParse);
    EXPECT_EQ(fsdErrorMessage(error), "Unable to create a valid fsd manifest object");
    ASSERT_TRUE(error.underlyingError());
    EXPECT_EQ(error.underlyingError()->code(), kFSDErrorStart);

    std::vector<PelFSDJobPtr> none;
    EXPECT_FALSE(PelFSD::createFSDWithJobArray(&none, folder_, delegate_, pings_, &error));
    EXPECT_EQ(error.code(), kFSDErrorNoJobs);
}

TEST_F(PelFSDTest, SetupInstallerThenDownloadRunThroughTheFacade) {
    serve("/setup.zip", ScriptedReply::ok(dltest::makeZip({{"R.plist", "r"}})));
    serveZip("/a.zip", {{"A.pkg", "a"}});
    auto fsd = create(writeManifest("m"));
    ASSERT_TRUE(fsd);
    EXPECT_EQ(fsd->failOverURL(), "http://fail/over");
    std::optional<std::string> reqs;
    bool done = false;
    ASSERT_TRUE(fsd->performSetupInstallerFile(
        nullptr, [&](bool ok, const std::optional<std::string>& r,
                     const std::optional<std::string>&, const platform::Error*) {
            done = ok;
            reqs = r;
        }));
    ASSERT_TRUE(runUntil([&] { return done; }));
    EXPECT_EQ(reqs, folder_ + "/R.plist");
    fsd->startFSDDownload();
    ASSERT_TRUE(runUntil([&] { return delegate_->finished == 1; }));
    EXPECT_EQ(dltest::readFile(folder_ + "/A.pkg"), "a");
    EXPECT_EQ(delegate_->calls().front(), "jobs 1 1");
}

TEST_F(PelFSDTest, WriteInformationReplacesTheFolderWithTheTwoCopies) {
    const std::string kept = dir_.file("kept");
    struct Case {
        const char* what;
        std::function<std::string()> prepare;  // returns the folder to write into
        bool ok;
    } cases[] = {
        {"existing folder",
         [&] {
             dir_.write("keep1/old.txt", "old");
             return dir_.file("keep1");
         },
         true},
        {"manifest inside", [&] { return dir_.file("m"); }, true},
        {"folder is a link",
         [&] {
             dir_.write("target/precious.txt", "p");
             ::symlink(dir_.file("target").c_str(), dir_.file("link").c_str());
             return dir_.file("link");
         },
         true},
        {"root", [] { return std::string("/"); }, false},
        {"home", [] { return platform::Paths::homeDirectory(); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto fsd = create(writeManifest("m"));
        std::string folder = c.prepare();
        EXPECT_EQ(fsd->writeFSDInformation(folder, nullptr), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(dltest::readFile(folder + "/fsdmanifest.js"), manifestText());
        EXPECT_FALSE(dltest::readFile(folder + "/fsdmanifest-sig.txt").empty());
        EXPECT_FALSE(exists(folder + "/old.txt"));
    }
    EXPECT_EQ(dltest::readFile(dir_.file("target/precious.txt")), "p");

    platform::Error error;
    // A facade made from bytes has no manifest path: the folder goes, the answer is no.
    std::string text = manifestText();
    std::string sig = signature(text);
    auto fromBytes = PelFSD::createFSDWithData(platform::Data(text.begin(), text.end()),
                                               platform::Data(sig.begin(), sig.end()), folder_,
                                               delegate_, pings_, &error);
    ASSERT_TRUE(fromBytes) << error.description();
    dltest::writeFile(dir_.write("bytesfolder/x", "x"), "x");
    EXPECT_FALSE(fromBytes->writeFSDInformation(dir_.file("bytesfolder"), nullptr));
    EXPECT_FALSE(exists(dir_.file("bytesfolder")));
}

// A root run (say with a user's $HOME kept) downloads and writes the
// download's information only in folders no other user can change: below
// another user's folder, or through their link, it makes nothing.
TEST_F(PelFSDTest, RootWorksOnlyInFoldersNoOtherUserCanChange) {
    if (geteuid() != 0) GTEST_SKIP() << "the other user is played by a child at uid 65534";
    const std::string shared = dir_.file("shared");
    const std::string target = dir_.file("target");
    ASSERT_TRUE(testsupport::makeStickyFolder(dir_.path(), shared));
    ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
    ASSERT_TRUE(testsupport::plantAsOtherUser(shared, "home", target, 0755));
    auto fsd = create(writeManifest("m"));
    for (const std::string& folder : {shared + "/home/FSD", shared + "/link/FSD"}) {
        SCOPED_TRACE(folder);
        platform::Error error;
        EXPECT_FALSE(PelFSD::createFSD(dir_.file("m/fsdmanifest.js"),
                                       dir_.file("m/fsdmanifest-sig.txt"), folder, delegate_,
                                       pings_, &error));
        ASSERT_TRUE(error.underlyingError()) << error.description();
        EXPECT_EQ(error.underlyingError()->code(), kFSDErrorDownloadFolder);
        EXPECT_FALSE(fsd->writeFSDInformation(folder, nullptr));
    }
    EXPECT_TRUE(std::filesystem::is_empty(shared + "/home"));
    EXPECT_TRUE(std::filesystem::is_empty(target));
}

}  // namespace
