// A logical error: a failure the program detects and reports itself (a failed
// operation, an exception it caught), as opposed to a crash.
//
// It is made in one go: a new failure UUID and time, the component and
// failure code, a live crash report when asked for and crash dumps are on,
// the facts of the failing process and thread with a text about the
// process's launch state ("ProcessLaunch"), and the bucket that groups like
// failures: the first image in the call stack that is not part of the system
// names the module, and the bucket id is the crc32 of the module's name, the
// failure's offset in it and the failure code.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Values/Error.h"
#include "VTErrorCreationLib/VTErrorInstance.h"
#include "VTErrorCreationLib/VTImageInformation.h"

class VTClient;

class VTLogicalError : public VTErrorInstance {
  public:
    /// A new logical error in `component` at `address`, or located by
    /// `backtrace` (return addresses, innermost first). Null and
    /// VTErrorDomain 5004 when the client's configuration disables logical
    /// errors, 5010 when `component` is null.
    static std::shared_ptr<VTLogicalError> errorInComponent(const char* component,
                                                            const void* address,
                                                            std::int32_t failureIdentifierCode,
                                                            std::int32_t severity,
                                                            const std::shared_ptr<VTClient>& client,
                                                            bool addDump, platform::Error* error);
    static std::shared_ptr<VTLogicalError> errorInComponent(
        const char* component, const std::vector<std::uintptr_t>& backtrace,
        std::int32_t failureIdentifierCode, std::int32_t severity,
        const std::shared_ptr<VTClient>& client, bool addDump, platform::Error* error);

    /// Makes the error (see the file comment); an empty component is stored
    /// as no component.
    VTLogicalError(const std::string& component, std::uint64_t address,
                   std::int32_t failureIdentifierCode, std::int32_t severity,
                   std::shared_ptr<VTClient> client, bool addDump);
    VTLogicalError(const std::string& component, const std::vector<std::uint64_t>& backtrace,
                   std::int32_t failureIdentifierCode, std::int32_t severity,
                   std::shared_ptr<VTClient> client, bool addDump);
    /// A saved logical error (final when `openMode` is 0).
    VTLogicalError(VTErrorProperties properties, VTErrorData data, std::string folder,
                   std::shared_ptr<VTErrorClient> client, std::uint64_t openMode);

    /// Attaches a live crash report as "ProcessBacktrace" unless there is one:
    /// with the error's client (else the current client) when its
    /// configuration enables crash dumps; otherwise logs "Cannot add a dump to
    /// logical errors when crash logging is disabled".
    void addDump();
    /// Fills the process and thread fields and attaches "ProcessLaunch".
    void addDetails();

    /// The first address of `callstack` held by an image that is not part of
    /// the system, with its image. False when there is none.
    static bool findPelgraveModule(VTImageInformation* image, std::uint64_t* address,
                                   const std::vector<std::uint64_t>& callstack);
    /// Fills the module fields (and their copies as the maker's module) for
    /// `address` in `image`. False when the image has no file.
    bool summaryDataForImageInformation(const VTImageInformation& image, std::uint64_t address);
    /// Computes the stack hash and the bucket id from `callstack`; false (the
    /// bucket left as it was) when no module of ours is in it, or the bucket
    /// id comes out 0. `failureID` is not used: the summary's logical failure
    /// id is.
    bool bucketFailure(std::uint64_t failureID, const std::vector<std::uint64_t>& callstack);
    bool bucketFailure(std::uint64_t failureID, std::uint64_t address);

    /// The launch-state text: the process's arguments, its environment and
    /// its runtime identity, each between its header and "End" line.
    /// Credentials are replaced by "<redacted>" (redactedArguments,
    /// redactedEnvironmentValue).
    static std::string processLaunchText();

    /// Whether a variable, option or query parameter named `name` holds a
    /// credential: a word of the name (split at "_", "-", "." and case
    /// changes) holds TOKEN, SECRET, PASSWORD, PASSWD, PASSPHRASE, KEY,
    /// CREDENTIAL, COOKIE, AUTHORIZ or AUTHENTIC, begins or ends with PASS
    /// or PWD, or is PAT, AUTH, OAUTH, AUTHN, AUTHZ, SESSION or SESSIONID (in
    /// any case). The shell's and the desktop's own PWD, OLDPWD,
    /// DESKTOP_SESSION and XDG_SESSION_ID/TYPE/CLASS/DESKTOP are not.
    static bool namesCredential(std::string_view name);
    /// `text` with every credential it shows as "<redacted>": the user
    /// information of URLs ("scheme://user:password@", "user:password@host"),
    /// the values of query parameters, of "NAME=VALUE" and "-NAME=VALUE"
    /// words and of two-word options ("--password VALUE") whose names say
    /// credential, the password of "-u user:password" ("--user",
    /// "--proxy-user", "-U"), a "Bearer" token, and the rest of the line after
    /// "Authorization:".
    static std::string redactedCredentials(std::string_view text);
    /// "<redacted>" for a variable whose name says credential; otherwise the
    /// value as redactedCredentials() gives it.
    static std::string redactedEnvironmentValue(std::string_view name, std::string_view value);
    /// The arguments as redactedCredentials() gives each, where an option
    /// whose name says credential also hides the whole argument after it.
    static std::vector<std::string> redactedArguments(const std::vector<std::string>& arguments);
    /// One argument on its own (as the first of redactedArguments()).
    static std::string redactedArgument(std::string_view argument);

    // VTError.
    bool implements(OptionalMethod method) const override {
        return method == OptionalMethod::SetFailureCallstack;
    }
    /// Adds a dump and buckets the error on `callstack`; false for a final
    /// error, which is left unchanged.
    bool setFailureCallstack(const std::vector<std::uint64_t>& callstack) override;

  private:
    static std::optional<platform::Date> modificationDateOfFile(const std::string& path);

    VTLogicalError(const std::string& component, std::optional<std::uint64_t> address,
                   std::int32_t failureIdentifierCode, std::int32_t severity,
                   std::shared_ptr<VTClient> client, bool addDump);
};
