#include <dlfcn.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <iterator>

#include "VTClientTestSupport.h"
#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"
#include "VTErrorCreationLib/VTErrorReport.h"
#include "VTErrorCreationLib/VTImageInformation.h"
#include "VTErrorCreationLib/VTLogicalError.h"

namespace {

using vtclienttest::ClientTree;
using vtclienttest::FakeCrashReporter;
using vtclienttest::LogCapture;

std::uint64_t crc(const std::string& bytes) {
    return crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size()));
}

std::string littleEndian(std::uint64_t v) {
    std::string out;
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    return out;
}

// A code address inside this test program.
std::uint64_t ourAddress() { return reinterpret_cast<std::uintptr_t>(&ourAddress) + 4; }

std::uint64_t systemAddress() {
    return reinterpret_cast<std::uintptr_t>(dlsym(RTLD_DEFAULT, "write"));
}

std::shared_ptr<VTLogicalError> errorAt(const std::shared_ptr<VTClient>& client,
                                        std::uint64_t address, std::int32_t code,
                                        const char* component = "Test", bool dump = false) {
    return VTLogicalError::errorInComponent(component, reinterpret_cast<const void*>(address), code,
                                            1, client, dump, nullptr);
}

TEST(VTLogicalError, AddressInThisProgramNamesTheModuleAndBucket) {
    ClientTree tree;
    auto client = tree.client();
    const std::uint64_t address = ourAddress();
    auto error = errorAt(client, address, -2);
    ASSERT_TRUE(error);
    const VTErrorProperties& s = error->summaryData();

    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(address), &info), 0);
    const std::uint64_t offset = address - reinterpret_cast<std::uintptr_t>(info.dli_fbase);
    EXPECT_EQ(s.moduleName(), program_invocation_short_name);
    EXPECT_EQ(s.moduleOffset(), offset);
    EXPECT_TRUE(s.moduleGUID()) << "the build-id";
    EXPECT_TRUE(s.moduleTimestamp());
    EXPECT_EQ(s.pelgraveModuleName(), s.moduleName());
    EXPECT_EQ(s.pelgraveModuleGUID(), s.moduleGUID());
    EXPECT_EQ(s.logicalFailureID(), 0xFFFFFFFFFFFFFFFEull) << "sign-extended";
    EXPECT_EQ(s.stackHash(), crc(littleEndian(address)));
    EXPECT_EQ(s.bucketId(), crc(std::string(program_invocation_short_name) + littleEndian(offset) +
                                littleEndian(s.logicalFailureID())));
    EXPECT_EQ(s.failureAddress(), address);
    EXPECT_EQ(s.failureType(), kVTFailureTypeLogicalError);
    EXPECT_EQ(s.logicalComponentId(), "Test");
    EXPECT_EQ(s.processID(), getpid());
    EXPECT_EQ(s.processName(), program_invocation_short_name);
    EXPECT_TRUE(s.failureUUID());

    EXPECT_EQ(errorAt(client, address, -2)->summaryData().bucketId(), s.bucketId());
    EXPECT_NE(errorAt(client, address, 3)->summaryData().bucketId(), s.bucketId());
}

TEST(VTLogicalError, SystemLibrariesAreSkippedWhenLookingForOurModule) {
    ClientTree tree;
    auto client = tree.client();
    auto error = errorAt(client, systemAddress(), 1);
    ASSERT_TRUE(error) << "the error is made without a bucket";
    EXPECT_EQ(error->summaryData().bucketId(), 0u);
    EXPECT_FALSE(error->summaryData().moduleName());
    EXPECT_FALSE(error->bucketFailure(1, systemAddress()));

    // In a call stack the first frame of ours wins.
    EXPECT_TRUE(error->bucketFailure(1, std::vector<std::uint64_t>{systemAddress(), ourAddress()}));
    EXPECT_EQ(error->summaryData().moduleName(), program_invocation_short_name);
}

TEST(VTLogicalError, SystemImagesAreThoseOfTheSystemLibraryFolders) {
    const std::pair<const char*, bool> cases[] = {
        {"/usr/lib/x86_64-linux-gnu/libc.so.6", true},
        {"/lib/x86_64-linux-gnu/libpthread.so.0", true},
        {"/lib64/ld-linux-x86-64.so.2", true},
        {"/usr/lib64/libz.so.1", true},
        {"", true},  // the vDSO
        {"/usr/bin/PelInstaller", false},
        {"/bin/PelInstaller", false},
        {"/opt/pelgrave/lib/libvantrel.so", false},
        {"/usr/local/lib/libvantrel.so", false},
        {"/usr/library/libx.so", false},
        {"/home/user/PelInstaller.app/Contents/MacOS/PelInstaller", false},
    };
    for (const auto& [path, system] : cases) EXPECT_EQ(VTIsSystemImagePath(path), system) << path;

    VTImageInformation libc;
    ASSERT_TRUE(VTImageInformationForAddress(systemAddress(), &libc));
    EXPECT_TRUE(VTIsSystemImagePath(libc.path)) << libc.path;
}

TEST(VTLogicalError, ComponentRules) {
    ClientTree tree;
    auto client = tree.client();
    EXPECT_FALSE(errorAt(client, ourAddress(), 1, "")->summaryData().logicalComponentId());
    platform::Error error;
    EXPECT_FALSE(VTLogicalError::errorInComponent(nullptr, nullptr, 1, 0, client, false, &error));
    EXPECT_EQ(error.code(), 5010);
}

TEST(VTLogicalError, DumpOnlyWhenAskedAndCrashDumpsAreOn) {
    ClientTree tree;
    LogCapture log;
    const std::string refused =
        "Cannot add a dump to logical errors when crash logging is disabled";
    {
        auto client = tree.client();
        VTErrorReportRef report = VTErrorReportCreateNewReport(
            "Test", reinterpret_cast<const void*>(ourAddress()), 1, 0, false);
        ASSERT_NE(report, nullptr);
        VTErrorReportFreeReport(report);
        EXPECT_FALSE(log.contains(refused));
        auto error = errorAt(client, ourAddress(), 1, "Test", true);
        EXPECT_FALSE(error->infoForDetailDataWithIdentifier("ProcessBacktrace"));
        EXPECT_TRUE(log.contains(refused));
    }
    auto reporter = std::make_shared<FakeCrashReporter>();
    VTClient::setCrashReporterFactory([&](const std::string&) { return reporter; });
    auto configuration = tree.configuration();
    configuration.setEnableCrashDumps(true);
    auto client = tree.client(configuration);
    auto error = errorAt(client, ourAddress(), 1, "Test", true);
    EXPECT_TRUE(error->infoForDetailDataWithIdentifier("ProcessBacktrace"));
    EXPECT_FALSE(errorAt(client, ourAddress(), 1, "Test", false)
                     ->infoForDetailDataWithIdentifier("ProcessBacktrace"));
}

TEST(VTLogicalError, LaunchStateTextIsAttachedAsPlainText) {
    ClientTree tree;
    auto client = tree.client();
    auto error = errorAt(client, ourAddress(), 1);
    auto info = error->infoForDetailDataWithIdentifier("ProcessLaunch");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->at("MIME"), "text/plain");
    EXPECT_EQ(info->at("description"), "Information about the process launch state");

    const std::string text = VTLogicalError::processLaunchText();
    const std::string end = "--------------------- End -------------------\n\n";
    std::size_t at = 0;
    for (const char* header : {"------------- Process arguments -------------\n",
                               "----------- Process environment -------------\n",
                               "-------- Process runtime environment --------\n\n"}) {
        at = text.find(header, at);
        ASSERT_NE(at, std::string::npos) << header;
        at = text.find(end, at);
        ASSERT_NE(at, std::string::npos) << "End after " << header;
    }
    EXPECT_NE(text.find("\"" + std::string(program_invocation_name) + "\"\n"), std::string::npos);
    EXPECT_NE(text.find("EUID = " + std::to_string(geteuid()) + "\n"), std::string::npos);
}

TEST(VTLogicalError, FinalErrorsKeepTheirCallstack) {
    ClientTree tree;
    auto client = tree.client();
    auto error = errorAt(client, ourAddress(), 1);
    ASSERT_TRUE(error->implements(VTError::OptionalMethod::SetFailureCallstack));
    EXPECT_TRUE(error->setFailureCallstack({systemAddress(), ourAddress() + 8}));
    const std::uint64_t bucket = error->summaryData().bucketId();
    ASSERT_TRUE(error->save(nullptr));
    ASSERT_TRUE(error->finalize(nullptr));
    EXPECT_FALSE(error->setFailureCallstack({ourAddress()}));
    EXPECT_EQ(error->summaryData().bucketId(), bucket);
}

TEST(VTErrorReport, FunctionsLogWhatTheyCannotDo) {
    ClientTree tree;
    LogCapture log;
    VTClient::clearCurrentClientForTesting();
    EXPECT_EQ(VTErrorReportCreateNewReport("C", nullptr, 1, 0, false), nullptr);
    EXPECT_TRUE(log.contains("Cannot use PelErrorReporting without a client"));

    auto client = tree.client();
    VTErrorInstance::inhibitErrorCreationForCurrentProcess();
    EXPECT_EQ(VTErrorReportCreateNewExceptionReport("C", nullptr, 0, 1, 0), nullptr);
    VTErrorInstance::uninhibitErrorCreationForCurrentProcess();
    EXPECT_TRUE(log.contains("Error creating an error ((null))"));
    EXPECT_EQ(VTErrorReportCreateNewReport(nullptr, nullptr, 1, 0, false), nullptr);
    EXPECT_EQ(log.messages().back(),
              "Error creating an error (" +
                  VTErrorUtilities::errorWithVantrelError(5010).localizedDescription() + ")");

    const std::uintptr_t stack[] = {static_cast<std::uintptr_t>(ourAddress())};
    VTErrorReportRef report = VTErrorReportCreateNewExceptionReport("C", stack, 1, 1, 0);
    ASSERT_NE(report, nullptr);
    const platform::Data data{'{', '}'};
    VTErrorReportSetReportData(report, &data);
    platform::Error error;
    EXPECT_TRUE(report->save(&error)) << error.description();
    VTErrorReportFreeReport(report);
    auto saved = tree.savedErrors();
    ASSERT_EQ(saved.size(), 1u);
    std::ifstream file(tree.base() + "/" + saved[0] + "/ErrorReportingData");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "{}");
}

}  // namespace
