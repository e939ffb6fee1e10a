// Puts a test's own key in force for the signature checks.
#pragma once

#include <optional>
#include <utility>

#include "Foundation/PelSignatureSettings.h"

namespace testsupport {

/// For the object's life the signature checks verify with `publicKey` (DER)
/// (and the download manifest with `manifestKey`, when given) and otherwise
/// keep their built-in settings; afterwards they go back to the built-in
/// settings. For suites that link the foundation library.
class ScopedVerificationKey {
  public:
    explicit ScopedVerificationKey(platform::Data publicKey,
                                   std::optional<platform::Data> manifestKey = std::nullopt) {
        PelSignatureTrustSettings settings = PelSignatureBuiltInTrustSettings();
        settings.verificationKey = std::move(publicKey);
        if (manifestKey) settings.manifestKey = std::move(*manifestKey);
        PelSignatureSetTrustSettings(settings);
    }
    ~ScopedVerificationKey() { PelSignatureResetTrustSettings(); }
    ScopedVerificationKey(const ScopedVerificationKey&) = delete;
    ScopedVerificationKey& operator=(const ScopedVerificationKey&) = delete;
};

}  // namespace testsupport
