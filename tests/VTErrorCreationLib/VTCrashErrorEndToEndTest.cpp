// A real crash of the crashing test program, made into crash errors once
// from its report file and once from fvcrashtool's JSON form of it.
#include <gtest/gtest.h>

#if defined(FVCRASH_CRASHME) && defined(FVCRASHTOOL)

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Platform/Values/Json.h"
#include "VTClientTestSupport.h"
#include "VTErrorCreationLib/VTCrashError.h"
#include "VTErrorCreationLib/VTFVCrashReporting.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// Runs a program with extra environment entries, its output into `output`
// (when given); the wait status.
int run(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
        const std::string& output = "") {
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** entry = environ; *entry; ++entry) envp.push_back(*entry);
    for (const auto& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!output.empty())
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    pid_t child = -1;
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    if (waitpid(child, &status, 0) != child) return -1;
    return status;
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(VTCrashErrorEndToEnd, ARealCrashFromItsReportFileAndFromItsJSON) {
    vtclienttest::ClientTree tree;
    VTClient::setCrashReporterFactory(VTFVCrashReporting::factory());
    auto configuration = tree.configuration();
    configuration.setEnableCrashDumps(true);
    const std::string dumps = tree.base() + "/CrashDumps";
    fs::create_directories(dumps);

    // The crash writes its report where the client's crash reporter does.
    const int status = run({FVCRASH_CRASHME, "null", dumps},
                           {"ASAN_OPTIONS=handle_segv=0:detect_leaks=0:use_sigaltstack=0",
                            "UBSAN_OPTIONS=halt_on_error=0:print_stacktrace=0"});
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    ASSERT_TRUE(fs::exists(dumps + "/live_report.fvcrash"));

    // The next client keeps it under a name of its own.
    auto client = tree.client(configuration);
    EXPECT_FALSE(fs::exists(dumps + "/live_report.fvcrash"));
    std::string report;
    for (const auto& entry : fs::directory_iterator(dumps))
        if (entry.path().filename().string().rfind(program_invocation_short_name, 0) == 0)
            report = entry.path().string();
    ASSERT_FALSE(report.empty());

    platform::Error error;
    auto fromFile = client->createErrorFromCrashDumpURL(report, &error);
    ASSERT_TRUE(fromFile) << error.description();
    const VTErrorProperties& file = fromFile->summaryData();
    EXPECT_EQ(file.pelgraveModuleName(), "fvcrash_crashme");
    EXPECT_NE(file.bucketId(), 0u);
    EXPECT_NE(file.stackHash(), 0u);
    EXPECT_TRUE(fromFile->infoForDetailDataWithIdentifier("FVCrashReport"));
    ASSERT_TRUE(fromFile->save(&error)) << error.description();

    const std::string jsonPath = tree.temp().file("report.json");
    ASSERT_EQ(run({FVCRASHTOOL, "json", report}, {}, jsonPath), 0);
    auto json = platform::json::parse(readText(jsonPath), &error);
    ASSERT_TRUE(json) << error.description();
    auto fromJSON = VTCrashError::errorFromCrashJSONData(*json, client, &error);
    ASSERT_TRUE(fromJSON) << error.description();
    const VTErrorProperties& dictionary = fromJSON->summaryData();
    EXPECT_EQ(dictionary.pelgraveModuleName(), file.pelgraveModuleName());
    EXPECT_EQ(dictionary.pelgraveModuleOffset(), file.pelgraveModuleOffset());
    EXPECT_EQ(dictionary.moduleName(), file.moduleName());
    EXPECT_EQ(dictionary.moduleOffset(), file.moduleOffset());
    EXPECT_EQ(dictionary.processID(), file.processID());
    EXPECT_EQ(dictionary.threadNumber(), file.threadNumber());
    EXPECT_EQ(dictionary.stackHash(), file.stackHash());
    EXPECT_EQ(dictionary.bucketId(), file.bucketId());
    EXPECT_TRUE(fromJSON->infoForDetailDataWithIdentifier("CrashJSON"));
}

#endif
