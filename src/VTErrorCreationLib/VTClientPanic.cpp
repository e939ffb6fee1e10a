// The reporting client's entry for kernel panic reports.
#include "VTErrorCreationLib/VTClient.h"
#include "VTErrorCreationLib/VTPanicError.h"

std::shared_ptr<VTPanicError> VTClient::createErrorFromPanicReportURL(const std::string& url,
                                                                      platform::Error* error) {
    if (!mayCreateErrors() || !shouldCreateError()) return nullptr;
    return VTPanicError::errorFromPanicReportURL(url, shared_from_this(), error);
}
