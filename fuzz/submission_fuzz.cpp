// The submission code's text handling of outside input: locale identifiers
// from the environment, gateway texts cut and escaped for the wire, and
// payload regions read back through the body stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "VTSubmissionLib/VTSubmissionFormat.h"
#include "VTSubmissionLib/VTSubmissionStatPingOperation.h"
#include "VTSubmissionLib/VTSubmissionUpload.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const std::string name = VTSubmissionStatPingOperation::languageNameForLocale(text);
    if (name.empty()) std::abort();

    const std::size_t limit = size > 0 ? data[0] % 64 : 0;
    const std::string cut = VTTruncateUTF8(text, limit);
    if (cut.size() > text.size() || text.substr(0, cut.size()) != cut) std::abort();
    for (char c : VTFormEscape(text))
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '.' || c == '_' || c == '~' || c == '%'))
            std::abort();

    // The bytes as regions split at every zero byte, read back in slices.
    platform::DispatchData regions;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= size; ++i) {
        if (i == size || data[i] == 0) {
            regions.append(platform::DispatchData(platform::Data(data + start, data + i)));
            start = i + 1;
        }
    }
    VTSubmissionStream stream(regions);
    std::string back;
    char buffer[7];
    long n;
    while ((n = stream.read(buffer, sizeof buffer, nullptr)) > 0)
        back.append(buffer, static_cast<std::size_t>(n));
    const platform::Data all = regions.contiguous();
    if (n < 0 || back != std::string(all.begin(), all.end())) std::abort();
    return 0;
}
