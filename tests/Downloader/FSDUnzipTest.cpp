#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "Downloader/DriverTestSupport.h"
#include "Downloader/FSDError.h"
#include "Platform/Http/HttpError.h"
#include "support/LinkCases.h"

using dltest::DriverTest;
using dltest::ZipEntry;
using testsupport::ScriptedReply;

namespace {

using Strings = std::vector<std::string>;

using dltest::exists;

class FSDUnzipTest : public DriverTest {
  protected:
    // Fetches one mandatory file served with `body` and waits for its end.
    void fetch(const std::string& body, const std::string& pkg, bool app = false,
               const std::string& path = "/file.zip") {
        serve(path, ScriptedReply::ok(body));
        std::string name = app ? R"(,"destination_file":{"x":1})" : "";
        auto spec = app ? R"("source_file":")" + server_.url(path) + "\"" : fileJSON(path, pkg, 1);
        auto j = job({spec});
        if (app) j->fileArray().back()->setAppName(pkg);
        driver_ = driver({j});
        driver_->startDownload();
        ASSERT_TRUE(runUntil([&] { return delegate_->finished + delegate_->failed == 1; }));
    }
    std::string toolScript(const std::string& body) {
        std::string path = dir_.file("fake-unzip.sh");
        dltest::writeFile(path, "#!/bin/sh\n" + body + "\n");
        ::chmod(path.c_str(), 0755);
        return path;
    }
    FSDDownloadPtr driver_;
};

TEST_F(FSDUnzipTest, PackageArchivesGiveTheirFirstEntryOrAClearError) {
    struct Case {
        const char* what;
        std::string body;
        long code;  // 0: done
    } cases[] = {
        {"folder first", dltest::makeZip({{"Dir/", "", ZipEntry::Folder}, {"P.pkg", "p"}}), -99},
        {"other name", dltest::makeZip({{"Q.pkg", "q"}, {"P.pkg", "p"}}), -99},
        {"climbing name", dltest::makeZip({{"../P.pkg", "p"}}), -99},
        {"empty archive", dltest::makeZip({}), -100},
        {"bad checksum",
         dltest::corrupted(dltest::makeZip({{"P.pkg", "payload-bytes"}}), "payload-bytes"), -99},
        {"not a zip", "just some text", -100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        delegate_ = std::make_shared<dltest::RecordingDelegate>();
        dltest::writeFile(dir_.file("P.pkg"), "outside");
        fetch(c.body, "P.pkg");
        if (c.code == 0) {
            EXPECT_EQ(delegate_->finished.load(), 1);
        } else {
            ASSERT_EQ(delegate_->failed.load(), 1);
            EXPECT_EQ(delegate_->lastError.code(), c.code);
        }
        EXPECT_FALSE(exists(folder_ + "/file.zip"));
        EXPECT_FALSE(exists(folder_ + "/P.pkg"));
        EXPECT_FALSE(exists(folder_ + "/P.pkg.partial"));
        EXPECT_EQ(dltest::readFile(dir_.file("P.pkg")), "outside");
        EXPECT_EQ(driver_->packagePaths().size(), 1u);  // described before unpacking
    }
}

TEST_F(FSDUnzipTest, AnArchiveNamedLikeItsPackageIsReplacedByThePackage) {
    fetch(dltest::makeZip({{"Product.pkg", "the package"}}), "Product.pkg", false, "/Product.pkg");
    EXPECT_EQ(delegate_->finished.load(), 1);
    EXPECT_EQ(dltest::readFile(folder_ + "/Product.pkg"), "the package");
}

TEST_F(FSDUnzipTest, ApplicationArchivesAreUnpackedByTheToolOnlyWhenEveryEntryStaysInside) {
    fetch(dltest::makeZip({{"App.app/", "", ZipEntry::Folder},
                           {"App.app/Contents/Info.plist", "info"},
                           {"App.app/Contents/link", "", ZipEntry::Link, "Info.plist"}}),
          "App.app", true);
    ASSERT_EQ(delegate_->finished.load(), 1);
    EXPECT_EQ(dltest::readFile(folder_ + "/App.app/Contents/Info.plist"), "info");
    EXPECT_FALSE(exists(folder_ + "/file.zip"));
    ASSERT_EQ(driver_->packagePaths().size(), 1u);
    EXPECT_EQ(driver_->packagePaths()[0].at("pkgName").stringValue(), "App.app");

    for (auto entries : {std::vector<ZipEntry>{{"App.app/x", "x"}, {"../evil", "e"}},
                         std::vector<ZipEntry>{{"App.app/l", "", ZipEntry::Link, "../../etc"}},
                         std::vector<ZipEntry>{{"App.app/l", "", ZipEntry::Link, "/etc"}}}) {
        delegate_ = std::make_shared<dltest::RecordingDelegate>();
        fetch(dltest::makeZip(entries), "App.app", true);
        ASSERT_EQ(delegate_->failed.load(), 1);
        EXPECT_EQ(delegate_->lastError.code(), kFSDErrorUnzip);
        EXPECT_FALSE(exists(dir_.file("evil")));
        EXPECT_FALSE(exists(folder_ + "/App.app/l"));
        EXPECT_FALSE(exists(folder_ + "/file.zip"));
    }
}

TEST_F(FSDUnzipTest, ApplicationArchivesWithLinksUnpackOnlyInsideTheFolder) {
    int n = 0;
    for (const linkcases::Case& c : linkcases::cases()) {
        if (c.hardLink) continue;  // ZIP holds no hard links
        SCOPED_TRACE(c.what);
        linkcases::Site site(dir_.file("case" + std::to_string(++n)));
        folder_ = site.destination();
        std::vector<ZipEntry> entries;
        for (const auto& e : c.entries) {
            using E = linkcases::Entry;
            if (e.kind == E::Folder) entries.push_back({e.name + "/", "", ZipEntry::Folder});
            if (e.kind == E::File) entries.push_back({e.name, e.value});
            if (e.kind == E::Link) entries.push_back({e.name, "", ZipEntry::Link, e.value});
        }
        delegate_ = std::make_shared<dltest::RecordingDelegate>();
        fetch(dltest::makeZip(entries), "App.app", true);
        const bool refused = delegate_->failed.load() == 1;
        if (refused) {
            EXPECT_EQ(delegate_->lastError.code(), kFSDErrorUnzip);
        }
        site.expectOutcome(c, refused);
    }
}

TEST_F(FSDUnzipTest, AToolThatFailsPartWayLeavesNothingNewBehind) {
    // The tool writes some of the archive and fails: what it made at the top
    // of the folder goes, what was there before stays.
    ::mkdir(folder_.c_str(), 0755);
    ::mkdir((folder_ + "/Shared").c_str(), 0755);
    dltest::writeFile(folder_ + "/Shared/old", "old");
    FSDDownload::setUnzipToolPath(toolScript(R"(mkdir -p "$3/App.app/Contents" "$3/Shared"
echo half > "$3/App.app/Contents/half"
echo new > "$3/Shared/new"
exit 1)"));
    fetch(dltest::makeZip({{"App.app/Contents/half", "half"},
                           {"App.app/Contents/rest", "rest"},
                           {"Shared/new", "new"}}),
          "App.app", true);
    ASSERT_EQ(delegate_->failed.load(), 1);
    EXPECT_EQ(delegate_->lastError.code(), kFSDErrorUnzip);
    EXPECT_FALSE(exists(folder_ + "/App.app"));
    EXPECT_EQ(dltest::readFile(folder_ + "/Shared/old"), "old");
}

TEST_F(FSDUnzipTest, TheToolsExitStatusAndItsWatchdogDecide) {
    const std::string zip = dltest::makeZip({{"App.app/x", "x"}});
    FSDDownload::setUnzipToolPath(toolScript("exit 1"));
    fetch(zip, "App.app", true);
    ASSERT_EQ(delegate_->failed.load(), 1);
    EXPECT_EQ(delegate_->lastError.code(), kFSDErrorUnzip);
    EXPECT_EQ(fsdErrorMessage(delegate_->lastError), "Failed, unzipTask terminationStatus bad");
    EXPECT_FALSE(exists(folder_ + "/file.zip"));

    // A tool that hangs is stopped by the watchdog on the driver's own
    // thread: the main queue is not run while it waits.
    delegate_ = std::make_shared<dltest::RecordingDelegate>();
    FSDDownload::setUnzipToolPath(toolScript("exec sleep 30"));
    FSDDownload::setUnzipWatchdogForTesting(std::chrono::milliseconds(200),
                                            std::chrono::milliseconds(200));
    serve("/file.zip", ScriptedReply::ok(zip));
    auto j = job({R"("source_file":")" + server_.url("/file.zip") + "\""});
    j->fileArray().back()->setAppName("App.app");
    auto d = driver({j});
    d->startDownload();
    ASSERT_TRUE(server_.waitForRequests(server_.requestCount() + 1));
    auto unpacking = [&] {
        return exists(folder_ + "/file.zip.fsd") || exists(folder_ + "/file.zip");
    };
    // The request may reach the server before the archive is on disk: wait
    // for it to be there, then for the watchdog to take it away.
    for (int i = 0; i < 6000 && !unpacking(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (int i = 0; i < 6000 && unpacking(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(unpacking());
    ASSERT_TRUE(runUntil([&] { return delegate_->failed == 1; }));
    EXPECT_EQ(delegate_->lastError.code(), kFSDErrorUnzip);
}

TEST_F(FSDUnzipTest, AToolArchiveThatIsNoZipFailsTheFile) {
    fetch("plain text", "App.app", true);
    ASSERT_EQ(delegate_->failed.load(), 1);
    EXPECT_EQ(delegate_->finished.load(), 0);
    EXPECT_EQ(delegate_->lastError.code(), kFSDErrorOpenZip);
    EXPECT_FALSE(exists(folder_ + "/file.zip"));
}

}  // namespace
