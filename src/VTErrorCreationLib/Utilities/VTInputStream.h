// An input stream on one file, opened on demand: the form in which an
// error's detail files are handed out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Platform/Values/Error.h"

class VTInputStream {
  public:
    /// A stream on `path`, not yet opened.
    explicit VTInputStream(std::string path) : path_(std::move(path)) {}
    ~VTInputStream();
    VTInputStream(const VTInputStream&) = delete;
    VTInputStream& operator=(const VTInputStream&) = delete;

    const std::string& path() const { return path_; }

    /// Opens the file for reading. False with the POSIX error for the path.
    bool open(platform::Error* error);
    bool isOpen() const { return fd_ >= 0; }
    /// Reads up to `capacity` bytes: the count, 0 at the end of the file, or
    /// -1 with the POSIX error (also when the stream is not open).
    std::int64_t read(std::uint8_t* buffer, std::size_t capacity, platform::Error* error);
    void close();

  private:
    std::string path_;
    int fd_ = -1;
};
