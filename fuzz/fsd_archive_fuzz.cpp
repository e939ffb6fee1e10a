// Downloaded archives, resume files and download addresses: the ZIP reader
// walks every entry and its data, the layout check tries it in a folder, the resume-data parser and
// the file naming see the same bytes.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Downloader/FSDArchive.h"
#include "Downloader/FSDFileNames.h"
#include "Downloader/FSDResumeData.h"
#include "Platform/System/PathNames.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)FSDResumeData::fromJSON(text);
    if (auto name = fsdFileNameForURL(text)) {
        if (!platform::isPlainFileName(*name)) std::abort();
    }

    static const std::string path = [] {
        char pattern[] = "/tmp/fsd-archive-fuzz.XXXXXX";
        int fd = ::mkstemp(pattern);
        if (fd >= 0) ::close(fd);
        return std::string(pattern);
    }();
    int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0) return 0;
    bool written = ::write(fd, data, size) == static_cast<ssize_t>(size);
    ::close(fd);
    if (!written) return 0;
    static const std::string folder = [] {
        char pattern[] = "/tmp/fsd-archive-fuzz-layout.XXXXXX";
        return std::string(::mkdtemp(pattern) ? pattern : "/tmp");
    }();
    if (auto layout = FSDZipReader::open(path)) (void)fsdArchiveStaysInside(*layout, folder);
    auto reader = FSDZipReader::open(path);
    if (!reader) return 0;
    FSDZipReader::Entry entry;
    for (int i = 0; i < 1000 && reader->next(&entry) == FSDZipReader::Next::Entry; ++i) {
        std::uint64_t total = 0;
        reader->readData(
            [&](const void*, std::size_t n) {
                total += n;
                return true;
            },
            1u << 24);
    }
    return 0;
}
