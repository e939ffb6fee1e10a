// Unpacking of finished files: package archives in-process, application
// archives with the unzip tool.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include "Downloader/FSDArchive.h"
#include "Downloader/FSDDownload.h"
#include "Downloader/FSDError.h"
#include "Downloader/FSDFileNames.h"
#include "Foundation/PelLogging.h"
#include "Platform/System/PathNames.h"

extern char** environ;

namespace {

std::mutex gToolMutex;
std::string gToolPath(FSDDownload::kUnzipToolPath);
std::chrono::milliseconds gWatchdog = FSDDownload::kUnzipWatchdog;
std::chrono::milliseconds gKillGrace = FSDDownload::kUnzipKillGrace;

// Waits up to `timeout` for the child to end; true when it has.
bool waitForExit(int pidfd, pid_t pid, std::chrono::milliseconds timeout) {
    if (pidfd >= 0) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            struct pollfd p {
                pidfd, POLLIN, 0
            };
            int rc = ::poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count())));
            if (rc > 0) return true;
            if (rc == 0) return false;
            if (errno != EINTR) break;
        }
    }
    // Without a process descriptor: look now and then.
    auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

// Runs the unzip tool and waits for it on this thread, within the watchdog:
// SIGTERM when it runs out, SIGKILL after the grace. The exit status, or -1.
int runUnzipTool(const std::string& archive, const std::string& folder) {
    std::string tool;
    std::chrono::milliseconds watchdog, grace;
    {
        std::lock_guard lock(gToolMutex);
        tool = gToolPath;
        watchdog = gWatchdog;
        grace = gKillGrace;
    }
    std::vector<std::string> args = {tool, "-u", "-d", folder, archive};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        PelLogging::logErrorMessageWithFormat("Could not start %@: %@", tool, std::strerror(rc));
        return -1;
    }
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (!waitForExit(pidfd, pid, watchdog)) {
        PelLogging::logErrorMessageWithFormat("Unzip of %@ ran out of time; stopping it", archive);
        ::kill(pid, SIGTERM);
        if (!waitForExit(pidfd, pid, grace)) ::kill(pid, SIGKILL);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (pidfd >= 0) ::close(pidfd);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string FSDDownload::unzipToolPath() {
    std::lock_guard lock(gToolMutex);
    return gToolPath;
}

void FSDDownload::setUnzipToolPath(std::string path) {
    std::lock_guard lock(gToolMutex);
    gToolPath = path.empty() ? std::string(kUnzipToolPath) : std::move(path);
}

void FSDDownload::setUnzipWatchdogForTesting(std::chrono::milliseconds watchdog,
                                             std::chrono::milliseconds killGrace) {
    std::lock_guard lock(gToolMutex);
    gWatchdog = watchdog;
    gKillGrace = killGrace;
}

bool FSDDownload::unzipFile() { return unpackPackage() != Unpacked::Failed; }
bool FSDDownload::unzipAppOrFolder() { return unpackWithTool() == Unpacked::Done; }

void FSDDownload::addPackageDescription(const PelFSDFile& file, const std::string& name) {
    if (file.fileType() != PelFSDFile::kOrdinaryFileType) return;
    platform::Dictionary d;
    d["pkgName"] = name;
    d["pkgPriority"] = static_cast<int>(static_cast<std::int32_t>(file.filePriority()));
    d["pingModuleID"] = static_cast<int>(static_cast<std::int32_t>(file.pingModuleID()));
    std::lock_guard lock(mutex_);
    packagePaths_.push_back(std::move(d));
}

void FSDDownload::raiseErrorAndcleanDir(const platform::Error& error,
                                        const std::string& archivePath) {
    PelLogging::logErrorMessageWithFormat(
        "error occurred: error Domain:%@ \n error code:%ld \n error info:%@", error.domain(),
        error.code(), fsdErrorMessage(error));
    // The archive goes first, so that it is gone once the failure is reported.
    fsdUnlinkFile(archivePath);
    completeWithError(&error);
}

void FSDDownload::raiseNotAnArchive(const std::string& archivePath) {
    PelLogging::logErrorMessageWithFormat("Failed to open the downloaded zip file located at :%@",
                                          archivePath);
    struct stat st {};
    std::string why = "\"" + archivePath + "\" is not a complete zip archive";
    if (::lstat(archivePath.c_str(), &st) == 0)
        why += " (" + std::to_string(static_cast<long long>(st.st_size)) + " bytes)";
    platform::Error underlying = platform::Error::readCorrupt(std::move(why));
    raiseErrorAndcleanDir(
        makeFSDError(kFSDErrorOpenZip, "Failed to open the Download zip file", &underlying),
        archivePath);
}

FSDDownload::Unpacked FSDDownload::unpackPackage() {
    PelFSDFilePtr file = currentFile();
    if (!file) {
        PelLogging::logNoticeMessage("FSDDownload unzipJob self.currentFile is nil");
        return Unpacked::Skipped;
    }
    auto url = file->downloadURL();
    if (!url) {
        PelLogging::logNoticeMessage("FSDDownload unzipJob self.currentFile.downloadURL is nil");
        return Unpacked::Skipped;
    }
    auto name = fsdFileNameForURL(*url);
    const std::string pkgName = file->pkgName().value_or("");
    if (!name) return Unpacked::Skipped;
    const std::string archivePath = platform::pathInFolder(downloadPath_, *name);
    const std::string pkgPath = platform::pathInFolder(downloadPath_, pkgName);
    addPackageDescription(*file, pkgName);

    auto reader = FSDZipReader::open(archivePath);
    if (!reader) {
        // A body cut short (a short Content-Length, or a connection closed
        // early without one) arrives as a file that is no ZIP archive: the
        // download has yielded no package, which is a failure of the file.
        raiseNotAnArchive(archivePath);
        return Unpacked::Failed;
    }
    FSDZipReader::Entry entry;
    if (reader->next(&entry) != FSDZipReader::Next::Entry) {
        PelLogging::logErrorMessageWithFormat(
            "Failed to open the downloaded zip file located at :%@", archivePath);
        reader.reset();
        raiseErrorAndcleanDir(
            makeFSDError(kFSDErrorOpenZip, "Failed to open the Download zip file"), archivePath);
        return Unpacked::Failed;
    }
    if (!platform::isPlainFileName(pkgName) || entry.name != pkgName ||
        entry.kind != FSDZipReader::Kind::Regular) {
        PelLogging::logErrorMessageWithFormat("Downloaded %@ zip file does not contain pkg name:%@",
                                              archivePath, pkgName);
        reader.reset();
        raiseErrorAndcleanDir(
            makeFSDError(kFSDErrorUnpack,
                         "Downloaded zip file at zip path does not contain pkg name"),
            archivePath);
        return Unpacked::Failed;
    }
    // The package is replaced only by a complete, checked copy.
    int err = 0;
    if (!fsdExtractEntryTo(*reader, downloadPath_, pkgPath, UINT64_MAX, &err, true)) {
        PelLogging::logErrorMessageWithFormat(
            "Failed to write the contents of downloaded zip file located at :%@ to %@", archivePath,
            pkgPath);
        platform::Error underlying = err ? platform::Error::posix(err, pkgPath)
                                         : platform::Error::readCorrupt(reader->errorString());
        reader.reset();
        raiseErrorAndcleanDir(
            makeFSDError(kFSDErrorUnpack,
                         "Failed to Write the contents of Download zip file to mpkgPath",
                         &underlying),
            archivePath == pkgPath ? std::string() : archivePath);
        return Unpacked::Failed;
    }
    reader.reset();
    if (archivePath != pkgPath) fsdUnlinkLargeFile(archivePath);
    return Unpacked::Done;
}

FSDDownload::Unpacked FSDDownload::unpackWithTool() {
    PelFSDFilePtr file = currentFile();
    if (!file) return Unpacked::Skipped;
    auto url = file->downloadURL();
    auto name = url ? fsdFileNameForURL(*url) : std::nullopt;
    if (!name) return Unpacked::Skipped;
    const std::string appName = file->appName().value_or("");
    const std::string archivePath = platform::pathInFolder(downloadPath_, *name);
    const std::string appPath = platform::pathInFolder(downloadPath_, appName);
    addPackageDescription(*file, appName);

    const platform::Error toolFailed =
        makeFSDError(kFSDErrorUnzip, "Failed, unzipTask terminationStatus bad");
    std::vector<std::string> topNames;
    {
        auto reader = FSDZipReader::open(archivePath);
        if (!reader) {
            raiseNotAnArchive(archivePath);
            return Unpacked::Failed;
        }
        // Nothing the tool writes may land outside the folder.
        const bool safe = platform::isPlainFileName(appName) &&
                          fsdArchiveStaysInside(*reader, downloadPath_, &topNames);
        if (!safe) {
            PelLogging::logNoticeMessageWithFormat("Unzip failed for file: %@", archivePath);
            reader.reset();
            raiseErrorAndcleanDir(toolFailed, archivePath);
            return Unpacked::Failed;
        }
    }
    if (appPath != archivePath) {
        std::error_code ec;
        std::filesystem::remove_all(appPath, ec);  // does not follow links
    }
    // What the tool makes at the top of the folder, so that a failed unpack
    // leaves nothing half-written behind.
    std::vector<std::string> newItems;
    for (const auto& top : topNames) {
        const std::string item = platform::pathInFolder(downloadPath_, top);
        struct stat info;
        if (item != archivePath && ::lstat(item.c_str(), &info) != 0 && errno == ENOENT)
            newItems.push_back(item);
    }
    auto removeNewItems = [&] {
        for (const auto& item : newItems) {
            std::error_code ec;
            std::filesystem::remove_all(item, ec);  // does not follow links
        }
    };
    int status = runUnzipTool(archivePath, downloadPath_);
    if (::unlink(archivePath.c_str()) != 0 && errno != ENOENT) {
        platform::Error error = platform::Error::posix(errno, archivePath);
        removeNewItems();
        raiseErrorAndcleanDir(error, archivePath);
        return Unpacked::Failed;
    }
    if (status != 0) {
        PelLogging::logNoticeMessageWithFormat("Unzip failed for file: %@", archivePath);
        removeNewItems();
        raiseErrorAndcleanDir(toolFailed, archivePath);
        return Unpacked::Failed;
    }
    return Unpacked::Done;
}
