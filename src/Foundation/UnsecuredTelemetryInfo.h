// The machine identifier: one 36-character text ("8-4-4-4-12" hexadecimal
// groups) per machine, carried by statistics pings and error reports.
//
// It lives in the file "Data2.chk" (exactly the 36 characters) in
// "/Library/Application Support/Pelgrave/Daemon", or, for processes that may
// not write there, in "/var/tmp"; both paths go through the platform path
// root. An identifier found only in "/var/tmp" moves to the primary folder as
// soon as a process can write there. The file is readable by every user, so
// that all processes of the machine share one identifier.
#pragma once

#include <string>

class UnsecuredTelemetryInfo {
  public:
    /// The machine identifier, from the process-wide cache once it is known.
    ///
    /// With `idFilePath` null the default files are read and, when neither
    /// holds an identifier, a new one is made and stored. With a path, only
    /// that file is read. Returns a text owned by the process (valid until
    /// exit, never changed by the caller); it is empty when no identifier
    /// could be read or made. Failures are filed as failure reports with the
    /// code "UTif". Thread-safe: one mutex guards the cache and the files.
    static const char* GetUnsecuredEndpointID(const char* idFilePath);

    /// The group given to the primary folder, so that administrators share
    /// the identifier (on the Mac, the admin group). On Debian the
    /// administrators are the members of "sudo", the default. A name that
    /// does not exist leaves the group alone. Thread-safe.
    static void SetAdminGroupName(std::string name);
    static std::string AdminGroupName();

    /// Forgets the cached identifier and the fallback choice (tests).
    static void ResetForTesting();
};
