// Test seam of the failure-report API: a recorder that sees every finished
// report. For tests only; no product code includes this header.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "Foundation/PelErrReporting.h"

/// A finished report as the recorder sees it.
struct PelErrReportingRecord {
    PelErrorSeverity severity = 0;
    std::int32_t failureCode = 0;
    std::string component;
    /// The location given (the caller's return address for
    /// kPelErrLocationCaller); null for one-call reports of a call stack.
    const void* location = nullptr;
    /// The report's data: the data entries and, under "failures", the array
    /// of failure dictionaries.
    platform::Dictionary data;
    /// Detail data attached by PelErrReportingAddDataErrorData (and the
    /// JSON report data under "ErrorReportingData"), by identifier.
    platform::Dictionary details;
    /// The report's text parameters ("failure": the name of its first failure).
    platform::Dictionary parameters;
    /// The logical error code set from the first failure's code.
    std::uint64_t logicalErrorCode = 0;
};

/// Collects every report finished while it exists (in the order they end),
/// for tests. One recorder is installed at a time; a second one replaces the
/// first until it ends. While a recorder is installed a report is begun even
/// when the error-report library makes none (no client, or the library is not
/// in the program): it is then recorded and not saved.
class PelErrReportingRecorder {
  public:
    PelErrReportingRecorder();
    ~PelErrReportingRecorder();
    PelErrReportingRecorder(const PelErrReportingRecorder&) = delete;
    PelErrReportingRecorder& operator=(const PelErrReportingRecorder&) = delete;

    std::vector<PelErrReportingRecord> records() const;
    void clear();

    /// Called with each finished report (any thread).
    void add(PelErrReportingRecord record);

  private:
    mutable std::mutex mutex_;
    std::vector<PelErrReportingRecord> records_;
    PelErrReportingRecorder* previous_;
};
