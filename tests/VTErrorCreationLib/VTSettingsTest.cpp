#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "Platform/Values/Exception.h"
#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"
#include "VTErrorCreationLib/VTScrambledArchive.h"
#include "VTErrorCreationLib/VTSettings.h"
#include "VTErrorCreationLib/VTSettingsFile.h"
#include "VTErrorInstanceTestSupport.h"
#include "VTSettingsTestSupport.h"

namespace {

using vttest::SettingsTree;

VTSettings sampleSettings() {
    VTSettings settings;
    settings.setEnabled(false);
    settings.setConsentLevel(3);
    settings.setLastSubmit(platform::Date{1700000000.5});
    VTBucketSettings bucket;
    bucket.timesSeen = 4;
    bucket.timesThrottled = 1;
    bucket.firstSeen = platform::Date{1600000000};
    settings.setSettings(bucket, 0xdeadbeef);
    VTSubmissionStats upload;
    upload.submissionCount = 12;
    upload.lastReset = platform::Date{1650000000};
    settings.setStats(upload, kVTGatewayTypeUpload);
    return settings;
}

TEST(VTSettings, FreshSettingsHaveTheDefaults) {
    VTSettings settings = VTSettings::defaultSettings();
    EXPECT_TRUE(settings.enabled());
    EXPECT_EQ(settings.consentLevel(), 1);
    EXPECT_TRUE(settings.statisticsForBucket().empty());
    EXPECT_EQ(settings.statsForGatewayType(kVTGatewayTypePing), VTSubmissionStats());
    EXPECT_EQ(settings.statsForGatewayType(kVTGatewayTypeUpload), VTSubmissionStats());
    EXPECT_FALSE(settings.settingsForBucket(1));
    EXPECT_FALSE(settings.lastSubmit());
    try {
        settings.statsForGatewayType(2);
        ADD_FAILURE() << "a gateway type of 2 was accepted";
    } catch (const platform::Exception& e) {
        EXPECT_EQ(e.reason(), "Invalid gateway type");
    }
}

TEST(VTSettingsFile, SavedSettingsReadBackEqualAndAreNotAPlainPropertyList) {
    SettingsTree t;
    platform::Data written;
    {
        auto file = VTSettingsFile::initForWritingToURL(t.path(), {}, nullptr);
        ASSERT_TRUE(file);
        ASSERT_TRUE(file->writeSettings(sampleSettings(), &written, nullptr));
    }
    EXPECT_EQ(vttest::modeOf(t.path()), 0664u);
    ASSERT_GE(written.size(), 8u);
    EXPECT_NE(std::string(written.begin(), written.begin() + 6), "bplist");

    platform::Data raw;
    auto file = VTSettingsFile::initForReadingAtURL(t.path(), {}, nullptr);
    ASSERT_TRUE(file);
    auto read = file->readSettingsReturningData(&raw, nullptr);
    ASSERT_TRUE(read);
    EXPECT_EQ(raw, written);
    EXPECT_EQ(read->description(), sampleSettings().description());
    EXPECT_EQ(read->settingsForBucket(0xdeadbeef)->timesSeen, 4u);
    EXPECT_EQ(read->statsForGatewayType(kVTGatewayTypeUpload).submissionCount, 12);

    // The configuration's key table does not open a settings file.
    std::optional<VTSettings> wrongKey;
    platform::Error e;
    EXPECT_FALSE(
        VTDecodeScrambledArchive<VTSettings>(&wrongKey, raw, kVTConfigurationKeyTable, &e));
    EXPECT_EQ(e.code(), kVTErrorDecodingFailed);
}

TEST(VTSettingsFile, ReadingAMissingFileFails) {
    SettingsTree t;
    platform::Error e;
    EXPECT_FALSE(VTSettingsFile::initForReadingAtURL(t.path(), {}, &e));
    EXPECT_EQ(e.domain(), platform::kCocoaErrorDomain);
    EXPECT_EQ(e.code(), platform::kFileReadNoSuchFileError);
}

TEST(VTSettingsFile, ReadersShareTheLockAndWritersWaitForEveryone) {
    SettingsTree t;
    t.write(VTSettings());
    auto reader = VTSettingsFile::initForReadingAtURL(t.path(), {}, nullptr);
    auto secondReader = VTSettingsFile::initForReadingAtURL(t.path(), {}, nullptr);
    ASSERT_TRUE(reader && secondReader) << "readers do not exclude each other";

    std::optional<VTSettings> seenByWriter;
    std::thread writer([&] {
        auto file = VTSettingsFile::initForWritingToURL(t.path(), {}, nullptr);
        ASSERT_TRUE(file);
        seenByWriter = file->readSettingsReturningData(nullptr, nullptr);
        file->writeSettings(sampleSettings(), nullptr, nullptr);
    });
    ASSERT_TRUE(vttest::waitForLockWaiter(t.path()));
    reader.reset();
    secondReader.reset();
    writer.join();
    ASSERT_TRUE(seenByWriter);
    EXPECT_TRUE(seenByWriter->enabled());
    EXPECT_FALSE(t.read()->enabled());
}

TEST(VTSettingsFile, ASecondWriterWaitsForTheFirst) {
    SettingsTree t;
    auto first = VTSettingsFile::initForWritingToURL(t.path(), {}, nullptr);
    ASSERT_TRUE(first);
    std::optional<VTSettings> seenBySecond;
    std::thread second([&] {
        auto file = VTSettingsFile::initForWritingToURL(t.path(), {}, nullptr);
        ASSERT_TRUE(file);
        seenBySecond = file->readSettingsReturningData(nullptr, nullptr);
    });
    ASSERT_TRUE(vttest::waitForLockWaiter(t.path()));
    ASSERT_TRUE(first->writeSettings(sampleSettings(), nullptr, nullptr));
    first.reset();
    second.join();
    ASSERT_TRUE(seenBySecond) << "the second writer saw the first one's complete file";
    EXPECT_EQ(seenBySecond->consentLevel(), 3);
}

TEST(VTSettingsFile, AReaderWaitsForAWriterInAnotherProcess) {
    SettingsTree t;
    t.write(VTSettings());
    platform::Data changed;
    const VTSettings sample = sampleSettings();
    ASSERT_TRUE(VTEncodeScrambledArchive(&sample, &changed, kVTSettingsKeyTable, nullptr));
    int toChild[2], toParent[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(toParent), 0);
    std::string path = t.path();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only system calls here: the parent has other threads.
        char byte = 0;
        int fd = open(path.c_str(), O_RDWR);
        if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(2);
        if (write(toParent[1], "L", 1) != 1 || read(toChild[0], &byte, 1) != 1) _exit(3);
        if (pwrite(fd, changed.data(), changed.size(), 0) != static_cast<ssize_t>(changed.size()) ||
            ftruncate(fd, static_cast<off_t>(changed.size())) != 0)
            _exit(4);
        flock(fd, LOCK_UN);
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(toParent[0], &byte, 1), 1) << "the other process holds the lock";
    std::optional<VTSettings> seen;
    std::thread reader([&] {
        auto file = VTSettingsFile::initForReadingAtURL(path, {}, nullptr);
        if (file) seen = file->readSettingsReturningData(nullptr, nullptr);
    });
    bool waited = vttest::waitForLockWaiter(path);
    ASSERT_EQ(write(toChild[1], "G", 1), 1);
    reader.join();
    int status = 0;
    waitpid(child, &status, 0);
    for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) close(fd);
    EXPECT_TRUE(waited);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->consentLevel(), 3) << "the reader saw the file only after the writer was done";
}

TEST(VTSettingsFile, TheLockFollowsAFileReplacedWhileWaiting) {
    SettingsTree t;
    t.write(VTSettings());
    auto holder = VTSettingsFile::initForWritingToURL(t.path(), {}, nullptr);
    ASSERT_TRUE(holder);
    std::optional<VTSettings> seen;
    std::thread reader([&] {
        auto file = VTSettingsFile::initForReadingAtURL(t.path(), {}, nullptr);
        if (file) seen = file->readSettingsReturningData(nullptr, nullptr);
    });
    ASSERT_TRUE(vttest::waitForLockWaiter(t.path()));
    // The path now names a new file; the old one, that the reader waits
    // for, is gone.
    std::string replacement = t.temp().file("replacement");
    {
        auto file = VTSettingsFile::initForWritingToURL(replacement, {}, nullptr);
        ASSERT_TRUE(file && file->writeSettings(sampleSettings(), nullptr, nullptr));
    }
    ASSERT_EQ(rename(replacement.c_str(), t.path().c_str()), 0);
    holder.reset();
    reader.join();
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->consentLevel(), 3);
}

}  // namespace
