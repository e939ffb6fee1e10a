#include "Foundation/UnsecuredTelemetryInfo.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "Foundation/PelErrReporting.h"
#include "Foundation/PelLogging.h"
#include "Platform/System/Paths.h"

namespace {

constexpr char kPelgraveFolder[] = "/Library/Application Support/Pelgrave";
constexpr char kPrimaryFolder[] = "/Library/Application Support/Pelgrave/Daemon";
constexpr char kPrimaryFile[] = "/Library/Application Support/Pelgrave/Daemon/Data2.chk";
constexpr char kFallbackFolder[] = "/var/tmp";
constexpr char kFallbackFile[] = "/var/tmp/Data2.chk";
constexpr char kRandomDevice[] = "/dev/random";

constexpr std::int32_t kFailureCode = 0x55546966;  // "UTif"
constexpr std::size_t kIdentifierLength = 36;
constexpr mode_t kFolderMode = 0771;
// Every user's processes read the identifier, so the file must be readable by
// all; only its owner and the administrators' group may change it.
constexpr mode_t kFileMode = 0664;

struct State {
    std::mutex mutex;
    char buffer[40] = {};
    bool useFallback = false;
    std::string groupName = "sudo";
};

State& state() {
    static State* s = new State;  // never destroyed: callers may run during exit
    return *s;
}

// Reports are filed after the mutex is released: the report library puts the
// identifier into its own records and may well ask for it.
using PendingReports = std::vector<std::function<void()>>;

void reportData(PendingReports& pending, PelErrorSeverity severity, std::string key,
                std::string text) {
    pending.push_back([=] {
        VTErrorReportRef r = PelErrReportingBeginFailureReport(severity, kFailureCode, "", "",
                                                               kPelErrLocationCaller);
        PelErrReportingAddStringErrorData(r, key.c_str(), text.c_str());
        PelErrReportingEndFailureReport(r);
    });
}

bool isWellFormed(const char* text) {
    for (std::size_t i = 0; i < kIdentifierLength; ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (dash ? c != '-' : !std::isxdigit(c)) return false;
    }
    return true;
}

bool holdsIdentifier(const char* buffer) {
    return strnlen(buffer, kIdentifierLength + 1) == kIdentifierLength;
}

// Opens without following a symbolic link and without blocking on a FIFO: the
// fallback file lies in a folder where anyone may plant either.
int openRegularFile(const std::string& path, int flags, int& error) {
    int fd = open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kFileMode);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    struct stat st {};
    // An identifier file has one name: a second one is a hard link someone
    // put in the shared fallback folder to another file.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        close(fd);
        error = EINVAL;
        return -1;
    }
    return fd;
}

/// Reads the identifier file into `buffer`; 0 or an error number.
int readIdentifierFile(const std::string& path, char* buffer, PendingReports& pending) {
    int error = 0;
    int fd = openRegularFile(path, O_RDONLY, error);
    if (fd < 0) return error;
    char text[kIdentifierLength + 1] = {};
    std::size_t total = 0;
    while (total < kIdentifierLength) {
        ssize_t n = read(fd, text + total, kIdentifierLength - total);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        total += static_cast<std::size_t>(n);
    }
    close(fd);
    if (total < kIdentifierLength) {
        pending.push_back([total] {
            VTErrorReportRef r =
                PelErrReportingBeginFailureReport(0, kFailureCode, "", "", kPelErrLocationCaller);
            PelErrReportingAddIntErrorData(r, "bytesRead", static_cast<std::int64_t>(total));
            PelErrReportingEndFailureReport(r);
        });
        buffer[0] = '\0';
        return EINVAL;
    }
    std::memcpy(buffer, text, sizeof text);
    if (!isWellFormed(text)) reportData(pending, 0, "Bad endpointID", text);
    return 0;
}

bool makeUUIDIdentifier(char* buffer) {
    unsigned char b[16];
    if (getrandom(b, sizeof b, 0) != static_cast<ssize_t>(sizeof b)) return false;
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    std::snprintf(buffer, 40,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return true;
}

void makeRandomDeviceIdentifier(char* buffer, PendingReports& pending) {
    unsigned char bytes[kIdentifierLength];
    int fd = open(kRandomDevice, O_RDONLY | O_CLOEXEC);
    std::size_t total = 0;
    if (fd >= 0) {
        while (total < sizeof bytes) {
            ssize_t n = read(fd, bytes + total, sizeof bytes - total);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            total += static_cast<std::size_t>(n);
        }
        close(fd);
    }
    if (total < sizeof bytes) {
        buffer[0] = '\0';
        pending.push_back([] {
            VTErrorReportRef r =
                PelErrReportingBeginFailureReport(1, kFailureCode, "", "", kPelErrLocationCaller);
            PelErrReportingEndFailureReport(r);
        });
        return;
    }
    static const char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < kIdentifierLength; ++i)
        buffer[i] = (i == 8 || i == 13 || i == 18 || i == 23) ? '-' : kHex[bytes[i] & 0x0F];
    buffer[kIdentifierLength] = '\0';
}

void giveAdminGroup(const std::string& folder, const std::string& groupName) {
    char buf[4096];
    group gr{};
    group* found = nullptr;
    if (getgrnam_r(groupName.c_str(), &gr, buf, sizeof buf, &found) != 0 || !found) return;
    // Not being allowed to change the group must not cost the identifier.
    if (getegid() != found->gr_gid &&
        chown(folder.c_str(), static_cast<uid_t>(-1), found->gr_gid)) {
    }
}

/// Creates `path` with exactly `mode` (whatever the umask); an existing
/// folder is no error.
int makeFolder(const std::string& path, mode_t mode) {
    if (mkdir(path.c_str(), mode) == 0) return chmod(path.c_str(), mode) == 0 ? 0 : errno;
    return errno == EEXIST ? 0 : errno;
}

/// Creates the missing folders above `path` (mode 0755), so that the
/// identifier's folders can be made on systems without them.
int makeAncestors(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return 0;
    std::string parent = path.substr(0, slash);
    struct stat st {};
    if (stat(parent.c_str(), &st) == 0) return 0;
    if (errno != ENOENT) return errno;
    if (int e = makeAncestors(parent)) return e;
    return makeFolder(parent, 0755);
}

/// Makes sure the folder of the identifier file exists, switching to the
/// fallback folder when the primary one may not be made. 0 or an error.
int ensureFolder(State& s) {
    for (;;) {
        std::string folder =
            platform::Paths::resolve(s.useFallback ? kFallbackFolder : kPrimaryFolder);
        struct stat st {};
        int error = 0;
        if (stat(folder.c_str(), &st) == 0) {
            error = S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
        } else if (errno != ENOENT) {
            error = errno;
        } else if (s.useFallback) {
            error = makeFolder(folder, kFolderMode);
        } else {
            std::string pelgrave = platform::Paths::resolve(kPelgraveFolder);
            error = makeAncestors(pelgrave);
            if (!error) error = makeFolder(pelgrave, kFolderMode);
            if (!error) error = makeFolder(folder, kFolderMode);
            if (!error) giveAdminGroup(folder, s.groupName);
        }
        if (error == EACCES && !s.useFallback) {
            s.useFallback = true;
            continue;
        }
        return error;
    }
}

int openForWriting(const std::string& path, int& error) {
    int fd = openRegularFile(path, O_RDWR | O_CREAT, error);
    struct stat st {};
    // The umask may have taken the others' read permission away.
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_uid == geteuid() &&
        (st.st_mode & 07777) != kFileMode && fchmod(fd, kFileMode) != 0) {
    }
    return fd;
}

/// Stores the identifier of the buffer, moving one found in the fallback
/// file to the primary location.
void store(State& s, PendingReports& pending) {
    if (ensureFolder(s) != 0) return;
    std::string fallback = platform::Paths::resolve(kFallbackFile);
    if (!s.useFallback) {
        char made[sizeof s.buffer];
        std::memcpy(made, s.buffer, sizeof made);
        if (readIdentifierFile(fallback, s.buffer, pending) != 0)
            std::memcpy(s.buffer, made, sizeof made);
        unlink(fallback.c_str());
    }
    int error = 0;
    int fd = s.useFallback ? -1 : openForWriting(platform::Paths::resolve(kPrimaryFile), error);
    if (fd < 0 && (s.useFallback || error == EACCES)) {
        s.useFallback = true;
        fd = openForWriting(fallback, error);
    }
    if (fd < 0) return;
    ssize_t written = pwrite(fd, s.buffer, kIdentifierLength, 0);
    if (written != static_cast<ssize_t>(kIdentifierLength)) {
        int e = written < 0 ? errno : ENOSPC;
        pending.push_back([e] {
            PelLogging::logErrorMessageWithFormat(
                "Could not create unsecured telemetry folder failed (%d)", e);
            VTErrorReportRef r =
                PelErrReportingBeginFailureReport(2, kFailureCode, "", "", kPelErrLocationCaller);
            PelErrReportingAddIntFailure(r, "Could not create unsecured telemetry folder",
                                         kPelErrDomainPOSIX, static_cast<unsigned>(e));
            PelErrReportingEndFailureReport(r);
        });
    } else if (ftruncate(fd, static_cast<off_t>(kIdentifierLength)) != 0) {
        // A longer old file keeps its tail; readers take the first 36 bytes.
    }
    close(fd);
    if (!s.useFallback) giveAdminGroup(platform::Paths::resolve(kPrimaryFolder), s.groupName);
}

const char* endpointID(State& s, const char* idFilePath, PendingReports& pending) {
    if (holdsIdentifier(s.buffer)) return s.buffer;
    std::string path = idFilePath
                           ? std::string(idFilePath)
                           : platform::Paths::resolve(s.useFallback ? kFallbackFile : kPrimaryFile);
    bool found = readIdentifierFile(path, s.buffer, pending) == 0;
    bool fromFallback = false;
    if (!found && !idFilePath && !s.useFallback) {
        found = readIdentifierFile(platform::Paths::resolve(kFallbackFile), s.buffer, pending) == 0;
        fromFallback = found;
    }
    if (idFilePath) return s.buffer;
    if (!found) {
        if (!makeUUIDIdentifier(s.buffer)) makeRandomDeviceIdentifier(s.buffer, pending);
        if (s.buffer[0] != '\0') store(s, pending);
    } else if (fromFallback) {
        store(s, pending);
    }
    return s.buffer;
}

}  // namespace

const char* UnsecuredTelemetryInfo::GetUnsecuredEndpointID(const char* idFilePath) {
    State& s = state();
    PendingReports pending;
    const char* result;
    {
        std::lock_guard lock(s.mutex);
        try {
            result = endpointID(s, idFilePath, pending);
        } catch (...) {
            // Memory ran out while building a path or a report; keep what the
            // buffer holds.
            result = s.buffer;
        }
    }
    for (auto& report : pending) {
        try {
            report();
        } catch (...) {
        }
    }
    return result;
}

void UnsecuredTelemetryInfo::SetAdminGroupName(std::string name) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.groupName = std::move(name);
}

std::string UnsecuredTelemetryInfo::AdminGroupName() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.groupName;
}

void UnsecuredTelemetryInfo::ResetForTesting() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.buffer[0] = '\0';
    s.useFallback = false;
}
