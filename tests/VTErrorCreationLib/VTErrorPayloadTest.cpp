#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <set>

#include "VTClientTestSupport.h"
#include "VTErrorCreationLib/VTErrorInstance.h"
#include "VTErrorCreationLib/VTErrorPayload.h"
#include "VTSubmissionLib/Archive/VTArchive.h"
#include "support/ToolRun.h"
#include "support/UnprivilegedChild.h"

namespace fs = std::filesystem;
using vtclienttest::ClientTree;

namespace {

// No waiting in tests.
struct NoSleep {
    NoSleep() {
        VTErrorPayload::setSleeper([](std::chrono::milliseconds) {});
    }
    ~NoSleep() { VTErrorPayload::setSleeper({}); }
};

std::shared_ptr<VTErrorInstance> savedError(const std::shared_ptr<VTClient>& client,
                                            const std::vector<std::string>& details) {
    auto error = std::make_shared<VTErrorInstance>(kVTFailureTypeLogicalError, 2, client);
    error->summaryData().setFailureUUID(VTUUID::UUID());
    error->summaryData().setBucketId(0xbeef);
    error->summaryData().setProductName(std::string("Payload Test"));
    for (const auto& identifier : details) {
        platform::Data bytes(identifier.begin(), identifier.end());
        EXPECT_TRUE(error->addDetailData(bytes, identifier, std::nullopt, nullptr));
    }
    platform::Error failure;
    EXPECT_TRUE(error->save(&failure)) << failure.description();
    return error;
}

std::set<std::string> entryNames(const platform::Data& bytes) {
    std::set<std::string> names;
    auto reader = VTImmutableMemoryArchive::archiveForReadingFromData(bytes, 0, nullptr);
    if (!reader) return names;
    reader->enumerateEntriesWithBlock(
        [&](const char* path, const platform::Dictionary&, bool&) { names.insert(path); });
    return names;
}

}  // namespace

TEST(VTErrorPayloadTest, PacksSummaryDataAndExistingDetails) {
    ClientTree tree;
    auto client = tree.client();
    auto error = savedError(client, {"ProcessLaunch", "ErrorReportingData", "Gone"});
    fs::remove(*error->fileURL() + "/Gone");
    fs::create_directories(*error->fileURL() + "/stray-folder");

    std::optional<platform::DispatchData> data;
    auto payload =
        VTErrorPayload::payloadDataWithError(error, tree.configuration(), &data, nullptr);
    ASSERT_TRUE(payload);
    ASSERT_TRUE(data);
    EXPECT_EQ(payload->error(), error);
    EXPECT_EQ(entryNames(data->contiguous()),
              (std::set<std::string>{"summary.vterr", "data.vterr", "ProcessLaunch",
                                     "ErrorReportingData"}));
    EXPECT_EQ(payload->numberOfFiles(), 4u);
    EXPECT_EQ(payload->uncompressedSize(),
              std::string("ProcessLaunch").size() + std::string("ErrorReportingData").size());
}

// Root packs an error folder in a bucket other users write to: the folder
// is opened once, and a link another user put in its place is not followed
// to root's own files of the same names.
TEST(VTErrorPayloadTest, RootPacksNothingAnotherUsersLinkInPlaceOfTheFolderLeadsTo) {
    if (geteuid() != 0) GTEST_SKIP() << "the other user is played by a child at uid 65534";
    ClientTree tree;
    auto error = savedError(tree.client(), {});
    const fs::path folder = *error->fileURL();
    const std::string secret = tree.temp().file("secret");
    fs::copy(folder, secret);
    fs::permissions(secret, fs::perms::owner_all);
    fs::permissions(folder.parent_path(), static_cast<fs::perms>(01777));
    testsupport::letOthersEnter(tree.temp().path(), folder.parent_path());
    fs::rename(folder, tree.temp().file("moved"));
    ASSERT_EQ(testsupport::runUnprivileged(
                  [&] { return ::symlink(secret.c_str(), folder.c_str()) == 0 ? 0 : 1; }),
              0);

    std::optional<platform::DispatchData> data;
    platform::Error failure;
    VTErrorPayload::payloadDataWithError(error, tree.configuration(), &data, &failure);
    EXPECT_FALSE(data);
    EXPECT_EQ(failure.code(), kVTArchiveErrorAttributes);
    ASSERT_TRUE(failure.underlyingError());
    EXPECT_EQ(failure.underlyingError()->code(), ELOOP);
}

TEST(VTErrorPayloadTest, NothingToPackGivesNoData) {
    ClientTree tree;
    auto error = std::make_shared<VTErrorInstance>(kVTFailureTypeLogicalError, 2, tree.client());
    std::optional<platform::DispatchData> data;
    platform::Error failure;
    auto payload =
        VTErrorPayload::payloadDataWithError(error, tree.configuration(), &data, &failure);
    ASSERT_TRUE(payload);
    EXPECT_FALSE(data);
    EXPECT_TRUE(failure.empty());
}

TEST(VTErrorPayloadTest, FilePayloadUnpacksToAnEqualFinalError) {
    NoSleep noSleep;
    ClientTree tree;
    auto client = tree.client();
    auto error = savedError(client, {"ProcessLaunch"});
    ASSERT_TRUE(error->finalize(nullptr));
    const std::string file = tree.temp().file("payload.7z");
    auto configuration = tree.configuration();
    configuration.setCompressPayload(false);
    ASSERT_TRUE(VTErrorPayload::payloadFileWithError(error, file, configuration, nullptr));

    const std::string destination = tree.temp().file("unpacked");
    fs::create_directories(destination);
    platform::Error failure;
    auto payload = VTErrorPayload::payloadWithPayloadURL(file, destination, *client, &failure);
    ASSERT_TRUE(payload) << failure.description();
    ASSERT_TRUE(payload->error());
    EXPECT_TRUE(payload->error()->isFinal());
    EXPECT_EQ(payload->error()->summaryData().valueDictionary(),
              error->summaryData().valueDictionary());
    EXPECT_EQ(payload->numberOfFiles(), 3u);
    EXPECT_EQ(fs::path(*payload->error()->fileURL()).parent_path(), fs::path(destination));
}

TEST(VTErrorPayloadTest, FailedUnpackKeepsTheCallersFiles) {
    NoSleep noSleep;
    ClientTree tree;
    auto client = tree.client();
    const std::string destination = tree.temp().file("dest");
    tree.temp().write("dest/mine.txt", "keep me");

    struct Case {
        const char* what;
        std::vector<std::string> files;  // put into the archive
    };
    for (const Case& c :
         {Case{"only .DS_Store", {".DS_Store"}}, Case{"no error inside", {"notes.txt"}}}) {
        SCOPED_TRACE(c.what);
        const std::string source = tree.temp().file(std::string("src-") + c.what);
        for (const auto& name : c.files)
            tree.temp().write(fs::path(source).filename().string() + "/" + name, "x");
        const std::string file = source + ".7z";
        ASSERT_TRUE(VTFileArchive::archiveHierarchy(source, file, 0, nullptr));
        EXPECT_FALSE(VTErrorPayload::payloadWithPayloadURL(file, destination, *client, nullptr));
        std::set<std::string> left;
        for (const auto& item : fs::directory_iterator(destination))
            left.insert(item.path().filename().string());
        EXPECT_EQ(left, std::set<std::string>{"mine.txt"});
    }
}

namespace {

// Runs a vterrtool command; its exit status and first output line.
std::pair<int, std::string> tool(const std::vector<std::string>& args) {
    const auto run = testsupport::runErrTool(args);
    return {run.status, run.out.substr(0, run.out.find('\n'))};
}

}  // namespace

TEST(VTErrTool, MakePackUnpackGivesTheSameError) {
    NoSleep noSleep;
    ClientTree tree;
    auto [made, folder] = tool({"make", "--base", tree.base()});
    ASSERT_EQ(made, 0);
    for (bool store : {false, true}) {
        const std::string file = tree.temp().file(store ? "stored.7z" : "packed.7z");
        std::vector<std::string> packArgs = {"pack", "--error", folder, "--out", file};
        if (store) packArgs.push_back("--store");
        ASSERT_EQ(tool(packArgs).first, 0);
        auto [unpacked, unpackedFolder] = tool({"unpack", file, tree.temp().file("out")});
        ASSERT_EQ(unpacked, 0);
        auto original = VTCodingUtilities::objectWithContentsOfFile<VTErrorProperties>(
            folder + "/summary.vterr", nullptr);
        auto copy = VTCodingUtilities::objectWithContentsOfFile<VTErrorProperties>(
            unpackedFolder + "/summary.vterr", nullptr);
        ASSERT_TRUE(original && copy);
        EXPECT_EQ(copy->valueDictionary(), original->valueDictionary());
        EXPECT_TRUE(fs::exists(unpackedFolder + "/Notes"));
        EXPECT_TRUE(fs::exists(unpackedFolder + "/ProcessLaunch"));
    }
    EXPECT_EQ(tool({"pack", "--error", folder}).first, 2);
    EXPECT_EQ(tool({"unpack", tree.temp().file("none.7z"), tree.temp().file("out")}).first, 1);
}

#ifdef VTERRTOOL
namespace {

struct ToolRun {
    int status = -1;
    std::string errors;
};

// Runs the vterrtool program with a file-size limit (0: none) and extra
// environment entries; its exit status and what it printed on stderr.
ToolRun runToolProgram(const std::vector<std::string>& args, rlim_t fileSizeLimit,
                       const std::vector<std::string>& environment) {
    std::vector<std::string> argStrings = {VTERRTOOL};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings = environment;
    for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return {};
    pid_t child = fork();
    if (child == 0) {
        // System calls only until exec: the test process has other threads.
        if (fileSizeLimit != 0) {
            rlimit limit{fileSizeLimit, fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
            signal(SIGXFSZ, SIG_IGN);
        }
        dup2(pipeFds[1], STDERR_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(pipeFds[1]);
    ToolRun run;
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0)
        run.errors.append(buffer, static_cast<std::size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status))
        run.status = WEXITSTATUS(status);
    return run;
}

}  // namespace

TEST(VTErrTool, PackThatCannotWriteSaysWhyAndLeavesNoFile) {
    ClientTree tree;
    auto [made, folder] = tool({"make", "--base", tree.base()});
    ASSERT_EQ(made, 0);
    // A detail large enough that its archive outgrows the limit below.
    std::string big(256 * 1024, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 3);
    tree.temp().write(fs::relative(folder, tree.temp().path()).string() + "/Big", big);
    auto data =
        VTCodingUtilities::objectWithContentsOfFile<VTErrorData>(folder + "/data.vterr", nullptr);
    ASSERT_TRUE(data);
    data->setDetailInfo("Big", platform::Dictionary{});
    ASSERT_TRUE(VTCodingUtilities::writeToFile(*data, folder + "/data.vterr", true, nullptr));

    struct Case {
        const char* what;
        rlim_t fileSizeLimit;
        std::vector<std::string> environment;
        const char* reason;
    } cases[] = {
        {"a full disk", 64 * 1024, {}, "File too large"},
        {"no temporary folder", 0, {"TMPDIR=" + tree.temp().file("missing")}, "No such file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string out = tree.temp().file("out.7z");
        ToolRun run = runToolProgram({"pack", "--error", folder, "--out", out, "--store"},
                                     c.fileSizeLimit, c.environment);
        EXPECT_EQ(run.status, 1) << run.errors;
        EXPECT_NE(run.errors.find("packing failed: Error Domain=com.pelgrave.archive"),
                  std::string::npos)
            << run.errors;
        EXPECT_NE(run.errors.find(c.reason), std::string::npos) << run.errors;
        EXPECT_FALSE(fs::exists(out)) << "a partial payload stayed";
    }
    const std::string out = tree.temp().file("whole.7z");
    EXPECT_EQ(runToolProgram({"pack", "--error", folder, "--out", out}, 0, {}).status, 0);
    EXPECT_TRUE(fs::exists(out));
}
#endif
