// Keys and certificates made once per test process, and a scope that puts
// them in force as the signature checks' trust settings.
#pragma once

#include <string>

#include "Foundation/PelSignatureSettings.h"
#include "pelsign/DevSigning.h"
#include "pelsign/XarWriter.h"

namespace sigtest {

struct TestPKI {
    devsign::PrivateKey dataKey = devsign::PrivateKey::generateRSA(1536);
    devsign::PrivateKey otherDataKey = devsign::PrivateKey::generateRSA(1536);

    devsign::PrivateKey caKey = devsign::PrivateKey::generateRSA(2048);
    devsign::Data ca;
    devsign::PrivateKey leafKey = devsign::PrivateKey::generateRSA(2048);
    devsign::Data leaf;         // CN "Developer ID Installer: Pelgrave Test (T1)", pinned
    devsign::Data twoNameLeaf;  // CNs "Acme Tools", "pelgrave Safari Helper", pinned (Safari)
    devsign::Data unpinnedLeaf;
    devsign::Data lowerCaseLeaf;  // single CN with the maker's name in lower case

    devsign::PrivateKey strangerKey = devsign::PrivateKey::generateRSA(2048);
    devsign::Data strangerCa;    // a CA nobody trusts
    devsign::Data strangerLeaf;  // pinned name and fingerprint, chained to strangerCa

    TestPKI();
};

/// The process-wide fixture PKI (made on first use).
const TestPKI& pki();

/// Puts settings built from pki() in force for the scope's life.
class ScopedTestTrust {
  public:
    ScopedTestTrust();
    explicit ScopedTestTrust(const PelSignatureTrustSettings& settings);
    ~ScopedTestTrust();
    static PelSignatureTrustSettings defaults();
};

/// A package signed by `key` with the given certificates.
devsign::Data signedPackage(const devsign::PrivateKey& key, std::vector<devsign::Data> chain,
                            std::string checksum = "sha1");

}  // namespace sigtest
