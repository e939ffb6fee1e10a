#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "Platform/Dispatch/FileWatchSource.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "support/QueueHelpers.h"
#include "support/TempDir.h"

using platform::FileWatchSource;

namespace {

// Collects the kinds of change the handler calls reported.
struct Seen {
    std::mutex mutex;
    std::condition_variable changed;
    unsigned all = 0;
    testsupport::Event calls;

    FileWatchSource::Handler handler() {
        return [this](unsigned events) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                all |= events;
                changed.notify_all();
            }
            calls.notify();
        };
    }
    // Waits (bounded) until a call has reported `kind`, then forgets what was seen.
    bool waitFor(unsigned kind) {
        std::unique_lock<std::mutex> lock(mutex);
        bool got = changed.wait_for(lock, std::chrono::seconds(10), [&] { return all & kind; });
        all = 0;
        return got;
    }
};

void append(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::app) << text;
}

}  // namespace

TEST(FileWatchSourceTest, FollowsTheFileThroughWriteRenameAndDelete) {
    testsupport::TempDir dir;
    const std::string path = dir.write("vtscd.dat", "one");
    const std::string moved = dir.file("moved.dat");
    auto queue = platform::SerialQueue::create("test.filewatch");
    Seen seen;
    const unsigned mask =
        FileWatchSource::kDelete | FileWatchSource::kWrite | FileWatchSource::kRename;
    platform::Error error;
    auto source = FileWatchSource::create(path, mask, queue, seen.handler(), &error);
    ASSERT_TRUE(source) << error.description();

    append(path, "two");
    EXPECT_TRUE(seen.waitFor(FileWatchSource::kWrite));

    // A rename is seen, and the same file stays watched under its new name.
    std::filesystem::rename(path, moved);
    EXPECT_TRUE(seen.waitFor(FileWatchSource::kRename));
    append(moved, "three");
    EXPECT_TRUE(seen.waitFor(FileWatchSource::kWrite));

    std::filesystem::remove(moved);
    EXPECT_TRUE(seen.waitFor(FileWatchSource::kDelete));
    source->cancel();
    testsupport::flushSerialQueue(queue);  // a call already running ends before `seen` goes
}

TEST(FileWatchSourceTest, CancelStopsCallsAndMissingFilesAreRefused) {
    testsupport::TempDir dir;
    const std::string path = dir.write("watched", "x");
    auto queue = platform::SerialQueue::create("test.filewatch.cancel");
    Seen seen;
    auto source = FileWatchSource::create(path, FileWatchSource::kWrite, queue, seen.handler());
    ASSERT_TRUE(source);
    // Cancelled from the queue, before the write's call can run there.
    queue->sync([&] { source->cancel(); });
    append(path, "more");
    // A source on the same file that is still active shows the write arrived.
    Seen witness;
    auto other = FileWatchSource::create(path, FileWatchSource::kWrite, queue, witness.handler());
    ASSERT_TRUE(other);
    append(path, "again");
    EXPECT_TRUE(witness.calls.waitFor(1));
    other->cancel();
    testsupport::flushSerialQueue(queue);
    EXPECT_EQ(seen.calls.count(), 0u);

    platform::Error error;
    EXPECT_FALSE(FileWatchSource::create(
        dir.file("missing"), FileWatchSource::kWrite, queue, [](unsigned) {}, &error));
    EXPECT_EQ(error.domain(), platform::kPOSIXErrorDomain);
    EXPECT_EQ(error.code(), ENOENT);
}

TEST(FileWatchSourceTest, ReportsTheCloseOfAWriterOnlyWhenItIsClosed) {
    testsupport::TempDir dir;
    const std::string path = dir.write("vtscd.dat", "one");
    auto queue = platform::SerialQueue::create("test.filewatch.close");
    Seen seen;
    auto source = FileWatchSource::create(
        path, FileWatchSource::kWrite | FileWatchSource::kCloseWrite, queue, seen.handler());
    ASSERT_TRUE(source);

    std::ofstream writer(path, std::ios::app);
    writer << "half" << std::flush;
    ASSERT_TRUE(seen.waitFor(FileWatchSource::kWrite));
    testsupport::flushSerialQueue(queue);
    {
        std::lock_guard<std::mutex> lock(seen.mutex);
        EXPECT_EQ(seen.all & FileWatchSource::kCloseWrite, 0u) << "reported before the close";
    }
    writer << "done";
    writer.close();
    EXPECT_TRUE(seen.waitFor(FileWatchSource::kCloseWrite));
    source->cancel();
    testsupport::flushSerialQueue(queue);
}
