#include "Foundation/PelSignatureSettings.h"

#include <atomic>
#include <mutex>
#include <new>

#include "Foundation/PelLogging.h"

namespace {

struct SettingsState {
    std::mutex mutex;
    std::shared_ptr<const PelSignatureTrustSettings> settings;
    std::shared_ptr<const PelSignaturePins> pins;
    // Keys dropped by a settings change; kept because callers may still
    // hold them.
    std::vector<std::unique_ptr<const platform::PublicKey>> retired;
};

SettingsState& state() {
    static SettingsState* s = new SettingsState();  // never destroyed: used until exit
    return *s;
}

std::atomic<const platform::PublicKey*> gCachedKey{nullptr};

std::shared_ptr<const PelSignatureTrustSettings> currentSettings() {
    SettingsState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.settings)
        s.settings =
            std::make_shared<const PelSignatureTrustSettings>(PelSignatureBuiltInTrustSettings());
    return s.settings;
}

std::shared_ptr<const PelSignaturePins> makePins(const PelSignatureTrustSettings& settings) {
    auto pins = std::make_shared<PelSignaturePins>();
    pins->safariFingerprint = settings.safariFingerprint;
    pins->otherFingerprint = settings.otherFingerprint;
    for (const platform::Data& der : settings.anchorCertificates)
        if (auto certificate = platform::Certificate::createWithDER(der.data(), der.size()))
            pins->anchors.push_back(std::move(certificate));
    return pins;
}

}  // namespace

void PelSignatureSetTrustSettings(const PelSignatureTrustSettings& settings) {
    SettingsState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.settings = std::make_shared<const PelSignatureTrustSettings>(settings);
    s.pins.reset();
    if (const platform::PublicKey* old = gCachedKey.exchange(nullptr)) s.retired.emplace_back(old);
}

void PelSignatureResetTrustSettings() {
    PelSignatureSetTrustSettings(PelSignatureBuiltInTrustSettings());
}

const platform::PublicKey* PelSignatureVerificationKey() {
    if (const platform::PublicKey* key = gCachedKey.load(std::memory_order_acquire)) return key;
    std::shared_ptr<const PelSignatureTrustSettings> settings;
    std::unique_ptr<platform::PublicKey> imported;
    try {
        settings = currentSettings();
        imported = platform::PublicKey::importDER(settings->verificationKey.data(),
                                                  settings->verificationKey.size());
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    if (!imported) return nullptr;
    const platform::PublicKey* expected = nullptr;
    if (gCachedKey.compare_exchange_strong(expected, imported.get(), std::memory_order_acq_rel))
        return imported.release();
    return expected;  // another thread published first; ours is dropped
}

std::unique_ptr<platform::PublicKey> PelSignatureManifestKey() {
    try {
        const auto settings = currentSettings();
        return platform::PublicKey::importDER(settings->manifestKey.data(),
                                              settings->manifestKey.size());
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void PelSignatureLogTrustedKeysOnce() {
    if (!PelSignatureTrustsDevelopmentKeys()) return;
    static std::once_flag logged;
    std::call_once(logged, [] { PelLogging::logWarningMessage(kPelDevelopmentKeysNotice); });
}

std::shared_ptr<const PelSignaturePins> PelSignatureCurrentPins() {
    currentSettings();  // makes the built-in settings the first time
    SettingsState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.pins) s.pins = makePins(*s.settings);
    return s.pins;
}

PelSignatureStatus PelSignatureStatusForResult(platform::VerifyResult result) {
    switch (result) {
        case platform::VerifyResult::kValid:
            return kPelSignatureValid;
        case platform::VerifyResult::kInvalid:
            return kPelSignatureInvalid;
        case platform::VerifyResult::kNoAnswer:
            break;
    }
    return kPelSignatureVerifierFailed;
}
