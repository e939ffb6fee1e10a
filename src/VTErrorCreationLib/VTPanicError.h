// A kernel panic as an error report (failure type 6, severity 2): made from
// a parsed panic report, bucketed by the first of our kernel extensions on
// the backtrace, else by the trap type, else by the normalised panic text.
// The report itself is attached as "ApplePanicReport" and the panic text as
// the parameter "VTPanicReason".
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "Platform/Values/Error.h"
#include "VTErrorCreationLib/VTApplePanicReportParser.h"
#include "VTErrorCreationLib/VTErrorInstance.h"

class VTClient;

inline constexpr std::string_view VTPanicReasonParameterKey = "VTPanicReason";

class VTPanicError : public VTErrorInstance {
  public:
    /// The report at `url` read, parsed and attached; null with the failing
    /// step's error (none when the report yields no error record).
    static std::shared_ptr<VTPanicError> errorFromPanicReportURL(
        const std::string& url, const std::shared_ptr<VTClient>& client, platform::Error* error);
    /// The error of a parsed report; null when it cannot be bucketed.
    static std::shared_ptr<VTPanicError> initWithParsedPanic(
        const VTApplePanicReportParser& parser, const std::shared_ptr<VTClient>& client);

    /// Makes saved panic errors openable by the reporting client.
    static void registerErrorKindLoader();

    explicit VTPanicError(std::shared_ptr<VTErrorClient> client);
    /// A saved panic error (final when `openMode` is 0).
    VTPanicError(VTErrorProperties properties, VTErrorData data, std::string folder,
                 std::shared_ptr<VTErrorClient> client, std::uint64_t openMode);
};
