#include "Engine/PelInstallerOutputParser.h"

#include <algorithm>
#include <cctype>

std::string PelInstallerOutputParser::removingAll(std::string text, const std::string& what) {
    if (what.empty()) return text;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at))
        text.erase(at, what.size());
    return text;
}

void PelInstallerOutputParser::parseProgressString(const std::string& line) const {
    std::string lower = line;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    auto reason = [this](const std::string& text) {
        if (handlers_.reason) handlers_.reason(text);
    };
    if (lower.find("the software was successfully installed") != std::string::npos) {
        reason("The software was successfully installed");
        return;
    }
    if (lower.find("the upgrade was successful.") != std::string::npos) {
        reason("The upgrade was successful.");
        return;
    }
    if (lower.find("error") != std::string::npos || lower.find("failed") != std::string::npos ||
        lower.find("incompatible") != std::string::npos) {
        reason(removingAll(line, "installer:"));
        return;
    }
    if (line.find("installer:%") != std::string::npos && handlers_.percent)
        handlers_.percent(removingAll(line, "installer:%"));
    if (line.find("installer:PHASE:") != std::string::npos && handlers_.phase)
        handlers_.phase(removingAll(line, "installer:PHASE:"));
}
