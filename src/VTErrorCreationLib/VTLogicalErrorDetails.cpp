// The facts of the failing process and thread, and the launch-state text.
#include <limits.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "Platform/System/Bundle.h"
#include "VTErrorCreationLib/Utilities/VTBundleUtilities.h"
#include "VTErrorCreationLib/VTErrorData.h"
#include "VTErrorCreationLib/VTLogicalError.h"

extern char** environ;

namespace {

// Paths are read into buffers of this size, as the process's own paths.
constexpr std::size_t kPathLimit = 1024;

std::string linkTarget(const std::string& link) {
    char buffer[kPathLimit];
    const ssize_t length = readlink(link.c_str(), buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

std::string workingDirectory() {
    char buffer[kPathLimit];
    return getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

// The process's arguments, as the kernel keeps them.
std::vector<std::string> processArguments() {
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<std::string> arguments;
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t end = all.find('\0', start);
        if (end == std::string::npos) end = all.size();
        arguments.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return arguments;
}

}  // namespace

std::optional<platform::Date> VTLogicalError::modificationDateOfFile(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return std::nullopt;
    return platform::Date{static_cast<double>(st.st_mtim.tv_sec) +
                          static_cast<double>(st.st_mtim.tv_nsec) / 1e9};
}

std::string VTLogicalError::processLaunchText() {
    const std::string end = "--------------------- End -------------------\n\n";
    std::string text = "------------- Process arguments -------------\n";
    for (const std::string& argument : redactedArguments(processArguments()))
        text += "\"" + argument + "\"\n";
    text += end;

    text += "----------- Process environment -------------\n";
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string pair = *entry;
        const auto equals = pair.find('=');
        if (equals == std::string::npos) continue;
        const std::string name = pair.substr(0, equals);
        text += name + "=\"" + redactedEnvironmentValue(name, pair.substr(equals + 1)) + "\"\n";
    }
    text += end;

    text += "-------- Process runtime environment --------\n\n";
    text += "GID  = " + std::to_string(getgid()) + "\n";
    text += "UID  = " + std::to_string(getuid()) + "\n";
    text += "EUID = " + std::to_string(geteuid()) + "\n";
    const pid_t parent = getppid();
    text += "PPID = " + std::to_string(parent) + " (" +
            linkTarget("/proc/" + std::to_string(parent) + "/exe") + ")\n";
    text += "CWD  = " + workingDirectory() + "\n";
    text += end;
    return text;
}

void VTLogicalError::addDetails() {
    VTErrorProperties& summary = summaryData();
    summary.setProcessID(static_cast<std::int32_t>(getpid()));
    summary.setProcessUID(static_cast<std::uint32_t>(getuid()));

    const std::string executable = linkTarget("/proc/self/exe");
    if (!executable.empty()) {
        const std::string path = std::filesystem::path(executable).lexically_normal().string();
        const auto slash = path.rfind('/');
        summary.setProcessName(slash == std::string::npos ? path : path.substr(slash + 1));
        summary.setProcessImagePath(path);
        if (auto date = modificationDateOfFile(path)) summary.setProcessTimestamp(*date);
        summary.setProcessVersion(VTBundleUtilities::executableVersionForURL(path));
    }
    if (!summary.processVersion())
        summary.setProcessVersion(
            VTBundleUtilities::bundleVersion(platform::Bundle::mainBundle()->infoDictionary()));

    summary.setThreadNumber(static_cast<std::int32_t>(syscall(SYS_gettid)));
    char name[128] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) == 0) summary.setThreadName(name);

    timespec boot{};
    if (clock_gettime(CLOCK_BOOTTIME, &boot) == 0)
        summary.setSystemUptime(static_cast<double>(boot.tv_sec) +
                                static_cast<double>(boot.tv_nsec) / 1e9);
    summary.setProcessUID(static_cast<std::uint32_t>(getuid()));

    const std::string text = processLaunchText();
    platform::Dictionary info{
        {std::string(VTErrorDataInfoMIMETypeKey), "text/plain"},
        {std::string(VTErrorDataInfoDescriptionKey), "Information about the process launch state"}};
    // Even redacted, a process's environment and arguments are for its
    // owner's eyes (and root's): the folders are shared by every user of the
    // machine, and no rule knows every spelling of a credential. Submission
    // does not need the detail: a submission by another user sends the
    // report without it (an unreadable detail is left out, and logged), one
    // by the owner or by root sends it.
    addDetailDataWithMode(platform::Data(text.begin(), text.end()),
                          std::string(VTErrorStreamProcessLaunch), info, 0600, nullptr);
}
