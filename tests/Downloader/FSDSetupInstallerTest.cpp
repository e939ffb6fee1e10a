#include <sys/stat.h>

#include "Downloader/DriverTestSupport.h"
#include "Downloader/FSDError.h"
#include "Platform/Http/HttpError.h"

using dltest::DriverTest;
using dltest::ZipEntry;
using testsupport::ScriptedReply;

namespace {

using Strings = std::vector<std::string>;

using dltest::exists;

class FSDSetupInstallerTest : public DriverTest {
  protected:
    struct Outcome {
        int calls = 0;
        bool success = false;
        std::optional<std::string> reqs, logo;
        platform::Error error;
    };

    PelFSDFilePtr setupFile(const std::string& path) {
        auto j = job({fileJSON(path, "", 0, R"(,"type":"layout_requirement")")});
        auto f = j->fileArray().back();
        f->setReqsPlist(std::string("Requirements.plist"));
        f->setBrandingLogo(std::string("logo.png"));
        jobs_.push_back(j);
        return f;
    }
    // Runs one setup-installer download to its end.
    Outcome run(const std::string& path) {
        auto file = setupFile(path);
        if (!driver_) driver_ = driver(jobs_);
        auto o = std::make_shared<Outcome>();
        platform::Error error;
        EXPECT_TRUE(driver_->downloadSetupInstallerFile(
            file, &error,
            [o](bool success, const std::optional<std::string>& reqs,
                const std::optional<std::string>& logo, const platform::Error* e) {
                ++o->calls;
                o->success = success;
                o->reqs = reqs;
                o->logo = logo;
                if (e) o->error = *e;
            }));
        EXPECT_TRUE(runUntil([&] { return o->calls == 1; }));
        platform::RunLoop::runUntil([] { return false; }, std::chrono::milliseconds(50));
        return *o;
    }

    std::vector<PelFSDJobPtr> jobs_;
    FSDDownloadPtr driver_;
};

TEST_F(FSDSetupInstallerTest, TheArchiveGivesTheListAndTheLogoWhenThereAndStartsOnce) {
    serve("/setup.zip", ScriptedReply::ok(dltest::makeZip({{"Requirements.plist", "<plist/>"}})));
    Outcome first = run("/setup.zip");
    EXPECT_TRUE(first.success);
    EXPECT_EQ(first.reqs, folder_ + "/Requirements.plist");
    EXPECT_EQ(first.logo, std::nullopt);
    EXPECT_EQ(dltest::readFile(folder_ + "/Requirements.plist"), "<plist/>");
    EXPECT_FALSE(exists(folder_ + "/setup.zip"));

    serve("/setup2.zip", ScriptedReply::ok(dltest::makeZip(
                             {{"Requirements.plist", "<plist/>"}, {"logo.png", "png"}})));
    Outcome second = run("/setup2.zip");
    EXPECT_TRUE(second.success);
    EXPECT_EQ(second.logo, folder_ + "/logo.png");
    ASSERT_TRUE(runUntil([&] { return traffic().size() == 3; }));
    EXPECT_EQ(traffic(), (Strings{"/setup.zip", "ping:started", "/setup2.zip"}));
}

TEST_F(FSDSetupInstallerTest, FailuresGiveTheirCodeAndOnePing) {
    serve("/gone.zip", ScriptedReply::withStatus(404, "missing"));
    Outcome gone = run("/gone.zip");
    EXPECT_FALSE(gone.success);
    EXPECT_EQ(gone.error.code(), kFSDErrorSetupInstallerURL);
    EXPECT_EQ(fsdErrorMessage(gone.error),
              "Setup Installer File Download URL location is not available");
    ASSERT_TRUE(gone.error.underlyingError());
    EXPECT_EQ(gone.error.underlyingError()->code(), kFSDErrorSetupInstallerURL);
    ASSERT_TRUE(runUntil([&] { return traffic().size() == 2; }));
    EXPECT_EQ(traffic(), (Strings{"/gone.zip", "ping:setup-failed"}));

    ScriptedReply huge;
    huge.generatedBodySize = (64u << 20) + 1;
    serve("/huge.zip", huge);
    Outcome tooBig = run("/huge.zip");
    EXPECT_EQ(tooBig.error.code(), kFSDErrorSetupInstallerDownload);
    ASSERT_TRUE(tooBig.error.underlyingError());
    EXPECT_EQ(tooBig.error.underlyingError()->code(), platform::kURLErrorDataLengthExceedsMaximum);

    serve("/page.zip", ScriptedReply::withStatus(500, "<html>oops</html>"));
    EXPECT_EQ(run("/page.zip").error.code(), kFSDErrorUnzip);

    serve("/empty.zip", ScriptedReply::ok(""));
    EXPECT_EQ(run("/empty.zip").error.code(), kFSDErrorSetupInstallerDownload);
}

TEST_F(FSDSetupInstallerTest, OnlyTopLevelPlainFilesAreTakenOut) {
    struct Case {
        const char* what;
        std::vector<ZipEntry> entries;
    } cases[] = {
        {"nested", {{"Requirements.plist", "r"}, {"sub/logo.png", "l"}}},
        {"climbing", {{"../x", "x"}}},
        {"absolute", {{"/abs", "a"}}},
        {"folder", {{"Dir/", "", ZipEntry::Folder}}},
        {"link", {{"link", "", ZipEntry::Link, "/etc/passwd"}}},
        {"bad checksum", {{"Requirements.plist", "checked-bytes"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string zip = dltest::makeZip(c.entries);
        if (std::string(c.what) == "bad checksum") zip = dltest::corrupted(zip, "checked-bytes");
        serve("/bad.zip", ScriptedReply::ok(zip));
        Outcome o = run("/bad.zip");
        EXPECT_FALSE(o.success);
        EXPECT_EQ(o.error.code(), kFSDErrorUnzip);
        EXPECT_FALSE(exists(folder_ + "/bad.zip"));
        EXPECT_FALSE(exists(dir_.file("x")));
        EXPECT_FALSE(exists("/abs"));
        EXPECT_FALSE(exists(folder_ + "/link"));
        EXPECT_FALSE(exists(folder_ + "/sub"));
    }
}

TEST_F(FSDSetupInstallerTest, NothingStartsWithoutAFileOrAUsableAddress) {
    auto d = driver({job({fileJSON("/a.zip", "A.pkg", 1)})});
    platform::Error error;
    EXPECT_FALSE(d->downloadSetupInstallerFile(nullptr, &error, nullptr));
    EXPECT_EQ(error.code(), kFSDErrorNoSetupInstaller);
    auto f = std::make_shared<PelFSDFile>();
    f->setDownloadURL(std::string("http://127.0.0.1:1/%2E%2E"));
    EXPECT_FALSE(d->downloadSetupInstallerFile(f, &error, nullptr));
    EXPECT_EQ(error.code(), kFSDErrorSetupInstallerURL);
}

}  // namespace
