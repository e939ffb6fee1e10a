// Helpers of the download tests: ZIP archives made with libarchive, a
// delegate that records its calls, and an HTTP client that records the order
// in which transfers start.
#pragma once

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "Downloader/PelFSDProtocol.h"
#include "Platform/Http/HttpClient.h"

namespace dltest {

/// Whether `path` names anything, a dangling link included.
inline bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

struct ZipEntry {
    enum Kind { File, Folder, Link };
    ZipEntry(std::string name, std::string data = {}, Kind kind = File, std::string linkTarget = {})
        : name(std::move(name)),
          data(std::move(data)),
          kind(kind),
          linkTarget(std::move(linkTarget)) {}
    std::string name;
    std::string data;
    Kind kind = File;
    std::string linkTarget;
};

inline la_ssize_t appendToString(struct archive*, void* out, const void* buffer, size_t size) {
    static_cast<std::string*>(out)->append(static_cast<const char*>(buffer), size);
    return static_cast<la_ssize_t>(size);
}

/// A ZIP archive holding `entries` in order, stored (not compressed).
inline std::string makeZip(const std::vector<ZipEntry>& entries) {
    std::string out;
    struct archive* a = archive_write_new();
    archive_write_set_format_zip(a);
    archive_write_set_options(a, "zip:compression=store");
    archive_write_set_bytes_in_last_block(a, 1);
    archive_write_open(a, &out, nullptr, appendToString, nullptr);
    for (const auto& e : entries) {
        struct archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.name.c_str());
        archive_entry_set_mtime(entry, 1700000000, 0);
        if (e.kind == ZipEntry::Folder) {
            archive_entry_set_filetype(entry, AE_IFDIR);
            archive_entry_set_perm(entry, 0755);
        } else if (e.kind == ZipEntry::Link) {
            archive_entry_set_filetype(entry, AE_IFLNK);
            archive_entry_set_perm(entry, 0777);
            archive_entry_set_symlink(entry, e.linkTarget.c_str());
        } else {
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_perm(entry, 0644);
            archive_entry_set_size(entry, static_cast<la_int64_t>(e.data.size()));
        }
        archive_write_header(a, entry);
        if (e.kind == ZipEntry::File && !e.data.empty())
            archive_write_data(a, e.data.data(), e.data.size());
        archive_entry_free(entry);
    }
    archive_write_close(a);
    archive_write_free(a);
    return out;
}

/// `zip` with the first byte of `data` (stored inside it) flipped.
inline std::string corrupted(std::string zip, const std::string& data) {
    auto at = zip.find(data);
    if (at != std::string::npos) zip[at] = static_cast<char>(zip[at] ^ 0x5a);
    return zip;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

/// Records every call as a line: "jobs 1 3", "finish", "fail -85", "begin",
/// "size N", "dest PATH", "data N" (data and size lines only when asked for).
class RecordingDelegate : public PelFSDProtocol {
  public:
    explicit RecordingDelegate(bool progress = false) : progress_(progress) {}
    bool respondsTo(PelFSDOperation) const override { return true; }
    void numberOfJobs(std::uint64_t jobs, std::uint64_t files) override {
        add("jobs " + std::to_string(jobs) + " " + std::to_string(files));
    }
    void downloadDidFinish() override {
        ++finished;
        add("finish");
    }
    void downloadDidFailWithError(const platform::Error& error) override {
        ++failed;
        {
            std::lock_guard lock(mutex_);
            lastError = error;
        }
        add("fail " + std::to_string(error.code()));
    }
    void downloadDidBegin() override {
        if (progress_) add("begin");
    }
    void downloadSize(std::int64_t size) override {
        if (progress_) add("size " + std::to_string(size));
    }
    void downloadDidCreateDestination(const std::string& path) override {
        if (progress_) add("dest " + path);
    }
    void downloadWithDataOfLength(std::uint64_t length) override {
        lastLength = length;
        if (progress_) add("data");
    }

    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::atomic<int> finished{0};
    std::atomic<int> failed{0};
    std::atomic<std::uint64_t> lastLength{0};
    platform::Error lastError;

  private:
    void add(std::string line) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(line));
    }
    bool progress_;
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

/// Passes every transfer on to `inner`, recording the URL of each in the
/// order they start.
class RecordingHttpClient : public platform::HttpClient {
  public:
    explicit RecordingHttpClient(platform::HttpClientPtr inner) : inner_(std::move(inner)) {}
    platform::HttpTaskPtr startDataTask(platform::HttpRequest request,
                                        platform::DispatchQueuePtr queue,
                                        platform::HttpTaskHandlers handlers) override {
        record(request.url());
        return inner_->startDataTask(std::move(request), std::move(queue), std::move(handlers));
    }
    platform::HttpTaskPtr startDownloadTask(platform::HttpRequest request,
                                            platform::HttpDownloadTarget target,
                                            platform::DispatchQueuePtr queue,
                                            platform::HttpTaskHandlers handlers) override {
        record(request.url());
        return inner_->startDownloadTask(std::move(request), std::move(target), std::move(queue),
                                         std::move(handlers));
    }
    std::vector<std::string> urls() const {
        std::lock_guard lock(mutex_);
        return urls_;
    }

  private:
    void record(std::string url) {
        std::lock_guard lock(mutex_);
        urls_.push_back(std::move(url));
    }
    platform::HttpClientPtr inner_;
    mutable std::mutex mutex_;
    std::vector<std::string> urls_;
};

}  // namespace dltest
