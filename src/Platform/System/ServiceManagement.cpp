#include "Platform/System/ServiceManagement.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>
#include <vector>

#include "Platform/Security/Crypto.h"
#include "Platform/System/FileCopy.h"
#include "Platform/System/Paths.h"
#include "Platform/System/UniqueFd.h"
#include "Platform/System/UserFileAccess.h"
#include "Platform/Values/PropertyList.h"
#include "Platform/Xpc/XpcServiceName.h"

extern char** environ;

namespace platform {

namespace {

using SteadyTime = std::chrono::steady_clock;

Error launchdError(long code, std::string description, int posixCode = 0) {
    Error error{std::string(kCFErrorDomainLaunchd), code};
    error.setUserInfoValue("NSLocalizedDescription", Value(std::move(description)));
    if (posixCode != 0) error.setUnderlyingError(Error::posix(posixCode));
    return error;
}

bool fail(Error* error, long code, std::string description, int posixCode = 0) {
    if (error) *error = launchdError(code, std::move(description), posixCode);
    return false;
}

bool processAlive(pid_t pid) {
    if (pid <= 0) return false;
    // Reap it when it is a child of ours; harmless otherwise.
    int status;
    waitpid(pid, &status, WNOHANG);
    if (kill(pid, 0) != 0 && errno == ESRCH) return false;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    // A zombie whose parent does not reap it has ended all the same.
    if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z')
        return false;
    return true;
}

bool waitForExit(pid_t pid, std::chrono::milliseconds limit) {
    const auto until = SteadyTime::now() + limit;
    while (processAlive(pid)) {
        if (SteadyTime::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Root's, and writable by nobody else; a sticky folder (such as /tmp) may
// be writable by all, as nobody else can rename or remove what root owns in it.
bool rootOnly(const struct stat& info, bool stickyAllowed) {
    if (info.st_uid != 0) return false;
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) == 0) return true;
    return stickyAllowed && S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX);
}

// Walks the absolute folder path `path` one folder at a time from "/",
// following links, and requires every folder on the way (those that hold a
// link included) to be root-only. Answers the real path, or nullopt.
std::optional<std::string> rootOnlyFolderChain(const std::string& path, int& links) {
    namespace fs = std::filesystem;
    struct stat info;
    if (path.empty() || path.front() != '/' || lstat("/", &info) != 0 || !rootOnly(info, true))
        return std::nullopt;
    fs::path current("/");
    for (const fs::path& part : fs::path(path).relative_path()) {
        if (part.empty() || part == ".") continue;
        // `current` holds no link, so going up is plain text.
        if (part == "..") {
            current = current.parent_path();
            continue;
        }
        const fs::path next = current / part;
        if (lstat(next.c_str(), &info) != 0) return std::nullopt;
        if (S_ISLNK(info.st_mode)) {
            char target[PATH_MAX];
            const ssize_t n = readlink(next.c_str(), target, sizeof target - 1);
            if (n <= 0 || ++links > 40) return std::nullopt;
            const fs::path to(std::string(target, std::size_t(n)));
            const auto real =
                rootOnlyFolderChain((to.is_absolute() ? to : current / to).string(), links);
            if (!real) return std::nullopt;
            current = *real;
            continue;
        }
        if (!S_ISDIR(info.st_mode) || !rootOnly(info, true)) return std::nullopt;
        current = next;
    }
    return current.string();
}

// Makes the folder `path` (0755, each missing folder in turn) and checks
// that it, and every folder above it, only root can change. Nothing is
// made under a folder that others could change.
bool makeRootFolder(const std::string& path, Error* error) {
    namespace fs = std::filesystem;
    fs::path existing(path);
    std::vector<fs::path> missing;
    struct stat info;
    while (lstat(existing.c_str(), &info) != 0) {
        if (errno != ENOENT || !existing.has_relative_path())
            return fail(error, kSMErrorInternalFailure, "Cannot create " + path, errno);
        if (!existing.filename().empty()) missing.push_back(existing.filename());
        existing = existing.parent_path();
    }
    int links = 0;
    const auto real = rootOnlyFolderChain(existing.string(), links);
    if (!real)
        return fail(error, kSMErrorInternalFailure,
                    "Not a folder that only root can change: " + existing.string(), EPERM);
    fs::path made(*real);
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        made /= *it;
        if (mkdir(made.c_str(), 0755) != 0 && errno != EEXIST)
            return fail(error, kSMErrorInternalFailure, "Cannot create " + made.string(), errno);
        if (lstat(made.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || !rootOnly(info, false))
            return fail(error, kSMErrorInternalFailure,
                        "Not a folder that only root can change: " + made.string(), EPERM);
    }
    return true;
}

// Removes `path` when the folder that holds it only root can change.
void removeFromRootFolder(const std::string& path) {
    int links = 0;
    if (rootOnlyFolderChain(std::filesystem::path(path).parent_path().string(), links))
        unlink(path.c_str());
}

void stopJob(std::string_view label) {
    const pid_t pid = SMRunningJobPid(label);
    if (pid > 0) {
        kill(pid, SIGTERM);
        if (!waitForExit(pid, kSMJobStopTimeout)) {
            kill(pid, SIGKILL);
            waitForExit(pid, std::chrono::seconds(1));
        }
    }
    removeFromRootFolder(Paths::resolve(SMJobPidPath(label)));
}

// A regular file of root's, writable by root only, with no second name.
bool rootOnlyFile(int fd) {
    struct stat info;
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1 &&
           rootOnly(info, false);
}

// Copies the tool open at `in` (named `source`) to `destination` in a
// root-only folder (owner root, mode 0544, replaced atomically) and answers
// an open descriptor of the copy once it is root's, writable by nobody, and
// holds the bytes read from the source's one descriptor; -1 otherwise.
int installTool(int in, const std::string& source, const std::string& destination, Error* error) {
    const std::string temp = destination + ".XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    const int out = mkostemp(name.data(), O_CLOEXEC);
    if (out < 0) {
        fail(error, kSMErrorInternalFailure, "Cannot write " + destination, errno);
        return -1;
    }
    Digester digester(DigestAlgorithm::kSHA256);
    int failure = copyDescriptorContents(in, out, &digester);
    if (!failure && (fchown(out, 0, 0) != 0 || fchmod(out, 0544) != 0 || fsync(out) != 0))
        failure = errno;
    if (close(out) != 0 && !failure) failure = errno;
    if (!failure && rename(name.data(), destination.c_str()) != 0) failure = errno;
    if (failure) {
        unlink(name.data());
        fail(error, kSMErrorInternalFailure, "Cannot install " + destination, failure);
        return -1;
    }
    Data copied;
    const int fd = open(destination.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    const auto digest =
        fd >= 0 && rootOnlyFile(fd) ? descriptorDigest(fd, DigestAlgorithm::kSHA256) : std::nullopt;
    if (!digest || !digester.finish(&copied) || *digest != copied) {
        if (fd >= 0) close(fd);
        fail(error, kSMErrorToolNotValid, "The installed copy differs from " + source);
        return -1;
    }
    return fd;
}

// The real path of `path` (as /proc/<pid>/exe shows a program), or `path`.
std::string realPath(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    if (!real) return path;
    std::string result = real;
    std::free(real);
    return result;
}

// Writes the job's pid file: "<pid>\n<program's real path>\n", in a
// root-only folder, never through a link.
bool writePidFile(const std::string& path, pid_t pid, const std::string& program) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const std::string text = std::to_string(pid) + "\n" + realPath(program) + "\n";
    const bool written =
        rootOnlyFile(fd) && write(fd, text.data(), text.size()) == ssize_t(text.size());
    return close(fd) == 0 && written;
}

// The service listens once its socket exists. (Connecting to find out would
// take the place of its one client.)
bool socketListening(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) && info.st_uid == 0;
}

// Starts the program open at `toolFd` (named `tool` in its arguments) in a
// session of its own, reparented away from us: what runs is the file that
// was checked, whatever the name leads to by then. Answers its pid, or -1
// with errno.
pid_t startDetached(int toolFd, const std::string& tool, const std::vector<std::string>& arguments,
                    const std::string& logPath) {
    std::vector<std::string> args{tool};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e)
        if (std::strncmp(*e, "PEL_PATH_ROOT=", 14) != 0) env.emplace_back(*e);
    if (!Paths::root().empty()) env.push_back("PEL_PATH_ROOT=" + Paths::root());
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    const pid_t child = fork();
    if (child < 0) {
        const int e = errno;
        close(fds[0]);
        close(fds[1]);
        errno = e;
        return -1;
    }
    if (child == 0) {
        // Only async-signal-safe calls from here on.
        setsid();
        const pid_t grandchild = fork();
        if (grandchild != 0) {
            const pid_t sent = grandchild;
            (void)!write(fds[1], &sent, sizeof sent);
            _exit(0);
        }
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        for (int s = 1; s < NSIG; ++s) sigaction(s, &dfl, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        const int devNull = open("/dev/null", O_RDWR);
        int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW, 0600);
        if (log < 0) log = devNull;
        dup2(devNull, 0);
        dup2(log, 1);
        dup2(log, 2);
        if (chdir("/") != 0) _exit(127);
        umask(022);
        // A script reads itself through /dev/fd/N, so this one stays open.
        const int program = dup(toolFd);
        syscall(SYS_execveat, program, "", argv.data(), envp.data(), AT_EMPTY_PATH);
        _exit(127);
    }
    close(fds[1]);
    int status;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    pid_t pid = -1;
    ssize_t n;
    do n = read(fds[0], &pid, sizeof pid);
    while (n < 0 && errno == EINTR);
    close(fds[0]);
    if (n != sizeof pid) {
        errno = ECHILD;
        return -1;
    }
    return pid;
}

}  // namespace

std::string SMHelperToolPath(std::string_view label) {
    return "/Library/PrivilegedHelperTools/" + std::string(label);
}

std::string SMJobPlistPath(std::string_view label) {
    return "/Library/LaunchDaemons/" + std::string(label) + ".plist";
}

std::string SMJobPidPath(std::string_view label) {
    return "/var/run/" + std::string(label) + ".pid";
}

pid_t SMRunningJobPid(std::string_view label) {
    // Only a pid file that nobody but root could have written or planted
    // names the job.
    const std::string path = Paths::resolve(SMJobPidPath(label));
    if (!SMIsRootOnlyPath(path)) return -1;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return -1;
    char buffer[PATH_MAX + 32];
    ssize_t n = -1;
    if (rootOnlyFile(fd)) {
        do n = read(fd, buffer, sizeof buffer);
        while (n < 0 && errno == EINTR);
    }
    close(fd);
    if (n <= 0) return -1;
    const std::string text(buffer, std::size_t(n));
    const auto lineEnd = text.find('\n');
    const std::string pidText = text.substr(0, lineEnd);
    if (pidText.empty() || pidText.size() > 9 ||
        pidText.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    const pid_t pid = pid_t(std::atol(pidText.c_str()));
    std::string program;
    if (lineEnd != std::string::npos) {
        program = text.substr(lineEnd + 1);
        if (const auto end = program.find('\n'); end != std::string::npos) program.resize(end);
    }
    if (pid <= 0 || !processAlive(pid)) return -1;
    // Only a process that runs the job's program is the job: a pid may have
    // been reused since. (A program replaced since it started reads
    // "<path> (deleted)".)
    std::error_code ec;
    const std::string exe =
        std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).string();
    const std::string tool =
        program.empty() ? realPath(Paths::resolve(SMHelperToolPath(label))) : program;
    if (ec || tool.empty() || (exe != tool && exe != tool + " (deleted)")) return -1;
    return pid;
}

bool SMBlessHelperAsRoot(const std::string& bundlePath, const std::string& label,
                         uid_t requesterUid, Error* error, std::optional<UserIdentity> reader) {
    if (!isValidXpcServiceName(label))
        return fail(error, kSMErrorToolNotValid, "Not a valid helper name: " + label);
    const std::string source = bundlePath + "/Contents/Library/LaunchServices/" + label;
    // The tool is read with the rights of whoever asked, never through a
    // link at its last step nor a magic link: what the reader cannot open
    // is no tool, and looks like none.
    UniqueFd in;
    int openErrno = 0;
    Error accessError;
    if (!withUserFileAccess(
            reader.value_or(UserIdentity{0, 0, {}}),
            [&] {
                in.reset(
                    openWithoutMagicLinks(AT_FDCWD, source, O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
                openErrno = errno;
            },
            &accessError))
        return fail(error, kSMErrorToolNotValid, "No helper tool at " + source, EPERM);
    if (!in) return fail(error, kSMErrorToolNotValid, "No helper tool at " + source, openErrno);
    struct stat info;
    if (fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return fail(error, kSMErrorToolNotValid, "The helper tool is not a file: " + source);
    if (geteuid() != 0)
        return fail(error, kSMErrorAuthorizationFailure, "Blessing needs root", EPERM);

    const std::string tool = Paths::resolve(SMHelperToolPath(label));
    const std::string plist = Paths::resolve(SMJobPlistPath(label));
    const std::string pidFile = Paths::resolve(SMJobPidPath(label));
    if (!makeRootFolder(Paths::resolve("/Library/PrivilegedHelperTools"), error) ||
        !makeRootFolder(Paths::resolve("/Library/LaunchDaemons"), error) ||
        !makeRootFolder(Paths::resolve("/var/run"), error) ||
        !makeRootFolder(Paths::resolve("/var/log"), error))
        return false;

    stopJob(label);

    const int toolFd = installTool(in.get(), source, tool, error);
    if (toolFd < 0) return false;

    const std::vector<std::string> arguments{"--client-uid", std::to_string(requesterUid)};
    Array programArguments{Value(tool)};
    for (const auto& a : arguments) programArguments.emplace_back(a);
    Dictionary job{{"Label", Value(label)},
                   {"ProgramArguments", Value(programArguments)},
                   {"MachServices", Value(Dictionary{{label, Value(true)}})}};
    Error writeError;
    if (!PropertyList::toFile(Value(job), plist, PropertyListFormat::XML, true, &writeError)) {
        close(toolFd);
        return fail(error, kSMErrorInternalFailure, "Cannot write " + plist, EIO);
    }
    chmod(plist.c_str(), 0644);

    Error nameError;
    const std::string socket = xpcSocketPathForService(label, XpcServiceScope::System, &nameError);
    removeFromRootFolder(socket);  // a killed job's socket would look like the new one's
    const pid_t pid =
        startDetached(toolFd, tool, arguments, Paths::resolve("/var/log/" + label + ".log"));
    const int startError = errno;
    close(toolFd);
    if (pid < 0) return fail(error, kSMErrorServiceUnavailable, "Cannot start " + tool, startError);
    if (!writePidFile(pidFile, pid, tool)) {
        const int e = errno;
        kill(pid, SIGKILL);
        waitForExit(pid, std::chrono::seconds(1));
        return fail(error, kSMErrorInternalFailure, "Cannot write " + pidFile, e ? e : EPERM);
    }

    const auto until = SteadyTime::now() + kSMJobStartTimeout;
    while (!socketListening(socket)) {
        if (!processAlive(pid) || SteadyTime::now() >= until) {
            kill(pid, SIGKILL);
            waitForExit(pid, std::chrono::seconds(1));
            removeFromRootFolder(pidFile);
            return fail(error, kSMErrorServiceUnavailable, "The helper did not start: " + label,
                        ETIMEDOUT);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool SMIsRootOnlyPath(const std::string& path) {
    namespace fs = std::filesystem;
    if (path.empty() || path.front() != '/') return false;
    const fs::path file(path);
    const fs::path name = file.filename();
    int links = 0;
    if (name.empty() || name == "." || name == "..")
        return path == "/" && rootOnlyFolderChain(path, links);
    const auto folder = rootOnlyFolderChain(file.parent_path().string(), links);
    struct stat info;
    // The file itself must not be a link.
    return folder && lstat((fs::path(*folder) / name).c_str(), &info) == 0 &&
           !S_ISLNK(info.st_mode) && rootOnly(info, false);
}

bool SMStartJobAsRoot(const std::string& jobPlistPath, Error* error,
                      std::optional<uid_t> clientUid) {
    // A description that others could change would choose what root runs.
    if (!SMIsRootOnlyPath(jobPlistPath))
        return fail(error, kSMErrorToolNotValid, "Others can change " + jobPlistPath);
    const auto job = PropertyList::dictionaryWithContentsOfFile(jobPlistPath);
    if (!job) return fail(error, kSMErrorToolNotValid, "Cannot read " + jobPlistPath);
    const auto labelEntry = job->find("Label");
    const std::string label = labelEntry != job->end() ? labelEntry->second.stringValue() : "";
    if (!isValidXpcServiceName(label))
        return fail(error, kSMErrorToolNotValid, "Not a valid job label in " + jobPlistPath);
    std::vector<std::string> arguments;
    if (auto it = job->find("ProgramArguments"); it != job->end() && it->second.asArray())
        for (const Value& a : *it->second.asArray()) arguments.push_back(a.stringValue());
    if (arguments.empty() || arguments[0].empty() || arguments[0].front() != '/')
        return fail(error, kSMErrorToolNotValid, "No program in " + jobPlistPath);
    if (clientUid &&
        std::find(arguments.begin(), arguments.end(), "--client-uid") == arguments.end()) {
        arguments.push_back("--client-uid");
        arguments.push_back(std::to_string(*clientUid));
    }
    if (geteuid() != 0) return fail(error, kSMErrorAuthorizationFailure, "Needs root", EPERM);
    if (SMRunningJobPid(label) > 0) return true;
    const std::string program = Paths::resolve(arguments[0]);
    if (!SMIsRootOnlyPath(program))
        return fail(error, kSMErrorToolNotValid, "Not safe to run as root: " + program);
    if (!makeRootFolder(Paths::resolve("/var/run"), error) ||
        !makeRootFolder(Paths::resolve("/var/log"), error))
        return false;
    const int programFd = open(program.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat info;
    if (programFd < 0 || fstat(programFd, &info) != 0 || !S_ISREG(info.st_mode) ||
        !rootOnly(info, false)) {
        if (programFd >= 0) close(programFd);
        return fail(error, kSMErrorToolNotValid, "Not safe to run as root: " + program);
    }
    const pid_t pid = startDetached(programFd, program, {arguments.begin() + 1, arguments.end()},
                                    Paths::resolve("/var/log/" + label + ".log"));
    const int startError = errno;
    close(programFd);
    if (pid < 0)
        return fail(error, kSMErrorServiceUnavailable, "Cannot start " + program, startError);
    if (!writePidFile(Paths::resolve(SMJobPidPath(label)), pid, program))
        return fail(error, kSMErrorInternalFailure, "Cannot write the pid file of " + label, EPERM);
    return true;
}

bool SMRemoveJobAsRoot(const std::string& label, Error* error) {
    if (!isValidXpcServiceName(label))
        return fail(error, kSMErrorToolNotValid, "Not a valid helper name: " + label);
    if (geteuid() != 0)
        return fail(error, kSMErrorAuthorizationFailure, "Removing a job needs root", EPERM);
    stopJob(label);
    const std::string plist = Paths::resolve(SMJobPlistPath(label));
    struct stat info;
    if (lstat(plist.c_str(), &info) != 0 && errno == ENOENT) return true;
    int links = 0;
    if (!rootOnlyFolderChain(std::filesystem::path(plist).parent_path().string(), links))
        return fail(error, kSMErrorInternalFailure, "Others can change the folder of " + plist,
                    EPERM);
    if (unlink(plist.c_str()) != 0 && errno != ENOENT)
        return fail(error, kSMErrorInternalFailure, "Cannot remove " + plist, errno);
    return true;
}

bool SMJobBless(std::string_view domain, std::string_view label,
                const AuthorizationRef& authorization, Error* error) {
    if (domain != kSMDomainSystemLaunchd)
        return fail(error, kSMErrorInternalFailure, "Unknown domain " + std::string(domain));
    if (!authorization) return fail(error, kSMErrorAuthorizationFailure, "No authorization", EPERM);
    return authorization->blessHelper(std::string(label), error);
}

bool SMJobRemove(std::string_view domain, std::string_view label,
                 const AuthorizationRef& authorization, bool /*wait*/, Error* error) {
    if (domain != kSMDomainSystemLaunchd)
        return fail(error, kSMErrorInternalFailure, "Unknown domain " + std::string(domain));
    if (!authorization) return fail(error, kSMErrorAuthorizationFailure, "No authorization", EPERM);
    return authorization->removeJob(std::string(label), error);
}

}  // namespace platform
