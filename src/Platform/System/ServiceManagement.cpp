#include "Platform/System/ServiceManagement.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "Platform/System/Paths.h"
#include "Platform/Values/PropertyList.h"
#include "Platform/Xpc/XpcServiceName.h"
#include "Platform/System/FileCopy.h"

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

void stopJob(std::string_view label) {
    const pid_t pid = SMRunningJobPid(label);
    if (pid > 0) {
        kill(pid, SIGTERM);
        if (!waitForExit(pid, kSMJobStopTimeout)) {
            kill(pid, SIGKILL);
            waitForExit(pid, std::chrono::seconds(1));
        }
    }
    unlink(Paths::resolve(SMJobPidPath(label)).c_str());
}

bool makeRootFolder(const std::string& path, Error* error) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) return fail(error, kSMErrorInternalFailure, "Cannot create " + path, ec.value());
    return true;
}

bool copyTool(const std::string& source, const std::string& destination, Error* error) {
    const int in = open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0) return fail(error, kSMErrorToolNotValid, "Cannot read " + source, errno);
    const std::string temp = destination + ".XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    const int out = mkostemp(name.data(), O_CLOEXEC);
    if (out < 0) {
        const int e = errno;
        close(in);
        return fail(error, kSMErrorInternalFailure, "Cannot write " + destination, e);
    }
    int failure = platform::copyDescriptorContents(in, out);
    if (!failure && (fchown(out, 0, 0) != 0 || fchmod(out, 0544) != 0 || fsync(out) != 0))
        failure = errno;
    close(in);
    if (close(out) != 0 && !failure) failure = errno;
    if (!failure && rename(name.data(), destination.c_str()) != 0) failure = errno;
    if (failure) {
        unlink(name.data());
        return fail(error, kSMErrorInternalFailure, "Cannot install " + destination, failure);
    }
    return true;
}

// The service listens once its socket exists. (Connecting to find out would
// take the place of its one client.)
bool socketListening(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) && info.st_uid == 0;
}

// Starts `tool` in a session of its own, reparented away from us. Answers
// its pid, or -1 with errno.
pid_t startDetached(const std::string& tool, const std::vector<std::string>& arguments,
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
        execve(tool.c_str(), argv.data(), envp.data());
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
    std::ifstream file(Paths::resolve(SMJobPidPath(label)));
    long pid = -1;
    std::string program;
    if (!(file >> pid) || pid <= 0) return -1;
    file >> std::ws;
    std::getline(file, program);
    if (!processAlive(pid_t(pid))) return -1;
    // Only a process that runs the installed tool is the job: a pid may have
    // been reused since.
    std::error_code ec;
    const std::string exe =
        std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).string();
    const std::string tool = program.empty() ? Paths::resolve(SMHelperToolPath(label)) : program;
    if (ec || exe.compare(0, tool.size(), tool) != 0) return -1;
    return pid_t(pid);
}

bool SMBlessHelperAsRoot(const std::string& bundlePath, const std::string& label,
                         uid_t requesterUid, Error* error) {
    if (!isValidXpcServiceName(label))
        return fail(error, kSMErrorToolNotValid, "Not a valid helper name: " + label);
    const std::string source = bundlePath + "/Contents/Library/LaunchServices/" + label;
    struct stat info;
    if (lstat(source.c_str(), &info) != 0)
        return fail(error, kSMErrorToolNotValid, "No helper tool at " + source, errno);
    if (!S_ISREG(info.st_mode))
        return fail(error, kSMErrorToolNotValid, "The helper tool is not a file: " + source);
    if (geteuid() != 0)
        return fail(error, kSMErrorAuthorizationFailure, "Blessing needs root", EPERM);

    stopJob(label);

    const std::string tool = Paths::resolve(SMHelperToolPath(label));
    const std::string plist = Paths::resolve(SMJobPlistPath(label));
    const std::string pidFile = Paths::resolve(SMJobPidPath(label));
    if (!makeRootFolder(Paths::resolve("/Library/PrivilegedHelperTools"), error) ||
        !makeRootFolder(Paths::resolve("/Library/LaunchDaemons"), error) ||
        !makeRootFolder(Paths::resolve("/var/run"), error) ||
        !makeRootFolder(Paths::resolve("/var/log"), error))
        return false;
    if (!copyTool(source, tool, error)) return false;

    const std::vector<std::string> arguments{"--client-uid", std::to_string(requesterUid)};
    Array programArguments{Value(tool)};
    for (const auto& a : arguments) programArguments.emplace_back(a);
    Dictionary job{{"Label", Value(label)},
                   {"ProgramArguments", Value(programArguments)},
                   {"MachServices", Value(Dictionary{{label, Value(true)}})}};
    Error writeError;
    if (!PropertyList::toFile(Value(job), plist, PropertyListFormat::XML, true, &writeError))
        return fail(error, kSMErrorInternalFailure, "Cannot write " + plist, EIO);
    chmod(plist.c_str(), 0644);

    Error nameError;
    const std::string socket = xpcSocketPathForService(label, XpcServiceScope::System, &nameError);
    unlink(socket.c_str());  // a killed job's socket would look like the new one's
    const pid_t pid = startDetached(tool, arguments, Paths::resolve("/var/log/" + label + ".log"));
    if (pid < 0) return fail(error, kSMErrorServiceUnavailable, "Cannot start " + tool, errno);
    {
        std::ofstream out(pidFile, std::ios::trunc);
        out << pid << "\n" << tool << "\n";
    }

    const auto until = SteadyTime::now() + kSMJobStartTimeout;
    while (!socketListening(socket)) {
        if (!processAlive(pid) || SteadyTime::now() >= until) {
            kill(pid, SIGKILL);
            waitForExit(pid, std::chrono::seconds(1));
            unlink(pidFile.c_str());
            return fail(error, kSMErrorServiceUnavailable, "The helper did not start: " + label,
                        ETIMEDOUT);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool SMIsRootOnlyPath(const std::string& path) {
    if (path.empty() || path.front() != '/') return false;
    std::filesystem::path current(path);
    for (;;) {
        struct stat info;
        if (lstat(current.c_str(), &info) != 0) return false;
        const bool isFile = current == std::filesystem::path(path);
        if (S_ISLNK(info.st_mode)) {
            if (isFile) return false;  // the file itself must not be a link
        } else if (info.st_uid != 0) {
            return false;
        } else if (info.st_mode & (S_IWGRP | S_IWOTH)) {
            // A sticky folder such as /tmp lets nobody else rename or remove
            // what root owns in it.
            if (isFile || !S_ISDIR(info.st_mode) || !(info.st_mode & S_ISVTX)) return false;
        }
        if (!current.has_relative_path()) return true;
        current = current.parent_path();
    }
}

bool SMStartJobAsRoot(const std::string& jobPlistPath, Error* error) {
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
    if (geteuid() != 0) return fail(error, kSMErrorAuthorizationFailure, "Needs root", EPERM);
    if (SMRunningJobPid(label) > 0) return true;
    const std::string program = Paths::resolve(arguments[0]);
    if (!SMIsRootOnlyPath(program))
        return fail(error, kSMErrorToolNotValid, "Not safe to run as root: " + program);
    makeRootFolder(Paths::resolve("/var/run"), nullptr);
    makeRootFolder(Paths::resolve("/var/log"), nullptr);
    const pid_t pid = startDetached(program, {arguments.begin() + 1, arguments.end()},
                                    Paths::resolve("/var/log/" + label + ".log"));
    if (pid < 0) return fail(error, kSMErrorServiceUnavailable, "Cannot start " + program, errno);
    std::ofstream out(Paths::resolve(SMJobPidPath(label)), std::ios::trunc);
    out << pid << "\n" << program << "\n";
    return true;
}

bool SMRemoveJobAsRoot(const std::string& label, Error* error) {
    if (!isValidXpcServiceName(label))
        return fail(error, kSMErrorToolNotValid, "Not a valid helper name: " + label);
    if (geteuid() != 0)
        return fail(error, kSMErrorAuthorizationFailure, "Removing a job needs root", EPERM);
    stopJob(label);
    const std::string plist = Paths::resolve(SMJobPlistPath(label));
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
