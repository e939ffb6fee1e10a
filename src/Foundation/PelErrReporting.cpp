#include "Foundation/PelErrReporting.h"

#include <execinfo.h>

#include <cstdlib>
#include <new>

#include "Foundation/PelErrReportingData.h"
#include "Foundation/PelErrReportingTesting.h"  // the recorder is defined here
#include "Foundation/PelLogging.h"
#include "Platform/Values/Json.h"
#include "Platform/Values/PropertyList.h"
#include "VTErrorCreationLib/VTErrorReport.h"

// The error-report library is bound weakly: a program that does not link it
// still links this file, and then makes no reports.
extern "C" {
VTErrorReportRef VTErrorReportCreateNewReport(const char*, const void*, std::int32_t, std::int32_t,
                                              bool) __attribute__((weak));
VTErrorReportRef VTErrorReportCreateNewExceptionReport(const char*, const std::uintptr_t*,
                                                       std::size_t, std::int32_t, std::int32_t)
    __attribute__((weak));
void VTErrorReportSetReportData(VTErrorReportRef, const platform::Data*) __attribute__((weak));
void VTErrorReportFreeReport(VTErrorReportRef) __attribute__((weak));
}

const void* const kPelErrLocationCaller = reinterpret_cast<const void*>(~std::uintptr_t{0});

const char* const kPelErrDomainMacOSStatus = platform::kOSStatusErrorDomain.data();
const char* const kPelErrDomainPOSIX = platform::kPOSIXErrorDomain.data();
const char* const kPelErrDomainMach = platform::kMachErrorDomain.data();
const char* const kPelErrDomainCocoa = platform::kCocoaErrorDomain.data();

namespace {

constexpr const char* kDataKey = "PelErrReporting";
constexpr const char* kReportDataIdentifier = "ErrorReportingData";
constexpr const char* kNoReportMessage =
    "Could not generate an error report for a Pelgrave component";

// The library's entry points, taken once per process.
struct EntryPoints {
    decltype(&VTErrorReportCreateNewReport) create;
    decltype(&VTErrorReportCreateNewExceptionReport) createException;
    decltype(&VTErrorReportSetReportData) setData;
    decltype(&VTErrorReportFreeReport) free;

    static const EntryPoints& get() {
        static const EntryPoints points{&VTErrorReportCreateNewReport,
                                        &VTErrorReportCreateNewExceptionReport,
                                        &VTErrorReportSetReportData, &VTErrorReportFreeReport};
        return points;
    }
};

std::mutex& recorderMutex() {
    static std::mutex* m = new std::mutex;  // never destroyed: reports may end during exit
    return *m;
}
PelErrReportingRecorder* gRecorder = nullptr;  // guarded by recorderMutex()

bool recording() {
    std::lock_guard lock(recorderMutex());
    return gRecorder != nullptr;
}

// While a recorder is installed, every report is wrapped in one of these: it
// passes each operation on to the library's report (when there is one) and
// keeps what the recorder is shown when the report ends.
struct RecordingReport final : VTErrorReport {
    VTErrorReportRef inner = nullptr;
    PelErrReportingRecord record;
    platform::Dictionary ownUserData;

    platform::Dictionary& userData() override { return inner ? inner->userData() : ownUserData; }
    void setLogicalErrorCode(std::uint64_t code) override {
        record.logicalErrorCode = code;
        if (inner) inner->setLogicalErrorCode(code);
    }
    bool addParameterDataWithKey(const std::string& key, const std::string& value,
                                 platform::Error* error) override {
        record.parameters[key] = value;
        return inner ? inner->addParameterDataWithKey(key, value, error) : true;
    }
    bool addDetailData(const platform::Data& data, const std::string& identifier,
                       const std::optional<std::string>& description,
                       platform::Error* error) override {
        record.details[identifier] = data;
        return inner ? inner->addDetailData(data, identifier, description, error) : true;
    }
    bool setFailureCallstack(const std::vector<std::uintptr_t>& addresses) override {
        return inner ? inner->setFailureCallstack(addresses) : true;
    }
    bool save(platform::Error* error) override { return inner ? inner->save(error) : true; }
};

VTErrorReportRef wrapForRecorder(VTErrorReportRef report, PelErrorSeverity severity,
                                 std::int32_t failureCode, const char* component,
                                 const void* location) {
    if (!recording()) return report;
    auto* wrapper = new RecordingReport;
    wrapper->inner = report;
    wrapper->record.severity = severity;
    wrapper->record.failureCode = failureCode;
    wrapper->record.component = component ? component : "";
    wrapper->record.location = location;
    return wrapper;
}

void setReportData(VTErrorReportRef report, const platform::Data& data) {
    if (auto* wrapper = dynamic_cast<RecordingReport*>(report)) {
        wrapper->record.details[kReportDataIdentifier] = data;
        report = wrapper->inner;
    }
    if (report && EntryPoints::get().setData) EntryPoints::get().setData(report, &data);
}

// Gives the report back (to the recorder first, when it is wrapped for one).
void freeReport(VTErrorReportRef report) noexcept {
    if (auto* wrapper = dynamic_cast<RecordingReport*>(report)) {
        try {
            auto data = wrapper->userData().find(kDataKey);
            if (data != wrapper->userData().end() && data->second.isDictionary())
                wrapper->record.data = *data->second.asDictionary();
            std::lock_guard lock(recorderMutex());
            if (gRecorder) gRecorder->add(std::move(wrapper->record));
        } catch (...) {
        }
        report = wrapper->inner;
        delete wrapper;
    }
    if (report && EntryPoints::get().free) EntryPoints::get().free(report);
}

/// The report's data dictionary, made on first use.
platform::Dictionary& reportData(VTErrorReportRef report) {
    return report->userData()[kDataKey].mutableDictionary();
}

void addFailure(VTErrorReportRef report, platform::Dictionary failure) {
    platform::Array& failures = reportData(report)["failures"].mutableArray();
    if (failures.empty()) {
        // The first failure names the report.
        if (auto name = PelErrReportingFailureName(failure))
            report->addParameterDataWithKey("failure", *name, nullptr);
        if (auto code = PelErrReportingLogicalErrorCode(failure))
            report->setLogicalErrorCode(*code);
    }
    failures.push_back(std::move(failure));
}

// Stores the report data as JSON. Every value goes through the JSON-safe copy
// first, so one date or raw user-information entry cannot lose the rest.
void storeReportData(VTErrorReportRef report) {
    platform::Value data(PelErrReportingJSONSafeCopy(reportData(report)));
    platform::Error error;
    auto text = platform::json::serialize(data, platform::json::WriteStyle::Pretty, &error);
    if (!text) {
        PelLogging::logErrorMessageWithFormat("PelErrorReporting could not write error data (%@)",
                                              error.localizedDescription());
        return;
    }
    setReportData(report, platform::Data(text->begin(), text->end()));
}

void saveAndFree(VTErrorReportRef report) noexcept {
    try {
        storeReportData(report);
        platform::Error error;
        if (!report->save(&error))
            PelLogging::logErrorMessageWithFormat(
                "Could not generate an error report for a Pelgrave component (%@)",
                error.localizedDescription());
    } catch (...) {
        // Nothing reaches the caller; the report is given back all the same.
    }
    freeReport(report);
}

VTErrorReportRef createExceptionReport(const char* component,
                                       const std::vector<std::uintptr_t>& addresses,
                                       std::int32_t failureCode, PelErrorSeverity severity) {
    const auto create = EntryPoints::get().createException;
    VTErrorReportRef report =
        create ? create(component, addresses.data(), addresses.size(), failureCode, severity)
               : nullptr;
    return wrapForRecorder(report, severity, failureCode, component, nullptr);
}

}  // namespace

VTErrorReportRef PelErrReportingBeginFailureReport(PelErrorSeverity severity,
                                                   std::int32_t failureCode, const char* component,
                                                   const char*, const void* location) {
    if (location == kPelErrLocationCaller) location = __builtin_return_address(0);
    try {
        const auto create = EntryPoints::get().create;
        VTErrorReportRef report =
            create ? create(component, location, failureCode, severity, severity > 0) : nullptr;
        if (!report) PelLogging::logErrorMessage(kNoReportMessage);
        return wrapForRecorder(report, severity, failureCode, component, location);
    } catch (...) {
        return nullptr;
    }
}

void PelErrReportingEndFailureReport(VTErrorReportRef report) {
    if (report) saveAndFree(report);
}

void PelErrReportingSubmitFailureReport(PelErrorSeverity severity, std::int32_t failureCode,
                                        const char* component, const char*, const void*) {
    try {
        void* frames[128];
        const int count = backtrace(frames, 128);
        char** names = backtrace_symbols(frames, count);
        // Without this function's own frames: the stack starts at its caller.
        int skip = 0;
        void* const caller = __builtin_return_address(0);
        while (skip < count && frames[skip] != caller) ++skip;
        if (skip == count || !names) skip = 0;
        std::vector<std::uintptr_t> addresses;
        platform::Array addressValues, symbols;
        for (int i = skip; i < count; ++i) {
            addresses.push_back(reinterpret_cast<std::uintptr_t>(frames[i]));
            addressValues.emplace_back(static_cast<std::uint64_t>(addresses.back()));
            symbols.emplace_back(names ? names[i] : "");
        }
        std::free(names);
        VTErrorReportRef report =
            createExceptionReport(component, addresses, failureCode, severity);
        if (!report) return;
        addFailure(report, {{"BacktraceAddrs", std::move(addressValues)},
                            {"BacktraceSymbols", std::move(symbols)}});
        PelErrReportingEndFailureReport(report);
    } catch (...) {
    }
}

void PelErrReportingAddStringErrorData(VTErrorReportRef report, const char* key,
                                       const char* value) {
    if (!report || !key || !value) return;
    try {
        reportData(report)[key] = value;
    } catch (...) {
    }
}

void PelErrReportingAddIntErrorData(VTErrorReportRef report, const char* key, std::int64_t value) {
    if (!report || !key) return;
    try {
        reportData(report)[key] = value;
    } catch (...) {
    }
}

void PelErrReportingAddDataErrorData(VTErrorReportRef report, const char* identifier,
                                     const platform::Data* data) {
    if (!report || !identifier || !data) return;
    try {
        report->addDetailData(*data, identifier, std::nullopt, nullptr);
    } catch (...) {
    }
}

void PelErrReportingAddCFTypeErrorData(VTErrorReportRef report, const char* key,
                                       const platform::Value* value) {
    if (!report || !key || !value) return;
    try {
        if (const platform::Data* data = value->asData()) {
            PelErrReportingAddDataErrorData(report, key, data);
        } else if (platform::PropertyList::isValid(*value)) {
            reportData(report)[key] = *value;
        } else {
            reportData(report)[key] = value->description();
        }
    } catch (...) {
    }
}

void PelErrReportingAddCFErrorFailure(VTErrorReportRef report, const char* failure,
                                      const platform::Error* error) {
    if (!report || !error) return;
    try {
        // Errors of these domains carry a ready failure dictionary.
        if ((error->domain() == "com.pelgrave.c++" ||
             error->domain() == "com.pelgrave.nsexception") &&
            !error->userInfo().empty()) {
            addFailure(report, error->userInfo());
            return;
        }
        for (const platform::Error* e = error; e; e = e->underlyingError())
            addFailure(report, PelErrReportingErrorFailure(*e, failure));
    } catch (...) {
    }
}

void PelErrReportingAddIntFailure(VTErrorReportRef report, const char* failure, const char* domain,
                                  unsigned code) {
    if (!report || !failure || !domain) return;
    try {
        addFailure(report, {{"domain", domain}, {"code", code}, {"failure", failure}});
    } catch (...) {
    }
}

void PelErrReportingAddStringFailure(VTErrorReportRef report, const char* failure,
                                     const char* domain, const char* code) {
    if (!report || !failure || !domain) return;
    try {
        platform::Dictionary d{{"domain", domain}, {"failure", failure}};
        if (code) d.emplace("code", code);
        addFailure(report, std::move(d));
    } catch (...) {
    }
}

void PelErrReportingAddNSExceptionFailure(VTErrorReportRef report,
                                          const platform::Exception* exception) {
    if (!report || !exception) return;
    try {
        const auto& addresses = exception->callStackReturnAddresses();
        if (!addresses.empty()) report->setFailureCallstack(addresses);
        addFailure(report, PelErrReportingExceptionFailure(*exception));
    } catch (...) {
    }
}

void PelErrReportingReportNSException(PelErrorSeverity severity, std::int32_t failureCode,
                                      const char* component, const char*, const void*,
                                      const platform::Exception* exception) {
    if (!exception) return;
    try {
        VTErrorReportRef report = createExceptionReport(
            component, exception->callStackReturnAddresses(), failureCode, severity);
        if (!report) {
            PelLogging::logErrorMessage(kNoReportMessage);
            return;
        }
        try {
            addFailure(report, PelErrReportingExceptionFailure(*exception));
        } catch (...) {
        }
        saveAndFree(report);
    } catch (...) {
    }
}

void PelErrReportingAddCxxExceptionFailure(VTErrorReportRef report,
                                           const std::exception& exception) {
    if (!report) return;
    try {
        addFailure(report, PelErrReportingCxxExceptionFailure(exception));
    } catch (...) {
    }
}

void PelErrReportingReportCxxException(PelErrorSeverity severity, std::int32_t failureCode,
                                       const char* component, const char* note,
                                       const void* location,
                                       const std::exception& exception) noexcept {
    try {
        // The place that caught the exception, not this function.
        if (location == kPelErrLocationCaller) location = __builtin_return_address(0);
        VTErrorReportRef report =
            PelErrReportingBeginFailureReport(severity, failureCode, component, note, location);
        PelErrReportingAddCxxExceptionFailure(report, exception);
        PelErrReportingEndFailureReport(report);
    } catch (...) {
    }
}

PelErrReportingRecorder::PelErrReportingRecorder() {
    std::lock_guard lock(recorderMutex());
    previous_ = gRecorder;
    gRecorder = this;
}

PelErrReportingRecorder::~PelErrReportingRecorder() {
    std::lock_guard lock(recorderMutex());
    if (gRecorder == this) gRecorder = previous_;
}

std::vector<PelErrReportingRecord> PelErrReportingRecorder::records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

void PelErrReportingRecorder::clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
}

void PelErrReportingRecorder::add(PelErrReportingRecord record) {
    std::lock_guard lock(mutex_);
    records_.push_back(std::move(record));
}
