// pelsign: makes signed development fixtures.
//
//   pelsign embed   --key KEY.pem INPUT OUTPUT
//   pelsign detach  --key KEY.pem INPUT SIGNATURE
//   pelsign package --key LEAF-KEY.pem --cert LEAF.pem [--cert CA.pem ...]
//                   [--checksum sha1|sha256|sha512] OUTPUT.pkg NAME=FILE ...
//   pelsign manifest --key KEY.pem MANIFEST SIGNATURE
//   pelsign public-key --key KEY.pem OUTPUT.der
//   pelsign --version
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "Foundation/PelSignatureSettings.h"
#include "pelsign/DevSigning.h"
#include "pelsign/XarWriter.h"

namespace {

int usage() {
    std::fputs(
        "usage:\n"
        "  pelsign embed --key KEY.pem INPUT OUTPUT\n"
        "      OUTPUT = INPUT followed by its \"TC Signature\" block\n"
        "  pelsign detach --key KEY.pem INPUT SIGNATURE\n"
        "      SIGNATURE = the raw RSA signature of INPUT (SHA-1, PKCS#1 v1.5)\n"
        "  pelsign package --key LEAF-KEY.pem --cert LEAF.pem [--cert CA.pem ...]\n"
        "                  [--checksum sha1|sha256|sha512] OUTPUT.pkg NAME=FILE ...\n"
        "      a signed xar archive holding the files under the given names\n"
        "  pelsign manifest --key KEY.pem MANIFEST SIGNATURE\n"
        "      SIGNATURE = the download manifest's signature text (Base64, SHA-512)\n"
        "  pelsign public-key --key KEY.pem OUTPUT.der\n"
        "      the public half of KEY as PKCS#1 DER\n"
        "  pelsign --version\n",
        stderr);
    return 2;
}

int version() {
    std::printf("pelsign %s\n", PEL_VERSION);
    if (PelSignatureTrustsDevelopmentKeys()) std::printf("%s\n", kPelDevelopmentKeysNotice);
    return 0;
}

struct Arguments {
    std::string key;
    std::vector<std::string> certificates;
    std::string checksum = "sha1";
    std::vector<std::string> positional;
};

bool parse(int argc, char** argv, Arguments* out) {
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--key" && hasValue)
            out->key = argv[++i];
        else if (arg == "--cert" && hasValue)
            out->certificates.push_back(argv[++i]);
        else if (arg == "--checksum" && hasValue)
            out->checksum = argv[++i];
        else if (arg.rfind("--", 0) == 0)
            return false;
        else
            out->positional.push_back(arg);
    }
    return !out->key.empty();
}

int run(const std::string& command, const Arguments& args) {
    const devsign::PrivateKey key = devsign::PrivateKey::loadPEM(args.key);
    const auto& pos = args.positional;
    if (command == "embed" && pos.size() == 2) {
        devsign::writeFile(pos[1], devsign::makeSignedDataFile(devsign::readFile(pos[0]), key));
        return 0;
    }
    if (command == "detach" && pos.size() == 2) {
        const devsign::Data signature =
            devsign::makeDetachedSignature(devsign::readFile(pos[0]), key);
        devsign::writeFile(pos[1], std::string(signature.begin(), signature.end()));
        return 0;
    }
    if (command == "manifest" && pos.size() == 2) {
        const std::string manifest = devsign::readFile(pos[0]);
        devsign::writeFile(pos[1],
                           devsign::base64Lines(key.signMessage(platform::DigestAlgorithm::kSHA512,
                                                                manifest.data(), manifest.size())));
        return 0;
    }
    if (command == "public-key" && pos.size() == 1) {
        const devsign::Data der = key.publicKeyPKCS1();
        devsign::writeFile(pos[0], std::string(der.begin(), der.end()));
        return 0;
    }
    if (command == "package" && pos.size() >= 1 && !args.certificates.empty()) {
        devsign::XarOptions options;
        options.checksumName = args.checksum;
        devsign::XarSigning signing;
        signing.key = &key;
        for (const std::string& path : args.certificates)
            signing.certificates.push_back(devsign::loadCertificatePEM(path));
        options.signing = std::move(signing);
        for (std::size_t i = 1; i < pos.size(); ++i) {
            const std::size_t eq = pos[i].find('=');
            if (eq == std::string::npos || eq == 0) return usage();
            const std::string contents = devsign::readFile(pos[i].substr(eq + 1));
            options.files.push_back({pos[i].substr(0, eq), {contents.begin(), contents.end()}});
        }
        const devsign::Data archive = devsign::buildXar(options);
        devsign::writeFile(pos[0], std::string(archive.begin(), archive.end()));
        return 0;
    }
    return usage();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) return version();
    Arguments args;
    if (argc < 2 || !parse(argc, argv, &args)) return usage();
    try {
        return run(argv[1], args);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pelsign: %s\n", e.what());
        return 1;
    }
}
