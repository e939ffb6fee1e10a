// Feeds arbitrary bytes to the parsers of what servers and the system hand
// the HTTP layer and the pings: response head lines, Content-Length and
// Content-Range values, os-release text and locale names.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Downloader/PingSupport.h"
#include "Downloader/StatPing.h"
#include "Platform/Http/HttpRequest.h"
#include "Platform/System/OSRelease.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);

    platform::HttpHeadReader reader;
    for (std::string_view rest = text; !rest.empty();) {
        auto eol = rest.find('\n');
        reader.addLine(rest.substr(0, eol == std::string_view::npos ? rest.size() : eol + 1));
        rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
    }
    platform::HttpResponse response(reader.status(), reader.headers(), "http://h/");
    (void)response.expectedContentLength();
    (void)response.resumeValidator();
    (void)platform::contentRangeStart(text);

    (void)platform::osReleaseValue(text, "VERSION_ID");
    (void)StatPing::languageNameForLocale(text);
    (void)StatPing::escapeURLString(text);
    return 0;
}
