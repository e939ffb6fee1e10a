#include "HelperKit/HelperService.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <random>

#include "Platform/System/ContainedFolder.h"
#include "Platform/System/PathNames.h"
#include "Platform/System/Paths.h"

using namespace platform;

namespace helperkit {

void log(const std::string& label, const std::string& text) {
    std::cerr << label << ": " << text << std::endl;
}

bool raisedForAnotherUser() {
    return std::getenv("PKEXEC_UID") != nullptr || getuid() != geteuid() || getgid() != getegid();
}

bool pathRootAllowed(const std::string& label, std::string_view requested) {
    auto names = [](std::string_view root) {
        return root.find_first_not_of('/') != std::string_view::npos;
    };
    const char* environment = std::getenv("PEL_PATH_ROOT");
    if (!names(requested) && !(environment && names(environment))) return true;
    if (!raisedForAnotherUser()) return true;
    log(label, "refusing a path root from an unprivileged caller (" +
                   std::string(names(requested) ? "--path-root" : "PEL_PATH_ROOT") +
                   "): a program that runs as root for another user takes none");
    return false;
}

std::optional<uid_t> startupCheck(const std::string& label, int argc, char** argv) {
    long clientUid = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--client-uid" && i + 1 < argc) clientUid = std::atol(argv[++i]);
    }
    if (geteuid() != 0) {
        log(label, "must run as root");
        return std::nullopt;
    }
    if (getuid() != 0) {
        log(label, "must be started by root, not raised from another user");
        return std::nullopt;
    }
    if (!pathRootAllowed(label)) return std::nullopt;
    return static_cast<uid_t>(clientUid);
}

namespace {

// A regular file, or nothing.
UniqueFd regularFile(int fd) {
    UniqueFd file(fd);
    struct stat info;
    if (file && (fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))) file.reset();
    return file;
}

constexpr int kClientFileFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK;

}  // namespace

UniqueFd openClientFile(const UserIdentity& client, const std::string& path) {
    Error error;
    return regularFile(openAsUser(client, path, kClientFileFlags, &error));
}

UniqueFd openClientFileInside(const UserIdentity& client, const std::string& folder,
                              const std::string& relative) {
    int fd = -1;
    Error error;
    withUserFileAccess(
        client,
        [&] {
            const UniqueFd top(openWithoutMagicLinks(AT_FDCWD, folder, O_PATH | O_DIRECTORY));
            if (top) fd = openWithoutMagicLinks(top.get(), relative, kClientFileFlags, true);
        },
        &error);
    return regularFile(fd);
}

UniqueFd openSystemFolder(const std::string& systemPath, bool make) {
    UniqueFd folder(open(Paths::resolve("/").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (const std::string& part : pathParts(systemPath)) {
        if (!folder) break;
        if (part == "..") {
            errno = EINVAL;
            return {};
        }
        if (make) {
            if (mkdirat(folder.get(), part.c_str(), 0755) == 0) {
                // Whatever the umask took away.
                const UniqueFd made(openat(folder.get(), part.c_str(),
                                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                if (made) fchmod(made.get(), 0755);
            } else if (errno != EEXIST) {
                return {};
            }
        }
        folder.reset(openFolderBelow(folder.get(), part));
    }
    if (!folder) return {};
    // A descriptor that fchmod() and friends take.
    return UniqueFd(openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

bool replaceFileIn(int folder, const std::string& name, const std::string& bytes, mode_t mode) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    std::string temporary;
    UniqueFd out;
    for (int attempt = 0; attempt < 100 && !out; ++attempt) {
        temporary = "." + name + ".";
        for (int i = 0; i < 8; ++i) temporary += kLetters[random() % (sizeof kLetters - 1)];
        out.reset(openat(folder, temporary.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!out && errno != EEXIST) return false;
    }
    if (!out) return false;
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        const ssize_t n = write(out.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += std::size_t(n);
    }
    ok = ok && fchmod(out.get(), mode) == 0 && fsync(out.get()) == 0;
    const int closed = close(out.release());
    ok = ok && closed == 0 && renameat(folder, temporary.c_str(), folder, name.c_str()) == 0;
    if (!ok) {
        const int saved = errno;
        unlinkat(folder, temporary.c_str(), 0);
        errno = saved;
    }
    return ok;
}

std::vector<std::string> RefusalLog::note(Clock::time_point now, std::string line) {
    std::vector<std::string> lines;
    if (!intervalStart_ || now - *intervalStart_ >= interval_ || now < *intervalStart_) {
        if (auto summary = flush()) lines.push_back(std::move(*summary));
        intervalStart_ = now;
        logged_ = 0;
    }
    if (logged_ < perInterval_) {
        ++logged_;
        lines.push_back(std::move(line));
    } else {
        ++unlogged_;
    }
    return lines;
}

std::optional<std::string> RefusalLog::flush() {
    if (unlogged_ == 0) return std::nullopt;
    const std::uint64_t count = unlogged_;
    unlogged_ = 0;
    return std::to_string(count) + " refused connections not logged";
}

void HelperService::logRefusal(const std::string& text) {
    std::vector<std::string> lines;
    {
        std::lock_guard lock(refusalsMutex_);
        lines = refusals_.note(RefusalLog::Clock::now(), text);
    }
    for (const std::string& line : lines) log(line);
}

HelperService::HelperService(std::string label, uid_t clientUid, std::chrono::seconds idleExit)
    : label_(std::move(label)),
      clientUid_(clientUid),
      idleExit_(idleExit),
      queue_(SerialQueue::create(label_)) {}

HelperService::~HelperService() {
    if (idle_) idle_->cancel();
    if (listener_) listener_->cancel();
}

bool HelperService::start(MessageHandler handler) {
    handler_ = std::move(handler);
    Error error;
    listener_ = XpcListener::create(label_, XpcServiceScope::System, queue_, &error);
    if (!listener_) {
        log("cannot listen: " + error.description());
        return false;
    }
    listener_->setNewConnectionHandler([this](XpcConnectionPtr peer) { accept(peer); });
    idle_ = Timer::create(queue_, [this] { finish(); });
    idle_->start(idleExit_);
    listener_->resume();
    return true;
}

// On queue_.
void HelperService::accept(const XpcConnectionPtr& peer) {
    const auto credentials = peer->peerCredentials();
    if (peer_ || (credentials && !allowed(credentials->uid))) {
        logRefusal(peer_ ? "refusing a second client" : "refusing a client of another user");
        peer->cancel();
        return;
    }
    peer_ = peer;
    idle_->stop();
    peer->setTargetQueue(queue_);
    std::weak_ptr<XpcConnection> weak = peer;
    peer->setEventHandler([this, weak](const XpcEvent& event) {
        auto connection = weak.lock();
        if (!connection || connection != peer_) return;
        if (event.isError()) {
            log("client gone: " + event.errorDescription());
            peer_ = nullptr;
            idle_->start(idleExit_);
            return;
        }
        if (!allowed(event.peer().uid)) {
            connection->cancel();
            return;
        }
        handler_(connection, event);
    });
    peer->resume();
}

void HelperService::stop() {
    queue_->async([this] { finish(); });
}

void HelperService::finish() {
    if (listener_) listener_->cancel();
    {
        std::lock_guard lock(refusalsMutex_);
        if (auto summary = refusals_.flush()) log(*summary);
    }
    if (beforeExit_) beforeExit_();
    std::lock_guard lock(mutex_);
    done_ = true;
    doneChanged_.notify_all();
}

void HelperService::waitUntilDone() {
    std::unique_lock lock(mutex_);
    doneChanged_.wait(lock, [&] { return done_; });
}

}  // namespace helperkit
