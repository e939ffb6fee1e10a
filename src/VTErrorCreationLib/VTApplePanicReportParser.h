// A kernel panic report of the operating system (a text file) read line by
// line into its panic text, date, UUIDs, uptime, kernel facts, backtrace
// and the kernel extensions listed for the backtrace. Lines are matched by
// the linear scanners of VTPanicScanners.h, so a hostile report costs time
// in proportion to its size.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"
#include "VTErrorCreationLib/VTUUID.h"

/// One kernel extension of a report, or the kernel itself.
struct VTKernelModule {
    std::optional<std::string> identifier;  // "com.apple.mach" for the kernel
    std::optional<std::string> version;     // without the parentheses
    std::optional<std::string> UUID;        // without the brackets
    std::uint64_t loadAddress = 0;
    /// End address minus load address (0 when the end lies below the load
    /// address, and for the kernel).
    std::uint64_t imageSize = 0;

    /// Whether `address` lies in [loadAddress, loadAddress + imageSize).
    bool contains(std::uint64_t address) const {
        return address >= loadAddress && address - loadAddress < imageSize;
    }
};

/// The parse error of a report whose kernel-extension list is broken.
inline constexpr long kVTPanicReportParseError = 11999;

class VTApplePanicReportParser {
  public:
    /// A parser of the UTF-8 file at `url`; null with the read error.
    static std::unique_ptr<VTApplePanicReportParser> parserForReportAtURL(const std::string& url,
                                                                          platform::Error* error);
    explicit VTApplePanicReportParser(std::string data) : data_(std::move(data)) {}

    /// Reads the report once; later calls give the first outcome. True when
    /// it yielded panic text and a backtrace.
    bool parse(platform::Error* error);
    /// Reduces the panic text to what identifies the failure: the trap name
    /// and fault code of a kernel trap, else the text without its source
    /// location and with numbers replaced. False without panic text.
    bool normalizePanicString();
    /// Turns every frame into an offset in its module or the kernel.
    bool rebaseBacktrace();
    /// The first module that holds `address`, or null.
    const VTKernelModule* moduleForAddress(std::uint64_t address) const;
    const std::optional<VTKernelModule>& moduleForKernel() const { return kernel_; }

    const std::string& data() const { return data_; }
    const std::vector<VTKernelModule>& modules() const { return modules_; }
    const std::vector<std::uint64_t>& backtraceFrames() const { return backtraceFrames_; }
    const std::vector<std::uint64_t>& rebasedFrames() const { return rebasedFrames_; }
    const std::optional<VTKernelModule>& kernel() const { return kernel_; }
    const std::optional<std::string>& panicReason() const { return panicReason_; }
    const std::optional<platform::Date>& panicDate() const { return panicDate_; }
    const std::optional<VTUUID>& UUID() const { return uuid_; }
    /// In nanoseconds, as the report gives it.
    double systemUptime() const { return systemUptime_; }
    std::int32_t faultCode() const { return faultCode_; }
    const std::optional<VTUUID>& kernelUUID() const { return kernelUUID_; }
    const std::optional<std::string>& kernelVersion() const { return kernelVersion_; }
    std::uint64_t kernelLoad() const { return kernelLoad_; }
    std::uint64_t kernelSlide() const { return kernelSlide_; }
    const std::optional<platform::Error>& parseError() const { return parseError_; }

    // Setters, for tests that start from a partly known report.
    void setPanicDate(std::optional<platform::Date> date) { panicDate_ = date; }
    void setPanicReason(std::optional<std::string> reason) { panicReason_ = std::move(reason); }

  private:
    /// The whole line in the form "Thu Jun 15 17:36:27 2017", read in the C
    /// locale and the system time zone.
    static std::optional<platform::Date> parseDateLine(const std::string& line);
    /// Applies the line rules; false to stop the walk.
    bool handleLine(std::string_view line, int& state);

    std::string data_;
    std::vector<VTKernelModule> modules_;
    std::vector<std::uint64_t> backtraceFrames_;
    std::vector<std::uint64_t> rebasedFrames_;
    std::optional<VTKernelModule> kernel_;
    std::optional<std::string> panicReason_;
    std::optional<platform::Date> panicDate_;
    std::optional<VTUUID> uuid_;
    double systemUptime_ = 0;
    std::int32_t faultCode_ = 0;
    std::optional<VTUUID> kernelUUID_;
    std::optional<std::string> kernelVersion_;
    std::uint64_t kernelLoad_ = 0;
    std::uint64_t kernelSlide_ = 0;
    std::optional<platform::Error> parseError_;
};
