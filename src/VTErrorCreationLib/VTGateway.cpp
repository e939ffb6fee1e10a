#include "VTErrorCreationLib/VTGateway.h"

#include <cctype>

#include "Platform/Text/Hex.h"

namespace {

struct ParsedURL {
    std::string scheme;
    std::string host;
    std::uint32_t port = 0;
    std::string path;
};

std::string percentDecoded(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && platform::hexDigitValue(s[i + 1]) >= 0 &&
            platform::hexDigitValue(s[i + 2]) >= 0) {
            out += static_cast<char>(platform::hexDigitValue(s[i + 1]) << 4 |
                                     platform::hexDigitValue(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::optional<ParsedURL> parse(std::string_view url) {
    ParsedURL p;
    std::size_t colon = url.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    for (std::size_t i = 0; i < colon; ++i) {
        char c = url[i];
        bool ok = std::isalpha(static_cast<unsigned char>(c)) ||
                  (i > 0 && (std::isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' ||
                             c == '.'));
        if (!ok) return std::nullopt;
    }
    p.scheme = std::string(url.substr(0, colon));
    std::string_view rest = url.substr(colon + 1);
    if (rest.substr(0, 2) != "//") return p;  // no authority, so no host
    rest.remove_prefix(2);
    std::size_t end = rest.find_first_of("/?#");
    std::string_view authority = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    if (std::size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    std::string_view portText;
    if (!authority.empty() && authority.front() == '[') {
        std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        p.host = std::string(authority.substr(1, close - 1));
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return std::nullopt;
            portText = after.substr(1);
        }
    } else {
        std::size_t portColon = authority.rfind(':');
        p.host = std::string(authority.substr(0, portColon));
        if (portColon != std::string_view::npos) portText = authority.substr(portColon + 1);
    }
    for (char c : portText) {
        if (c < '0' || c > '9') return std::nullopt;
        p.port = p.port * 10 + static_cast<std::uint32_t>(c - '0');
        if (p.port > 0xFFFFFF) return std::nullopt;
    }
    std::size_t pathEnd = rest.find_first_of("?#");
    p.path = percentDecoded(rest.substr(0, pathEnd));
    return p;
}

}  // namespace

std::span<const VTField<VTGateway>> VTGateway::codingFields() {
    static const VTField<VTGateway> fields[] = {
        VTMakeField<&VTGateway::type_>("type"),         VTMakeField<&VTGateway::port_>("port"),
        VTMakeField<&VTGateway::priority_>("priority"), VTMakeField<&VTGateway::useSSL_>("useSSL"),
        VTMakeField<&VTGateway::host_>("host"),         VTMakeField<&VTGateway::URI_>("URI"),
    };
    return fields;
}

VTGateway::VTGateway(std::int32_t type, std::uint32_t priority, std::uint16_t port,
                     std::string host, std::string URI, bool useSSL)
    : type_(type),
      port_(port),
      priority_(priority),
      useSSL_(useSSL),
      host_(std::move(host)),
      URI_(std::move(URI)) {
    if ((port_ == 80 && !useSSL_) || (port_ == 443 && useSSL_)) port_ = 0;
}

std::optional<VTGateway> VTGateway::initWithTypePriorityURL(std::int32_t type,
                                                            std::uint32_t priority,
                                                            std::string_view url) {
    auto parsed = parse(url);
    if (!parsed || parsed->host.empty() || parsed->scheme.empty()) return std::nullopt;
    std::string path = parsed->path;
    if (!path.empty() && path.front() == '/') path.erase(0, 1);
    std::string host = parsed->host;
    if (!host.empty() && host.back() == '/') host.pop_back();
    VTGateway g;
    g.type_ = type;
    g.priority_ = priority;
    g.host_ = host;
    g.URI_ = path;
    g.port_ = static_cast<std::uint16_t>(parsed->port);
    g.useSSL_ = parsed->scheme.rfind("https", 0) == 0;
    return g;
}

bool operator==(const VTGateway& a, const VTGateway& b) {
    return a.useSSL_ == b.useSSL_ && a.type_ == b.type_ && a.port_ == b.port_ &&
           a.host_ == b.host_ && a.URI_ == b.URI_;
}

std::string VTGateway::description() const {
    std::string out = type_ == kVTGatewayTypePing ? "Ping" : "Upload";
    out += ": ";
    out += useSSL_ ? "https" : "http";
    out += "://";
    out += host_.value_or("(null)");
    if (port_ != 0) out += ":" + std::to_string(port_);
    out += "/";
    out += URI_.value_or("(null)");
    return out;
}
