#include "Foundation/PelErrReporting.h"

#include <execinfo.h>

#include <cstdio>
#include <new>
#include <typeinfo>

#include "Foundation/PelLogging.h"
#include "Platform/Json.h"
#include "Platform/PropertyList.h"

struct VTErrorReport {
    PelErrReportingRecord record;
};

const void* const kPelErrLocationCaller = reinterpret_cast<const void*>(~std::uintptr_t{0});

const char* const kPelErrDomainMacOSStatus = platform::kOSStatusErrorDomain.data();
const char* const kPelErrDomainPOSIX = platform::kPOSIXErrorDomain.data();
const char* const kPelErrDomainMach = platform::kMachErrorDomain.data();
const char* const kPelErrDomainCocoa = platform::kCocoaErrorDomain.data();

namespace {

std::mutex& recorderMutex() {
    static std::mutex* m = new std::mutex;  // never destroyed: reports may end during exit
    return *m;
}
PelErrReportingRecorder* gRecorder = nullptr;  // guarded by recorderMutex()

std::string fourCharacterCode(std::int32_t code) {
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8) {
        char c = static_cast<char>((static_cast<std::uint32_t>(code) >> shift) & 0xFF);
        out += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return out;
}

void finish(VTErrorReport* report) {
    PelErrReportingRecord& r = report->record;
    platform::Value data(r.data);
    std::optional<std::string> text =
        platform::json::serialize(data, platform::json::WriteStyle::Compact, nullptr);
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<std::uint32_t>(r.failureCode));
    PelLogging::logErrorMessageWithFormat("Failure report of %s, code '%s' (%s), severity %d: %s",
                                          r.component, fourCharacterCode(r.failureCode), code,
                                          r.severity, text ? *text : data.description());
    std::lock_guard lock(recorderMutex());
    if (gRecorder) gRecorder->add(std::move(r));
}

VTErrorReport* makeReport(PelErrorSeverity severity, std::int32_t failureCode,
                          const char* component, const void* location) {
    auto* report = new (std::nothrow) VTErrorReport;
    if (!report) {
        PelLogging::logErrorMessage("Could not generate an error report for a Pelgrave component");
        return nullptr;
    }
    report->record.severity = severity;
    report->record.failureCode = failureCode;
    report->record.component = component ? component : "";
    report->record.location = location;
    return report;
}

void addFailure(VTErrorReportRef report, platform::Dictionary failure) {
    report->record.data["failures"].mutableArray().push_back(std::move(failure));
}

platform::Dictionary errorFailure(const platform::Error& error, const char* failure) {
    return {{"domain", error.domain()},
            {"code", static_cast<std::int64_t>(error.code())},
            {"userInfo", error.userInfo()},
            {"failure", failure}};
}

/// The calling thread's return addresses and their symbols, without the
/// frames of this file.
void callStack(platform::Array& addresses, platform::Array& symbols) {
    void* frames[128];
    int n = backtrace(frames, 128);
    char** names = backtrace_symbols(frames, n);
    int skip = n > 2 ? 2 : 0;
    for (int i = skip; i < n; ++i) {
        addresses.emplace_back(
            static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(frames[i])));
        symbols.emplace_back(names ? names[i] : "");
    }
    std::free(names);
}

}  // namespace

VTErrorReportRef PelErrReportingBeginFailureReport(PelErrorSeverity severity,
                                                   std::int32_t failureCode, const char* component,
                                                   const char*, const void* location) {
    if (location == kPelErrLocationCaller) location = __builtin_return_address(0);
    return makeReport(severity, failureCode, component, location);
}

void PelErrReportingEndFailureReport(VTErrorReportRef report) {
    if (!report) return;
    try {
        finish(report);
    } catch (...) {
        // Logging must not fail the caller.
    }
    delete report;
}

void PelErrReportingSubmitFailureReport(PelErrorSeverity severity, std::int32_t failureCode,
                                        const char* component, const char*, const void*) {
    try {
        VTErrorReport* report = makeReport(severity, failureCode, component, nullptr);
        if (!report) return;
        platform::Array addresses, symbols;
        callStack(addresses, symbols);
        addFailure(report, {{"BacktraceAddrs", addresses}, {"BacktraceSymbols", symbols}});
        PelErrReportingEndFailureReport(report);
    } catch (...) {
    }
}

void PelErrReportingAddStringErrorData(VTErrorReportRef report, const char* key,
                                       const char* value) {
    if (!report || !key || !value) return;
    report->record.data[key] = value;
}

void PelErrReportingAddIntErrorData(VTErrorReportRef report, const char* key, std::int64_t value) {
    if (!report || !key) return;
    report->record.data[key] = value;
}

void PelErrReportingAddDataErrorData(VTErrorReportRef report, const char* identifier,
                                     const platform::Data* data) {
    if (!report || !identifier || !data) return;
    report->record.details[identifier] = *data;
}

void PelErrReportingAddCFTypeErrorData(VTErrorReportRef report, const char* key,
                                       const platform::Value* value) {
    if (!report || !key || !value) return;
    if (const platform::Data* data = value->asData()) {
        PelErrReportingAddDataErrorData(report, key, data);
    } else if (platform::PropertyList::isValid(*value)) {
        report->record.data[key] = *value;
    } else {
        report->record.data[key] = value->description();
    }
}

void PelErrReportingAddCFErrorFailure(VTErrorReportRef report, const char* failure,
                                      const platform::Error* error) {
    if (!report || !error) return;
    for (const platform::Error* e = error; e; e = e->underlyingError())
        addFailure(report, errorFailure(*e, failure));
}

void PelErrReportingAddIntFailure(VTErrorReportRef report, const char* failure, const char* domain,
                                  unsigned code) {
    if (!report || !failure || !domain) return;
    addFailure(report, {{"domain", domain}, {"code", code}, {"failure", failure}});
}

void PelErrReportingAddStringFailure(VTErrorReportRef report, const char* failure,
                                     const char* domain, const char* code) {
    if (!report || !failure || !domain) return;
    platform::Dictionary d{{"domain", domain}, {"failure", failure}};
    if (code) d["code"] = code;
    addFailure(report, std::move(d));
}

void PelErrReportingAddNSExceptionFailure(VTErrorReportRef report,
                                          const platform::Exception* exception) {
    if (!report || !exception) return;
    platform::Array addresses, symbols;
    for (std::uintptr_t a : exception->callStackReturnAddresses())
        addresses.emplace_back(static_cast<std::uint64_t>(a));
    for (std::string& s : exception->callStackSymbols()) symbols.emplace_back(std::move(s));
    addFailure(report, {{"BacktraceAddrs", addresses},
                        {"BacktraceSymbols", symbols},
                        {"Name", exception->name()},
                        {"UserInfo", exception->userInfo()},
                        {"Description", exception->reason()}});
}

void PelErrReportingReportNSException(PelErrorSeverity severity, std::int32_t failureCode,
                                      const char* component, const char*, const void*,
                                      const platform::Exception* exception) {
    try {
        VTErrorReport* report = makeReport(severity, failureCode, component, nullptr);
        PelErrReportingAddNSExceptionFailure(report, exception);
        PelErrReportingEndFailureReport(report);
    } catch (...) {
    }
}

void PelErrReportingAddCxxExceptionFailure(VTErrorReportRef report,
                                           const std::exception& exception) {
    if (!report) return;
    const char* what = exception.what();
    addFailure(report, {{"Name", typeid(exception).name()}, {"Description", what ? what : ""}});
}

void PelErrReportingReportCxxException(PelErrorSeverity severity, std::int32_t failureCode,
                                       const char* component, const char* note,
                                       const void* location,
                                       const std::exception& exception) noexcept {
    try {
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
