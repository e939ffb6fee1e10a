#include <gtest/gtest.h>

#include <stdexcept>

#include "Foundation/PelErrReporting.h"
#include "Foundation/PelErrReportingTesting.h"
#include "FoundationTestSupport.h"
#include "Platform/System/Paths.h"
#include "support/TempDir.h"

// The recorder is what the registry and identifier tests rely on: it must see
// each finished report with its data and failures, in order.
TEST(PelErrReportingTest, RecorderSeesFinishedReportsWithDataAndFailures) {
    testsupport::TempDir dir;
    platform::Paths::ScopedRoot root(dir.file("root"), dir.file("home"));
    foundationtest::QuietLogging logging;
    PelErrReportingRecorder recorder;

    VTErrorReportRef report =
        PelErrReportingBeginFailureReport(1, 0x52656720, "PelRegistry", "", kPelErrLocationCaller);
    ASSERT_NE(report, nullptr);
    PelErrReportingAddStringErrorData(report, "URL", "/a/b.plist");
    PelErrReportingAddIntErrorData(report, "bytesRead", 10);
    PelErrReportingAddStringErrorData(report, nullptr, "ignored");
    platform::Error inner = platform::Error::posix(2);
    platform::Error outer(platform::kCocoaErrorDomain.data(), 260);
    outer.setUnderlyingError(inner);
    PelErrReportingAddCFErrorFailure(report, "read", &outer);
    PelErrReportingAddIntFailure(report, "write", kPelErrDomainPOSIX, 28);
    PelErrReportingAddIntFailure(report, "write", nullptr, 28);
    PelErrReportingEndFailureReport(report);
    PelErrReportingEndFailureReport(nullptr);
    PelErrReportingReportCxxException(0, 1, "C", "", kPelErrLocationCaller,
                                      std::runtime_error("boom"));

    auto records = recorder.records();
    ASSERT_EQ(records.size(), 2u);
    const PelErrReportingRecord& r = records[0];
    EXPECT_EQ(r.severity, 1);
    EXPECT_EQ(r.failureCode, 0x52656720);
    EXPECT_EQ(r.component, "PelRegistry");
    EXPECT_NE(r.location, nullptr);
    EXPECT_NE(r.location, kPelErrLocationCaller);
    EXPECT_EQ(r.data.at("URL"), "/a/b.plist");
    EXPECT_EQ(r.data.at("bytesRead"), 10);
    const platform::Array* failures = r.data.at("failures").asArray();
    ASSERT_NE(failures, nullptr);
    ASSERT_EQ(failures->size(), 3u);
    EXPECT_EQ(*(*failures)[0].get("code"), 260);
    EXPECT_EQ(*(*failures)[1].get("domain"), platform::kPOSIXErrorDomain.data());
    EXPECT_EQ(*(*failures)[2].get("failure"), "write");

    const platform::Value& cxx = records[1].data.at("failures").asArray()->at(0);
    EXPECT_EQ(*cxx.get("Description"), "boom");
    EXPECT_NE(cxx.get("Name")->stringValue().find("runtime_error"), std::string::npos);
}
