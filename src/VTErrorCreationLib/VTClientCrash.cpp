// The reporting client's entry for crash report files.
#include "VTErrorCreationLib/VTClient.h"
#include "VTErrorCreationLib/VTCrashError.h"

std::shared_ptr<VTCrashError> VTClient::createErrorFromCrashDumpURL(const std::string& url,
                                                                    platform::Error* error) {
    auto crash = VTCrashError::errorFromCrashDataAtURL(url, shared_from_this(), error);
    if (!crash) return nullptr;
    if (!mayCreateErrors() || !shouldCreateError()) {
        // The report copy in the refused error's folder must not outlive it.
        crash->remove(nullptr);
        return nullptr;
    }
    addClientInformationToErrorSummary(crash->summaryData());
    return crash;
}
