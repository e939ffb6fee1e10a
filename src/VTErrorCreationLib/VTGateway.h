// One submission endpoint of the error-reporting library.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "VTErrorCreationLib/Utilities/VTCoding.h"

/// 0 ping gateway, 1 upload gateway.
enum VTGatewayType : std::int32_t { kVTGatewayTypePing = 0, kVTGatewayTypeUpload = 1 };

class VTGateway : public VTFieldCodable<VTGateway> {
  public:
    static constexpr std::string_view kArchiveClassName = "VTGateway";
    static std::span<const VTField<VTGateway>> codingFields();

    VTGateway() = default;
    /// Stores the values; a port of 80 without SSL or of 443 with SSL
    /// becomes 0 (the scheme's default).
    VTGateway(std::int32_t type, std::uint32_t priority, std::uint16_t port, std::string host,
              std::string URI, bool useSSL);
    /// From a URL "scheme://host[:port]/path": the path without its leading
    /// "/" becomes the URI, the port is kept as given (0 when none), useSSL
    /// when the scheme begins with "https". nullopt without a host or scheme.
    static std::optional<VTGateway> initWithTypePriorityURL(std::int32_t type,
                                                            std::uint32_t priority,
                                                            std::string_view url);

    std::int32_t type() const { return type_; }
    void setType(std::int32_t v) { type_ = v; }
    std::uint16_t port() const { return port_; }
    void setPort(std::uint16_t v) { port_ = v; }
    std::uint32_t priority() const { return priority_; }
    void setPriority(std::uint32_t v) { priority_ = v; }
    bool useSSL() const { return useSSL_; }
    void setUseSSL(bool v) { useSSL_ = v; }
    const std::optional<std::string>& host() const { return host_; }
    void setHost(std::optional<std::string> v) { host_ = std::move(v); }
    const std::optional<std::string>& URI() const { return URI_; }
    void setURI(std::optional<std::string> v) { URI_ = std::move(v); }

    /// Equal when type, port, host, URI and useSSL are; priority is not compared.
    friend bool operator==(const VTGateway& a, const VTGateway& b);
    /// "Ping: https://host/URI", or with ":port" when the port is not 0.
    std::string description() const;

  private:
    std::int32_t type_ = 0;
    std::uint16_t port_ = 0;
    std::uint32_t priority_ = 0;
    bool useSSL_ = false;
    std::optional<std::string> host_;
    std::optional<std::string> URI_;
};
