// What failed and interrupted saves leave behind, and how damaged error
// folders are found and removed.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Platform/System/SharedFolder.h"
#include "VTErrorCreationLib/VTErrorFolder.h"
#include "VTErrorInstanceTestSupport.h"
#include "support/ToolRun.h"

namespace fs = std::filesystem;
using testsupport::occurrences;
using testsupport::runErrTool;
using testsupport::ToolRun;

namespace {

platform::Data bytes(const std::string& text) { return platform::Data(text.begin(), text.end()); }

std::shared_ptr<VTErrorInstance> savedError(const vttest::ErrorTree& t, std::uint64_t bucket) {
    auto error = std::make_shared<VTErrorInstance>(kVTFailureTypeLogicalError, 2, t.client());
    error->summaryData().setFailureUUID(VTUUID::UUID());
    error->summaryData().setBucketId(bucket);
    EXPECT_TRUE(error->addDetailData(bytes("log"), "Log", std::nullopt, nullptr));
    EXPECT_TRUE(error->save(nullptr));
    return error;
}

void overwrite(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace

TEST(VTErrorLeftovers, DamagedErrorFoldersAreNamedWithTheirReasonAndCanBeRemoved) {
    vttest::ErrorTree t;
    auto whole = savedError(t, 1);
    std::string random(64, '\0');
    for (std::size_t i = 0; i < random.size(); ++i) random[i] = static_cast<char>(i * 37 + 11);
    struct Case {
        const char* what;
        std::function<void(const std::string& folder)> damage;
        const char* reason;
    } cases[] = {
        {"empty summary", [](const std::string& f) { overwrite(f + "/summary.vterr", ""); },
         "empty summary.vterr"},
        {"random summary", [&](const std::string& f) { overwrite(f + "/summary.vterr", random); },
         "summary.vterr does not decode"},
        {"cut summary",
         [](const std::string& f) {
             fs::resize_file(f + "/summary.vterr", fs::file_size(f + "/summary.vterr") / 2);
         },
         "summary.vterr does not decode"},
        {"no summary", [](const std::string& f) { fs::remove(f + "/summary.vterr"); },
         "no summary.vterr"},
        {"cut data",
         [](const std::string& f) {
             fs::resize_file(f + "/data.vterr", fs::file_size(f + "/data.vterr") / 2);
         },
         "data.vterr does not decode"},
    };
    std::vector<std::string> damaged;
    std::uint64_t bucket = 2;
    for (const auto& c : cases) {
        auto error = savedError(t, bucket++);
        c.damage(*error->fileURL());
        damaged.push_back(*error->fileURL());
    }

    ToolRun listed = runErrTool({"list", "--base", t.base()});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(occurrences(listed.out, "\n"), 1u) << listed.out;
    EXPECT_NE(listed.out.find(whole->summaryData().failureUUID()->UUIDString()), std::string::npos);
    for (std::size_t i = 0; i < damaged.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        EXPECT_NE(listed.err.find("damaged error folder " + damaged[i] + ": " + cases[i].reason),
                  std::string::npos)
            << listed.err;
    }

    ToolRun cleaned = runErrTool({"clean", "--base", t.base()});
    EXPECT_EQ(cleaned.status, 0) << cleaned.err;
    EXPECT_EQ(occurrences(cleaned.out, "removed "), damaged.size()) << cleaned.out;
    for (const auto& folder : damaged) {
        EXPECT_FALSE(fs::exists(folder)) << folder;
        EXPECT_FALSE(fs::exists(vtfolder::parentOf(folder))) << "its emptied bucket went too";
    }
    EXPECT_TRUE(fs::exists(*whole->fileURL() + "/summary.vterr"));
    ToolRun after = runErrTool({"list", "--base", t.base()});
    EXPECT_EQ(after.err, "");
    EXPECT_EQ(occurrences(after.out, "\n"), 1u);
}

TEST(VTErrorLeftovers, FailedFirstSavesLeaveNothingInTheTemporaryFolder) {
    vttest::ErrorTree t;
    {
        // A detail that cannot be written whole (the disk is full, here the
        // file-size limit) leaves no empty or cut file in the new folder.
        auto error = t.makeError();
        ASSERT_TRUE(error->addDetailData(bytes("small"), "Small", std::nullopt, nullptr));
        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved;
        limit.rlim_cur = 4096;
        setrlimit(RLIMIT_FSIZE, &limit);
        platform::Error failure;
        const bool attached =
            error->addDetailData(platform::Data(100000, 'x'), "Big", std::nullopt, &failure);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
        EXPECT_FALSE(attached);
        EXPECT_FALSE(failure.empty());
        EXPECT_FALSE(fs::exists(*error->fileURL() + "/Big"));
        EXPECT_TRUE(fs::exists(*error->fileURL() + "/Small"));
        EXPECT_EQ(t.temporaryEntries(), 1u);
    }
    EXPECT_EQ(t.temporaryEntries(), 0u) << "an error never saved takes its folder along";
    {
        // A save refused before anything moved: the folder goes with the error.
        auto error = t.makeError();
        ASSERT_TRUE(error->addDetailData(bytes("log"), "Log", std::nullopt, nullptr));
        t.configuration().setUndetailedLogicalErrorsPath(std::nullopt);
        EXPECT_FALSE(error->save(nullptr));
        EXPECT_EQ(t.temporaryEntries(), 1u);
    }
    EXPECT_EQ(t.temporaryEntries(), 0u);
}

TEST(VTErrorLeftovers, AnInterruptedSaveLeavesAWholeErrorOrNone) {
    struct Interrupted {};
    // The save stops dead at each of its file-system steps in turn, as a
    // killed process would; whatever it left is a whole error or nothing.
    bool completed = false;
    for (int stopAt = 0; !completed && stopAt < 64; ++stopAt) {
        SCOPED_TRACE("stopped at step " + std::to_string(stopAt));
        vttest::ErrorTree t;
        auto error = t.makeError();
        ASSERT_TRUE(error->addDetailData(bytes("log"), "Log", std::nullopt, nullptr));
        int steps = 0;
        platform::SharedFolder::setStepHookForTesting(
            [&](std::string_view, const std::string&, std::string_view) {
                if (steps++ == stopAt) throw Interrupted{};
            });
        try {
            completed = error->save(nullptr);
        } catch (const Interrupted&) {
        }
        platform::SharedFolder::setStepHookForTesting({});
        ToolRun listed = runErrTool({"list", "--base", t.base()});
        EXPECT_EQ(listed.err, "") << "no damaged folder";
        const std::string folder = t.base() + "/Errors/00001234/" + std::string(vttest::kUUIDText);
        if (fs::exists(folder)) {
            EXPECT_TRUE(fs::exists(folder + "/summary.vterr"));
            EXPECT_TRUE(fs::exists(folder + "/data.vterr"));
            EXPECT_TRUE(fs::exists(folder + "/Log"));
            EXPECT_EQ(occurrences(listed.out, "\n"), 1u);
        } else {
            EXPECT_EQ(listed.out, "");
        }
    }
    EXPECT_TRUE(completed);
}
