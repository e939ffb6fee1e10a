// Renders a decoded crash report as a plain-text crash log in the classic
// layout (report version 104).
#pragma once

#include <cstdint>
#include <string>

#include "FVCrashReporter/Source/FVCrashReport.h"

enum FVCrashReportTextFormat : int32_t { FVCrashReportTextFormatiOS = 0 };

class FVCrashReportTextFormatter {
  public:
    explicit FVCrashReportTextFormatter(
        FVCrashReportTextFormat textFormat = FVCrashReportTextFormatiOS)
        : textFormat_(textFormat) {}
    FVCrashReportTextFormat textFormat() const { return textFormat_; }

    /// The whole text as UTF-8 bytes.
    std::string formatReport(const FVCrashReport& report, platform::Error* error) const;

    static std::string stringValueForCrashReport(const FVCrashReport& report,
                                                 FVCrashReportTextFormat textFormat);
    /// One frame line, without the line feed.
    static std::string formatStackFrame(const FVCrashReportStackFrameInfo& frame, long frameIndex,
                                        const FVCrashReport& report, bool lp64);

  private:
    FVCrashReportTextFormat textFormat_;
};
