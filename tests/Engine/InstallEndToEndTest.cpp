// The whole helper path with the real programs: blessing the install helper
// into the test's root, driving it over XPC, and the packages it installs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "Engine/HelperToolUtils.h"
#include "Engine/PelInstallXPCClient.h"
#include "Engine/PelInstallerFramework.h"
#include "EngineTestSupport.h"
#include "InstallRecorders.h"
#include "PackageFixtures.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Security/Crypto.h"
#include "Platform/System/Bundle.h"
#include "Platform/System/ServiceManagement.h"
#include "Platform/Values/PropertyList.h"
#include "Platform/Xpc/XpcConnection.h"
#include "support/FakeAuthoriser.h"
#include "support/FakeClientProcess.h"
#include "support/ParkedRootProcess.h"
#include "support/QueueHelpers.h"
#include "support/UnprivilegedChild.h"

namespace enginetest {
namespace {

namespace fs = std::filesystem;
using platform::RunLoop;

// True while `pid` runs (a zombie that nobody reaps has ended).
bool running(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

class InstallEndToEndTest : public EngineFixture {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "blessing needs root";
        fs::create_directories(bundle_ + "/Contents/Library/LaunchServices");
        fs::create_directories(bundle_ + "/Contents/MacOS");
        fs::copy_file(PEL_INSTALL_HELPER_PATH,
                      bundle_ + "/Contents/Library/LaunchServices/" + kPelInstallHelperLabel);
        fs::copy_file(PEL_AUTH_BROKER_PATH, bundle_ + "/Contents/MacOS/PelAuthBroker");
        writePlist(bundle_ + "/Contents/Resources/PelSupportFolder/com.pelgrave.partner.plist",
                   Value(Dictionary{{"PartnerID", "P-17"}}));
        platform::Bundle::setMainBundle(std::make_shared<platform::Bundle>(bundle_));
        PelInstallXPCClient::setSharedXPCClient(std::make_shared<PelInstallXPCClient>());
    }
    void TearDown() override {
        platform::SMRemoveJobAsRoot(kPelInstallHelperLabel, nullptr);
        PelInstallXPCClient::setSharedXPCClient(nullptr);
        HelperToolUtils::sharedHelperUtils().setAuthoriser(nullptr);
        platform::Bundle::setMainBundle(nullptr);
    }

    testsupport::MainQueueGuard mainGuard_;
    std::string bundle_ = dir_.file("Test.app");
};

TEST_F(InstallEndToEndTest, BlessedHelperInstallsThePackagesAndAnOptionalFailureIsReported) {
    auto authoriser = std::make_shared<testsupport::FakeAuthoriser>();
    authoriser->granted = std::make_shared<platform::RootAuthorization>(bundle_, 501);
    HelperToolUtils::sharedHelperUtils().setAuthoriser(authoriser);

    auto mandatory = sampleComponent("com.pelgrave.e2e.main", "opt/e2e/main.txt", "installed");
    using Kind = mkpkg::PayloadEntry::Kind;
    mandatory.payload.push_back({"./opt/e2e/post.sh", Kind::File,
                                 "#!/bin/sh\ntouch \"$PEL_PATH_ROOT/var/tmp/post-ran\"\n", "",
                                 0755});
    mandatory.payload.push_back({"./opt/e2e/job.sh", Kind::File,
                                 "#!/bin/sh\necho \"$@\" >\"$PEL_PATH_ROOT/var/tmp/job-started\"\n",
                                 "", 0755});
    mandatory.payload.push_back({"./Library", Kind::Directory, "", "", 0755});
    mandatory.payload.push_back({"./Library/LaunchDaemons", Kind::Directory, "", "", 0755});
    const auto jobPlist = platform::PropertyList::toData(
        Value(Dictionary{{"Label", "com.pelgrave.e2e.job"},
                         {"ProgramArguments", Array{"/opt/e2e/job.sh"}}}),
        platform::PropertyListFormat::XML, nullptr);
    ASSERT_TRUE(jobPlist);
    mandatory.payload.push_back({"./Library/LaunchDaemons/com.pelgrave.e2e.job.plist", Kind::File,
                                 std::string(jobPlist->begin(), jobPlist->end()), "", 0644});
    // A tool that others could have changed is not run.
    const std::string open = rooted("/opt/open.sh");
    fs::create_directories(fs::path(open).parent_path());
    std::ofstream(open) << "#!/bin/sh\ntouch \"$PEL_PATH_ROOT/var/tmp/open-ran\"\n";
    chmod(open.c_str(), 0777);
    const std::string good = writePackage(
        dir_.file("pkgs/Main.pkg"), mkpkg::buildComponentPackage(mandatory, developmentSigning()));
    // Signed by a key the helper does not trust: it fails, and may.
    ScopedPackageTrust stranger;
    const std::string optional = writePackage(
        dir_.file("pkgs/Extra.pkg"),
        mkpkg::buildComponentPackage(sampleComponent("com.pelgrave.e2e.extra", "extra.txt", "no"),
                                     stranger.signing()));

    PelInstallerFramework framework;
    framework.setEffectiveUserIdSource([] { return uid_t(501); });
    RecordingProgress progress;
    RecordingPlugin plugin;
    const auto begin = std::chrono::steady_clock::now();
    framework.performInstallWithMultiplePackages(
        Array{Value(Dictionary{{"pkgName", optional}, {"pkgPriority", -1}, {"pingModuleID", 12}}),
              Value(Dictionary{{"pkgName", good}, {"pkgPriority", 0}, {"pingModuleID", 13}})},
        &plugin, &progress, Array{"/opt/open.sh", "/opt/e2e/post.sh"}, "A helper tool is needed.",
        std::nullopt);
    ASSERT_TRUE(RunLoop::runUntil([&] { return !progress.get(progress.completions).empty(); },
                                  std::chrono::seconds(30)));
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    RecordProperty(
        "install_ms",
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));

    EXPECT_EQ(progress.get(progress.completions), std::vector<int>{304})
        << devsign::readFile(rooted("/var/log/com.pelgrave.PelInstallHelper.log"))
        << ::testing::PrintToString(progress.eventNames());
    EXPECT_EQ(plugin.calls(), std::vector<std::string>{"completeWithDelegate:1"});
    std::ifstream installed(rooted("/opt/e2e/main.txt"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(installed), {}), "installed");
    EXPECT_TRUE(fs::exists(rooted("/var/db/receipts/com.pelgrave.e2e.main.plist")));
    EXPECT_FALSE(fs::exists(rooted("/extra.txt")));
    EXPECT_FALSE(fs::exists(rooted("/var/db/receipts/com.pelgrave.e2e.extra.plist")));

    const auto failures = progress.get(progress.optionalFailures);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].at("pingModuleID"), Value(12));
    EXPECT_EQ(failures[0].at("termStatus"), Value(1));
    const std::string contents = devsign::readFile(optional);
    platform::Data md5;
    platform::computeDigest(platform::DigestAlgorithm::kMD5, contents.data(), contents.size(),
                            &md5);
    std::string hex;
    for (auto b : md5) hex += "0123456789abcdef"[b >> 4], hex += "0123456789abcdef"[b & 15];
    EXPECT_EQ(failures[0].at("md5Hash").stringValue(), hex);
    EXPECT_TRUE(progress.get(progress.mandatoryFailures).empty());
    const auto percents = progress.get(progress.percents);
    EXPECT_FALSE(percents.empty());
    for (double p : percents) {
        EXPECT_GE(p, 0.0);
        EXPECT_LE(p, 100.0);
    }
    EXPECT_EQ(progress.get(progress.packageCounts), std::vector<std::uint64_t>{1});

    EXPECT_TRUE(fs::exists(rooted("/var/tmp/post-ran")));
    EXPECT_FALSE(fs::exists(rooted("/var/tmp/open-ran")));
    // The job its receipt lists is started after the final status, told
    // the helper's client (who may then stop it).
    auto jobArguments = [&] {
        std::ifstream in(rooted("/var/tmp/job-started"));
        return std::string((std::istreambuf_iterator<char>(in)), {});
    };
    for (int i = 0; i < 500 && jobArguments().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(jobArguments(), "--client-uid 501\n")
        << devsign::readFile(rooted("/var/log/com.pelgrave.PelInstallHelper.log"));

    const auto partner = platform::PropertyList::dictionaryWithContentsOfFile(
        rooted("/Library/Application Support/Pelgrave/com.pelgrave.partner.plist"));
    ASSERT_TRUE(partner);
    EXPECT_EQ(partner->at("PartnerID"), Value("P-17"));

    // What the blessing left: the tool, root's and read-only, and its job.
    struct stat info;
    ASSERT_EQ(
        stat(rooted("/Library/PrivilegedHelperTools/com.pelgrave.PelInstallHelper").c_str(), &info),
        0);
    EXPECT_EQ(info.st_uid, 0u);
    EXPECT_EQ(info.st_mode & 07777, 0544u);
    const auto job = platform::PropertyList::dictionaryWithContentsOfFile(
        rooted("/Library/LaunchDaemons/com.pelgrave.PelInstallHelper.plist"));
    ASSERT_TRUE(job);
    EXPECT_EQ(job->at("Label"), Value(kPelInstallHelperLabel));
    const auto& args = *job->at("ProgramArguments").asArray();
    ASSERT_EQ(args.size(), 3u);
    EXPECT_EQ(args[1], Value("--client-uid"));
    EXPECT_EQ(args[2], Value("501"));
}

TEST_F(InstallEndToEndTest, AFailedMandatoryPackageStopsTheRunAndOnePackageTravelsAlone) {
    auto authoriser = std::make_shared<testsupport::FakeAuthoriser>();
    authoriser->granted = std::make_shared<platform::RootAuthorization>(bundle_, 501);
    HelperToolUtils::sharedHelperUtils().setAuthoriser(authoriser);
    const std::string good = writePackage(
        dir_.file("pkgs/Good.pkg"),
        mkpkg::buildComponentPackage(sampleComponent("com.pelgrave.e2e.good", "good.txt", "g"),
                                     developmentSigning()));
    ScopedPackageTrust stranger;
    const std::string bad = writePackage(
        dir_.file("pkgs/Bad.pkg"),
        mkpkg::buildComponentPackage(sampleComponent("com.pelgrave.e2e.bad", "bad.txt", "b"),
                                     stranger.signing()));

    PelInstallerFramework framework;
    framework.setEffectiveUserIdSource([] { return uid_t(501); });
    RecordingProgress progress;
    RecordingPlugin plugin;
    framework.performInstallWithMultiplePackages(
        Array{Value(Dictionary{{"pkgName", bad}, {"pkgPriority", 0}, {"pingModuleID", 1}}),
              Value(Dictionary{{"pkgName", good}, {"pkgPriority", 0}, {"pingModuleID", 2}})},
        &plugin, &progress, {});
    ASSERT_TRUE(RunLoop::runUntil([&] { return !progress.get(progress.completions).empty(); },
                                  std::chrono::seconds(30)));
    EXPECT_EQ(progress.get(progress.completions), std::vector<int>{302});
    EXPECT_EQ(plugin.calls(), std::vector<std::string>{"completeWithDelegate:0"});
    const auto failures = progress.get(progress.mandatoryFailures);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].count("pingModuleID"), 0u);
    EXPECT_EQ(failures[0].at("termStatus"), Value(1));
    EXPECT_NE(failures[0].at("failureReason").stringValue().find("Error"), std::string::npos);
    EXPECT_FALSE(fs::exists(rooted("/good.txt")));
    EXPECT_FALSE(fs::exists(rooted("/bad.txt")));

    // One package, through the single-package request.
    PelInstallXPCClient::setSharedXPCClient(std::make_shared<PelInstallXPCClient>());
    RecordingProgress single;
    RecordingPlugin singlePlugin;
    framework.performInstall(good, &singlePlugin, &single, {});
    ASSERT_TRUE(RunLoop::runUntil([&] { return !single.get(single.completions).empty(); },
                                  std::chrono::seconds(30)));
    EXPECT_EQ(single.get(single.completions), std::vector<int>{304});
    EXPECT_TRUE(fs::exists(rooted("/good.txt")));
    EXPECT_TRUE(single.get(single.packageCounts).empty());
}

TEST_F(InstallEndToEndTest, BlessingAgainReplacesTheRunningHelperAndBadNamesAreRefused) {
    HelperToolUtils utils;
    utils.setAuthoriser(std::make_shared<platform::SystemAuthoriser>(bundle_));
    platform::AuthorizationRef authorization;
    ASSERT_EQ(utils.getAuthRef(&authorization), 0);
    platform::Error error;
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(utils.launchHelperTool(kPelInstallHelperLabel, &error, authorization))
        << error.description();
    RecordProperty("bless_ms", std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  std::chrono::steady_clock::now() - begin)
                                                  .count()));
    const pid_t first = platform::SMRunningJobPid(kPelInstallHelperLabel);
    ASSERT_GT(first, 0);
    ASSERT_TRUE(utils.launchHelperTool(kPelInstallHelperLabel, &error, authorization));
    const pid_t second = platform::SMRunningJobPid(kPelInstallHelperLabel);
    EXPECT_GT(second, 0);
    EXPECT_NE(second, first);
    EXPECT_FALSE(running(first)) << "the first helper still runs";

    EXPECT_FALSE(utils.launchHelperTool("../evil", &error, authorization));
    EXPECT_EQ(error.domain(), "CFErrorDomainLaunchd");
    EXPECT_EQ(error.code(), 5);
    EXPECT_FALSE(fs::exists(dir_.file("root/Library/evil")));

    EXPECT_TRUE(utils.shutdownDaemon(kPelInstallHelperLabel, &error, authorization));
    EXPECT_EQ(platform::SMRunningJobPid(kPelInstallHelperLabel), -1);
    utils.freeAuth(&authorization);
}

TEST_F(InstallEndToEndTest, TheBrokerBlessesAlikeWhenRunAsRootWithoutAnElevator) {
    auto authoriser =
        std::make_shared<platform::SystemAuthoriser>(bundle_, std::vector<std::string>{});
    authoriser->setGrantInProcessAsRoot(false);
    platform::AuthorizationRequest request =
        HelperToolUtils::authorizationRequest(kPelBlessHelperRight, "Prompt", std::nullopt);
    platform::AuthorizationRef authorization;
    ASSERT_EQ(authoriser->createAuthorization(request, &authorization), 0);
    EXPECT_EQ(dynamic_cast<platform::RootAuthorization*>(authorization.get()), nullptr);
    platform::Error error;
    ASSERT_TRUE(authorization->blessHelper(kPelInstallHelperLabel, &error)) << error.description();
    EXPECT_GT(platform::SMRunningJobPid(kPelInstallHelperLabel), 0);
    EXPECT_FALSE(authorization->blessHelper("../evil", &error));
    EXPECT_EQ(error.code(), 5);
    EXPECT_TRUE(authorization->removeJob(kPelInstallHelperLabel, &error));
    EXPECT_EQ(platform::SMRunningJobPid(kPelInstallHelperLabel), -1);
}

// How a privileged program ended when run with `arguments` and the
// environment entries `environment` (PEL_PATH_ROOT and PKEXEC_UID cleared
// first), as root or, `raised`, with an ordinary real uid and effective uid
// 0; its input is `input`. A program still running after 20 s is killed.
struct ProgramRun {
    int status = -1;
    bool hung = false;
    std::string output, errors;
};

ProgramRun runPrivileged(const testsupport::TempDir& dir, std::vector<std::string> arguments,
                         const std::vector<std::string>& environment, bool raised,
                         const std::string& input) {
    const std::string in = dir.write("run/in", input), out = dir.file("run/out"),
                      err = dir.file("run/err");
    std::vector<char*> argv;
    for (auto& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    ProgramRun run;
    const pid_t child = fork();
    if (child == 0) {
        unsetenv("PEL_PATH_ROOT");
        unsetenv("PKEXEC_UID");
        for (const auto& entry : environment) putenv(const_cast<char*>(entry.c_str()));
        dup2(open(in.c_str(), O_RDONLY), 0);
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        if (raised && setresuid(testsupport::kUnprivilegedId, 0, 0) != 0) _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    for (int i = 0; i < 2000 && waitpid(child, &run.status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (kill(child, 0) == 0 && waitpid(child, &run.status, WNOHANG) == 0) {
        run.hung = true;
        kill(child, SIGKILL);
        waitpid(child, &run.status, 0);
    }
    run.output = devsign::readFile(out);
    run.errors = devsign::readFile(err);
    return run;
}

// What an ordinary user can hand a privileged program: a path root as an
// argument or in the environment, through pkexec or with a raised effective
// uid. Every program refuses it before touching anything there.
TEST_F(InstallEndToEndTest, NoPrivilegedProgramTakesAPathRootFromAnOrdinaryUser) {
    const std::string theirs = dir_.file("theirs");
    fs::create_directories(theirs);
    chown(theirs.c_str(), testsupport::kUnprivilegedId, testsupport::kUnprivilegedId);
    const std::string broker = bundle_ + "/Contents/MacOS/PelAuthBroker";
    const std::string viaEnvironment = "PEL_PATH_ROOT=" + theirs, viaPkexec = "PKEXEC_UID=65534";
    struct Case {
        std::string name;
        std::vector<std::string> arguments, environment;
        bool raised;
    };
    std::vector<Case> cases{
        {"broker, pkexec, argument",
         {broker, "--serve", "--path-root", theirs},
         {viaPkexec},
         false},
        {"broker, pkexec, environment", {broker, "--serve"}, {viaPkexec, viaEnvironment}, false},
        {"broker, raised, argument", {broker, "--serve", "--path-root", theirs}, {}, true},
        {"broker, raised, environment", {broker, "--serve"}, {viaEnvironment}, true},
    };
    for (const char* helper :
         {PEL_INSTALL_HELPER_PATH, PEL_UNINSTALL_HELPER_PATH, PEL_KEXT_HELPER_PATH}) {
        const std::string name = fs::path(helper).filename().string();
        cases.push_back({name + ", pkexec",
                         {helper, "--client-uid", "65534"},
                         {viaPkexec, viaEnvironment},
                         false});
        cases.push_back(
            {name + ", raised", {helper, "--client-uid", "65534"}, {viaEnvironment}, true});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ProgramRun run = runPrivileged(dir_, c.arguments, c.environment, c.raised,
                                             "bless com.pelgrave.PelInstallHelper\n");
        EXPECT_FALSE(run.hung);
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) != 0) << run.status;
        EXPECT_EQ(run.output.find("ready"), std::string::npos) << run.output;
        EXPECT_TRUE(run.errors.find("path root") != std::string::npos ||
                    run.errors.find("started by root") != std::string::npos)
            << run.errors;
        EXPECT_TRUE(fs::is_empty(theirs));
    }

    // The application's own road: an elevator that sets PKEXEC_UID, under
    // the test's path root, is refused in the same way.
    platform::SystemAuthoriser authoriser(bundle_, {"/usr/bin/env", viaPkexec});
    authoriser.setGrantInProcessAsRoot(false);
    platform::AuthorizationRef authorization;
    EXPECT_EQ(authoriser.createAuthorization(HelperToolUtils::authorizationRequest(
                                                 kPelBlessHelperRight, std::nullopt, std::nullopt),
                                             &authorization),
              platform::errAuthorizationDenied);
    EXPECT_FALSE(fs::exists(rooted("/Library/PrivilegedHelperTools")));
}

TEST_F(InstallEndToEndTest, OnlyASmallDictionaryThatIsNoLinkBecomesThePartnerFile) {
    platform::Error error;
    ASSERT_TRUE(platform::SMBlessHelperAsRoot(bundle_, kPelInstallHelperLabel, 501, &error))
        << error.description();
    const std::string good =
        writePlist(dir_.file("partner/good.plist"), Value(Dictionary{{"PartnerID", "good"}}));
    const std::string array = writePlist(dir_.file("partner/array.plist"), Value(Array{"x"}));
    const std::string large = writePlist(dir_.file("partner/large.plist"),
                                         Value(Dictionary{{"Pad", std::string(70000, 'x')}}));
    const std::string link = dir_.file("partner/link.plist");
    fs::create_symlink(good, link);
    auto connection = platform::XpcConnection::createMachService(
        kPelInstallHelperLabel, nullptr, platform::kXpcConnectionPrivileged);
    connection->setEventHandler([](const platform::XpcEvent&) {});
    connection->resume();
    for (const std::string& path : {array, large, link, dir_.file("partner/absent"), good, array}) {
        platform::XpcObject request = platform::XpcObject::makeDictionary();
        request.setString("PelInstallType", "102");
        request.setString("PelInstallPartnerPath", path);
        ASSERT_TRUE(connection->send(request));
    }
    ASSERT_TRUE(connection->flush(std::chrono::seconds(5)));
    const std::string copied =
        rooted("/Library/Application Support/Pelgrave/com.pelgrave.partner.plist");
    for (int i = 0; i < 500 && !fs::exists(copied); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // The last request (an array again) comes after the good one.
    const std::string helperLog = rooted("/var/log/com.pelgrave.PelInstallHelper.log");
    auto refusals = [&] {
        const std::string text = devsign::readFile(helperLog);
        std::size_t n = 0;
        for (auto at = text.find("not a dictionary"); at != std::string::npos;
             at = text.find("not a dictionary", at + 1))
            ++n;
        return n;
    };
    for (int i = 0; i < 500 && refusals() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(refusals(), 2u);
    const auto partner = platform::PropertyList::dictionaryWithContentsOfFile(copied);
    ASSERT_TRUE(partner) << devsign::readFile(rooted("/var/log/com.pelgrave.PelInstallHelper.log"));
    EXPECT_EQ(partner->at("PartnerID"), Value("good"));
    const std::string log = devsign::readFile(rooted("/var/log/com.pelgrave.PelInstallHelper.log"));
    EXPECT_NE(log.find("not a dictionary: " + array), std::string::npos) << log;
    EXPECT_NE(log.find("not acceptable: " + large), std::string::npos) << log;
    EXPECT_NE(log.find("cannot open the partner file " + link), std::string::npos) << log;
    connection->cancel();
}

TEST_F(InstallEndToEndTest, AnotherUserGetsNothingOfFilesItCannotReadNorAForeignTarget) {
    // The helper serves an unprivileged user, who names files inside a
    // folder only root can enter, and a target that is no volume.
    platform::Error error;
    ASSERT_TRUE(platform::SMBlessHelperAsRoot(bundle_, kPelInstallHelperLabel, 65534, &error))
        << error.description();
    chmod(dir_.path().c_str(), 0711);
    const std::string secret = dir_.file("secret"), open = dir_.file("open");
    const auto signing = developmentSigning();
    for (const std::string& folder : {secret, open}) {
        writePlist(folder + "/partner.plist",
                   Value(Dictionary{{"PartnerID", fs::path(folder).filename().string()}}));
        writePackage(folder + "/P.pkg",
                     mkpkg::buildComponentPackage(
                         sampleComponent("com.pelgrave.e2e." + fs::path(folder).filename().string(),
                                         fs::path(folder).filename().string() + ".txt", "x"),
                         signing));
        chmod((folder + "/partner.plist").c_str(), 0644);
        chmod((folder + "/P.pkg").c_str(), 0644);
    }
    chmod(secret.c_str(), 0700);
    chmod(open.c_str(), 0755);
    fs::create_directories(rooted("/etc"));
    auto partner = [](const std::string& path) {
        return R"({"PelInstallType": "102", "PelInstallPartnerPath": ")" + path + R"("})";
    };
    auto install = [](const std::string& path, const std::string& target) {
        return R"({"PelInstallType": "100", "PelInstallPackage": ")" + path +
               R"(", "PelInstallTarget": ")" + target + R"("})";
    };
    const auto run = testsupport::runFakeClient(
        {kPelInstallHelperLabel,
         65534,
         R"({"PelInstallStatus": "304"})",
         {partner(secret + "/partner.plist"), install(secret + "/P.pkg", "/"),
          install(open + "/P.pkg", "/etc"), partner(open + "/partner.plist"),
          install(open + "/P.pkg", "/")}});
    const std::string helperLog =
        devsign::readFile(rooted("/var/log/com.pelgrave.PelInstallHelper.log"));
    ASSERT_EQ(run.status, 0) << run.errors << helperLog;

    std::vector<std::string> statuses, reasons;
    int failures = 0;
    for (const auto& message : run.received) {
        if (const std::string* status = message.getString("PelInstallStatus"))
            statuses.push_back(*status);
        if (const std::string* reason = message.getString("PelInstallCompleteReason"))
            reasons.push_back(*reason);
        if (message.getString("failureReason")) {
            ++failures;
            EXPECT_FALSE(message.get("md5Hash")) << message.description();
        }
    }
    EXPECT_EQ(statuses, (std::vector<std::string>{"302", "302", "303", "304"}));
    EXPECT_EQ(failures, 1);
    std::string allReasons;
    for (const std::string& reason : reasons) allReasons += reason + "\n";
    EXPECT_NE(allReasons.find("The package cannot be read"), std::string::npos) << allReasons;
    EXPECT_NE(allReasons.find("The target \"/etc\" is not a mounted volume"), std::string::npos)
        << allReasons;
    EXPECT_FALSE(fs::exists(rooted("/secret.txt")));
    EXPECT_FALSE(fs::exists(rooted("/etc/open.txt")));
    EXPECT_TRUE(fs::exists(rooted("/open.txt")));
    // Only the readable partner file was copied.
    EXPECT_NE(helperLog.find("cannot open the partner file " + secret + "/partner.plist"),
              std::string::npos)
        << helperLog;
    const auto copied = platform::PropertyList::dictionaryWithContentsOfFile(
        rooted("/Library/Application Support/Pelgrave/com.pelgrave.partner.plist"));
    ASSERT_TRUE(copied);
    EXPECT_EQ(copied->at("PartnerID"), Value("open"));
}

// A root process parked below a folder only root may enter opens a road
// through /proc to the files there: its working folder, its root, its
// thread's, the descriptors it holds. None of them takes the helper's client
// past the closed folder: no partner file is copied, no package installed
// or described.
TEST_F(InstallEndToEndTest, NoProcRoadTakesTheClientPastAFolderItCannotEnter) {
    platform::Error error;
    ASSERT_TRUE(platform::SMBlessHelperAsRoot(bundle_, kPelInstallHelperLabel, 65534, &error))
        << error.description();
    chmod(dir_.path().c_str(), 0711);
    const std::string hidden = dir_.file("closed/open"), open = dir_.file("mine");
    const auto signing = developmentSigning();
    for (const std::string& folder : {hidden, open}) {
        const std::string name = fs::path(folder).filename().string();
        writePlist(folder + "/partner.plist", Value(Dictionary{{"PartnerID", name}}));
        writePackage(folder + "/P.pkg",
                     mkpkg::buildComponentPackage(
                         sampleComponent("com.pelgrave.e2e." + name, name + ".txt", "x"), signing));
        chmod((folder + "/partner.plist").c_str(), 0644);
        chmod((folder + "/P.pkg").c_str(), 0644);
        chmod(folder.c_str(), 0755);
    }
    chmod(dir_.file("closed").c_str(), 0700);
    testsupport::ParkedRootProcess parked(hidden, {"partner.plist", "P.pkg"});
    ASSERT_TRUE(parked.valid());
    // Each road, and a link of the client's own that leads through one.
    std::vector<std::string> partners = parked.spellings("partner.plist", 0);
    std::vector<std::string> packages = parked.spellings("P.pkg", 1);
    fs::create_symlink(parked.spellings(".")[0], open + "/through");
    partners.push_back(open + "/through/partner.plist");
    packages.push_back(open + "/through/P.pkg");
    std::vector<std::string> messages;
    for (const std::string& path : partners) {
        ASSERT_FALSE(devsign::readFile(path).empty())
            << "root does not reach the file through " << path;
        messages.push_back(R"({"PelInstallType": "102", "PelInstallPartnerPath": ")" + path +
                           R"("})");
    }
    for (const std::string& path : packages) {
        ASSERT_FALSE(devsign::readFile(path).empty())
            << "root does not reach the package through " << path;
        messages.push_back(R"({"PelInstallType": "100", "PelInstallPackage": ")" + path +
                           R"(", "PelInstallTarget": "/"})");
    }
    // Then the client's own package: the helper served everything before it.
    messages.push_back(R"({"PelInstallType": "100", "PelInstallPackage": ")" + open +
                       R"(/P.pkg", "PelInstallTarget": "/"})");
    const auto run = testsupport::runFakeClient(
        {kPelInstallHelperLabel, 65534, R"({"PelInstallStatus": "304"})", messages});
    const std::string helperLog =
        devsign::readFile(rooted("/var/log/com.pelgrave.PelInstallHelper.log"));
    ASSERT_EQ(run.status, 0) << run.errors << helperLog;

    std::vector<std::string> statuses;
    std::size_t unreadable = 0;
    for (const auto& message : run.received) {
        EXPECT_FALSE(message.get("md5Hash")) << message.description();
        if (const std::string* status = message.getString("PelInstallStatus"))
            statuses.push_back(*status);
        if (const std::string* reason = message.getString("PelInstallCompleteReason"))
            unreadable += reason->find("The package cannot be read") != std::string::npos;
    }
    std::vector<std::string> expected(packages.size(), "302");
    expected.insert(expected.end(), {"303", "304"});
    EXPECT_EQ(statuses, expected);
    EXPECT_EQ(unreadable, packages.size());
    EXPECT_FALSE(fs::exists(rooted("/open.txt")));
    EXPECT_TRUE(fs::exists(rooted("/mine.txt")));
    EXPECT_FALSE(
        fs::exists(rooted("/Library/Application Support/Pelgrave/com.pelgrave.partner.plist")));
    for (const std::string& path : partners)
        EXPECT_NE(helperLog.find("cannot open the partner file " + path), std::string::npos)
            << helperLog;
}

TEST_F(InstallEndToEndTest, TheHelperServesOneClientAtATime) {
    platform::Error error;
    ASSERT_TRUE(platform::SMBlessHelperAsRoot(bundle_, kPelInstallHelperLabel, 501, &error))
        << error.description();
    // The handlers may still run after the test's end: they share what they touch.
    auto connect = [](std::shared_ptr<testsupport::Event> errors) {
        auto connection = platform::XpcConnection::createMachService(
            kPelInstallHelperLabel, nullptr, platform::kXpcConnectionPrivileged);
        connection->setEventHandler([errors](const platform::XpcEvent& event) {
            if (event.isError()) errors->notify();
        });
        connection->resume();
        return connection;
    };
    auto firstErrors = std::make_shared<testsupport::Event>();
    auto secondErrors = std::make_shared<testsupport::Event>();
    auto first = connect(firstErrors);
    platform::XpcObject request = platform::XpcObject::makeDictionary();
    request.setString("PelInstallType", "102");
    request.setString("PelInstallPartnerPath", "/nonexistent");
    ASSERT_TRUE(first->send(request));
    ASSERT_TRUE(first->flush(std::chrono::seconds(5)));
    const std::string helperLog = rooted("/var/log/com.pelgrave.PelInstallHelper.log");
    for (int i = 0;
         i < 500 && devsign::readFile(helperLog).find("request 102") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    auto second = connect(secondErrors);
    second->send(request);
    EXPECT_TRUE(secondErrors->waitFor(1, std::chrono::seconds(10)));
    EXPECT_NE(devsign::readFile(helperLog).find("refusing a second client"), std::string::npos);
    EXPECT_EQ(firstErrors->count(), 0u);
    first->cancel();
    second->cancel();
}

}  // namespace
}  // namespace enginetest
