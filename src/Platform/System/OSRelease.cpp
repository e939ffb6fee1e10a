#include "Platform/System/OSRelease.h"

#include <fstream>

#include "Platform/System/Paths.h"

namespace platform {

std::optional<std::string> osReleaseValue(std::string_view text, std::string_view key) {
    while (!text.empty()) {
        auto eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        if (line.size() <= key.size() || line.substr(0, key.size()) != key ||
            line[key.size()] != '=')
            continue;
        std::string_view raw = line.substr(key.size() + 1);
        while (!raw.empty() && (raw.back() == '\r' || raw.back() == ' ' || raw.back() == '\t'))
            raw.remove_suffix(1);
        if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') &&
            raw.back() == raw.front()) {
            const char quote = raw.front();
            raw = raw.substr(1, raw.size() - 2);
            if (quote == '\'') return std::string(raw);
            std::string value;
            for (std::size_t i = 0; i < raw.size(); ++i) {
                if (raw[i] == '\\' && i + 1 < raw.size()) ++i;
                value += raw[i];
            }
            return value;
        }
        return std::string(raw);
    }
    return std::nullopt;
}

std::optional<std::string> systemReleaseValue(std::string_view key) {
    for (std::string_view path : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::ifstream in(Paths::resolve(path), std::ios::binary);
        if (!in) continue;
        // The file is a few hundred bytes; read at most 64 KiB of it.
        std::string text(64 * 1024, '\0');
        in.read(text.data(), static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<std::size_t>(in.gcount()));
        if (auto value = osReleaseValue(text, key)) return value;
    }
    return std::nullopt;
}

}  // namespace platform
