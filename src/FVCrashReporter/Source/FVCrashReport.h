// A crash report file read back: the header checked and the message
// unpacked with protobuf-c by the report's schema.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "Platform/Values/Error.h"
#include "fvcrash_report.pb-c.h"

class FVCrashReport {
  public:
    /// Decodes the bytes of a report file. Null and a FVCrashReporterErrorDomain
    /// error of code 2 when they are not a report.
    static std::shared_ptr<FVCrashReport> initWithData(const uint8_t* data, size_t length,
                                                       platform::Error* error);
    ~FVCrashReport();
    FVCrashReport(const FVCrashReport&) = delete;
    FVCrashReport& operator=(const FVCrashReport&) = delete;

    /// The unpacked message (owned by this object).
    const Fvcrash__CrashReport& message() const { return *message_; }

  private:
    explicit FVCrashReport(Fvcrash__CrashReport* message) : message_(message) {}
    Fvcrash__CrashReport* message_;
};

/// Steps 1-4 of reading a report: header, version and unpacking. Null and
/// `error` filled on failure; the caller frees the message with
/// fvcrash__crash_report__free_unpacked.
Fvcrash__CrashReport* fvcrash_decode_crash_data(const uint8_t* data, size_t length,
                                                platform::Error* error);
