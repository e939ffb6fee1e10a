// Places a 64-bit little-endian Mach-O file in this process's memory as the
// loader would: every segment but __PAGEZERO copied to slide + vmaddr, its
// pages given the segment's initial protection. The slide is where the
// reserved range landed, so it is never 0.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Platform/Values/Value.h"

namespace testsupport {

class LoadedMachO {
  public:
    /// Null with `error` filled when the file is no 64-bit Mach-O this
    /// loader understands.
    static std::unique_ptr<LoadedMachO> load(const platform::Data& file, std::string* error);
    static std::unique_ptr<LoadedMachO> loadFile(const std::string& path, std::string* error);
    ~LoadedMachO();
    LoadedMachO(const LoadedMachO&) = delete;
    LoadedMachO& operator=(const LoadedMachO&) = delete;

    /// Where the Mach-O header lies (the __TEXT segment's start).
    std::uint64_t header() const { return header_; }
    std::int64_t slide() const { return slide_; }

  private:
    LoadedMachO() = default;
    void* reserved_ = nullptr;
    std::size_t reservedSize_ = 0;
    std::uint64_t header_ = 0;
    std::int64_t slide_ = 0;
};

}  // namespace testsupport
