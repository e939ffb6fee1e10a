#include "VTErrorCreationLib/VTErrorReport.h"

#include <syslog.h>

#include "VTErrorCreationLib/Utilities/VTLog.h"
#include "VTErrorCreationLib/VTClient.h"
#include "VTErrorCreationLib/VTErrorData.h"
#include "VTErrorCreationLib/VTLogicalError.h"

namespace {

// The handle of the report functions: a logical error kept alive until the
// caller frees it.
struct LogicalErrorReport final : VTErrorReport {
    explicit LogicalErrorReport(std::shared_ptr<VTLogicalError> e) : error(std::move(e)) {}

    platform::Dictionary& userData() override { return error->data().mutableUserData(); }
    void setLogicalErrorCode(std::uint64_t code) override {
        error->summaryData().setLogicalErrorCode(code);
    }
    bool addParameterDataWithKey(const std::string& key, const std::string& value,
                                 platform::Error* out) override {
        return error->addParameterDataWithKey(key, value, out);
    }
    bool addDetailData(const platform::Data& data, const std::string& identifier,
                       const std::optional<std::string>& description,
                       platform::Error* out) override {
        return error->addDetailData(data, identifier, description, out);
    }
    bool setFailureCallstack(const std::vector<std::uintptr_t>& addresses) override {
        return error->setFailureCallstack(
            std::vector<std::uint64_t>(addresses.begin(), addresses.end()));
    }
    bool save(platform::Error* out) override { return error->save(out); }

    std::shared_ptr<VTLogicalError> error;
};

VTErrorReportRef handleFor(std::shared_ptr<VTLogicalError> error, const platform::Error& failure) {
    if (!error) {
        const std::string description =
            failure.empty() ? std::string("(null)") : failure.localizedDescription();
        VTLog(LOG_ERR, "Error creating an error (%s)", description.c_str());
        return nullptr;
    }
    return new LogicalErrorReport(std::move(error));
}

std::shared_ptr<VTClient> currentClientOrLog() {
    auto client = VTClient::currentClient();
    if (!client) VTLog(LOG_ERR, "Cannot use PelErrorReporting without a client");
    return client;
}

}  // namespace

VTErrorReportRef VTErrorReportCreateNewReport(const char* component, const void* address,
                                              std::int32_t failureCode, std::int32_t severity,
                                              bool addDump) {
    try {
        auto client = currentClientOrLog();
        if (!client) return nullptr;
        platform::Error error;
        return handleFor(client->createLogicalErrorInComponent(component, address, failureCode,
                                                               severity, addDump, &error),
                         error);
    } catch (...) {
        return nullptr;
    }
}

VTErrorReportRef VTErrorReportCreateNewExceptionReport(const char* component,
                                                       const std::uintptr_t* backtrace,
                                                       std::size_t count, std::int32_t failureCode,
                                                       std::int32_t severity) {
    try {
        auto client = currentClientOrLog();
        if (!client) return nullptr;
        std::vector<std::uintptr_t> addresses;
        if (backtrace) addresses.assign(backtrace, backtrace + count);
        platform::Error error;
        return handleFor(client->createLogicalErrorInComponent(component, addresses, failureCode,
                                                               severity, true, &error),
                         error);
    } catch (...) {
        return nullptr;
    }
}

void VTErrorReportSetReportData(VTErrorReportRef report, const platform::Data* data) {
    if (!report || !data) return;
    try {
        platform::Error error;
        if (!report->addDetailData(*data, std::string(VTErrorStreamErrorReportingData),
                                   std::nullopt, &error))
            VTLog(LOG_ERR, "Error report could not add data (%s)",
                  error.localizedDescription().c_str());
    } catch (...) {
    }
}

void VTErrorReportFreeReport(VTErrorReportRef report) { delete report; }
