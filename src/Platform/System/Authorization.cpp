#include "Platform/System/Authorization.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "Platform/System/Bundle.h"
#include "Platform/System/Paths.h"
#include "Platform/System/ServiceManagement.h"

extern char** environ;

namespace platform {

namespace {

std::mutex& authoriserMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<Authoriser>& authoriserOverride() {
    static std::shared_ptr<Authoriser> authoriser;
    return authoriser;
}

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        text.remove_prefix(std::size_t(n));
    }
    return true;
}

// Reads one line (without its line feed) through `buffer`; false at the end.
bool readLine(int fd, std::string& buffer, std::string* line) {
    for (;;) {
        const auto nl = buffer.find('\n');
        if (nl != std::string::npos) {
            *line = buffer.substr(0, nl);
            buffer.erase(0, nl + 1);
            return true;
        }
        char chunk[4096];
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buffer.append(chunk, std::size_t(n));
    }
}

Error brokerError(long code, std::string text) {
    Error error{std::string(kCFErrorDomainLaunchd), code};
    error.setUserInfoValue("NSLocalizedDescription", Value(std::move(text)));
    return error;
}

// The broker program, talked to over its standard input and output.
class BrokerAuthorization : public Authorization {
  public:
    BrokerAuthorization(pid_t pid, int toBroker, int fromBroker, std::string buffered)
        : pid_(pid), to_(toBroker), from_(fromBroker), buffer_(std::move(buffered)) {}

    ~BrokerAuthorization() override {
        close(to_);
        close(from_);
        // The broker ends when its input closes; do not wait on it forever.
        for (int i = 0; i < 500; ++i) {
            int status;
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_ || (r < 0 && errno != EINTR)) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid_, SIGKILL);
        int status;
        waitpid(pid_, &status, 0);
    }

    bool blessHelper(const std::string& label, Error* error) override {
        return request("bless", label, error);
    }
    bool removeJob(const std::string& label, Error* error) override {
        return request("remove", label, error);
    }

  private:
    bool request(const char* verb, const std::string& label, Error* error) {
        std::lock_guard lock(mutex_);
        std::string answer;
        if (label.find('\n') != std::string::npos ||
            !writeAll(to_, std::string(verb) + " " + label + "\n") ||
            !readLine(from_, buffer_, &answer)) {
            if (error) *error = brokerError(kSMErrorInternalFailure, "The broker went away");
            return false;
        }
        if (answer == "ok") return true;
        long code = kSMErrorInternalFailure;
        std::string text = answer;
        if (answer.rfind("error ", 0) == 0) {
            char* end = nullptr;
            code = std::strtol(answer.c_str() + 6, &end, 10);
            text = (end && *end == ' ') ? std::string(end + 1) : std::string();
        }
        if (error) *error = brokerError(code, text);
        return false;
    }

    std::mutex mutex_;
    pid_t pid_;
    int to_, from_;
    std::string buffer_;
};

}  // namespace

bool RootAuthorization::blessHelper(const std::string& label, Error* error) {
    return SMBlessHelperAsRoot(bundlePath_, label, requesterUid_, error);
}

bool RootAuthorization::removeJob(const std::string& label, Error* error) {
    return SMRemoveJobAsRoot(label, error);
}

SystemAuthoriser::SystemAuthoriser(std::string bundlePath, std::vector<std::string> elevator)
    : bundlePath_(std::move(bundlePath)), elevator_(std::move(elevator)) {}

OSStatus SystemAuthoriser::createAuthorization(const AuthorizationRequest& request,
                                               AuthorizationRef* out) {
    if (!out || request.rights.empty()) return errAuthorizationDenied;
    std::string bundle = bundlePath_;
    if (bundle.empty()) bundle = Bundle::mainBundle()->bundlePath();
    if (grantInProcess_ && geteuid() == 0) {
        *out = std::make_shared<RootAuthorization>(bundle, getuid());
        return errAuthorizationSuccess;
    }
    if (!(request.flags & kAuthorizationFlagInteractionAllowed) && geteuid() != 0)
        return errAuthorizationDenied;

    std::vector<std::string> args = elevator_;
    args.push_back(bundle + "/Contents/MacOS/PelAuthBroker");
    args.push_back("--serve");
    if (!Paths::root().empty()) {
        args.push_back("--path-root");
        args.push_back(Paths::root());
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int toBroker[2], fromBroker[2];
    if (pipe2(toBroker, O_CLOEXEC) != 0) return errAuthorizationDenied;
    if (pipe2(fromBroker, O_CLOEXEC) != 0) {
        close(toBroker[0]);
        close(toBroker[1]);
        return errAuthorizationDenied;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toBroker[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromBroker[1], 1);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(toBroker[0]);
    close(fromBroker[1]);
    if (spawned != 0) {
        close(toBroker[1]);
        close(fromBroker[0]);
        return errAuthorizationDenied;  // no elevator on this machine
    }
    std::string buffer, line;
    if (readLine(fromBroker[0], buffer, &line) && line == "ready") {
        *out = std::make_shared<BrokerAuthorization>(pid, toBroker[1], fromBroker[0], buffer);
        return errAuthorizationSuccess;
    }
    close(toBroker[1]);
    close(fromBroker[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    // pkexec: 126 when the user dismissed the dialog, 127 when not authorised.
    if (WIFEXITED(status) && WEXITSTATUS(status) == 126) return errAuthorizationCanceled;
    return errAuthorizationDenied;
}

int PelAuthBrokerServe(int inFd, int outFd, const std::string& bundlePath, uid_t requesterUid) {
    if (geteuid() != 0) return 127;
    signal(SIGPIPE, SIG_IGN);
    if (!writeAll(outFd, "ready\n")) return 1;
    std::string buffer, line;
    while (readLine(inFd, buffer, &line)) {
        const auto space = line.find(' ');
        const std::string verb = line.substr(0, space);
        const std::string label = space == std::string::npos ? "" : line.substr(space + 1);
        Error error;
        bool ok = false;
        // The bundle is read with the rights of the user who asked.
        if (verb == "bless")
            ok = SMBlessHelperAsRoot(bundlePath, label, requesterUid, &error,
                                     userIdentity(requesterUid));
        else if (verb == "remove")
            ok = SMRemoveJobAsRoot(label, &error);
        else
            error = brokerError(kSMErrorInternalFailure, "Unknown request");
        std::string answer = "ok\n";
        if (!ok) {
            std::string text = error.description();
            for (char& c : text)
                if (c == '\n' || c == '\r') c = ' ';
            answer = "error " + std::to_string(error.code()) + " " + text + "\n";
        }
        if (!writeAll(outFd, answer)) return 1;
    }
    return 0;
}

std::shared_ptr<Authoriser> defaultAuthoriser() {
    std::lock_guard lock(authoriserMutex());
    if (!authoriserOverride()) authoriserOverride() = std::make_shared<SystemAuthoriser>();
    return authoriserOverride();
}

void setDefaultAuthoriser(std::shared_ptr<Authoriser> authoriser) {
    std::lock_guard lock(authoriserMutex());
    authoriserOverride() = std::move(authoriser);
}

}  // namespace platform
