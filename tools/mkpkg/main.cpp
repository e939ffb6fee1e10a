// mkpkg [--key KEY.pem] [--cert CERT.pem]... [--location /dir] [--title T]
//       OUT.pkg IDENTIFIER VERSION FOLDER [IDENTIFIER VERSION FOLDER]...
//
// One component makes a component package; several (or --title) make a
// distribution. The default key and certificates are the development ones.
#include <iostream>

#include "mkpkg/MkPkg.h"

int main(int argc, char** argv) try {
    std::string key = PEL_DEV_KEYS_DIR "/package-signing.DEVELOPMENT-ONLY.key.pem";
    std::vector<std::string> certs;
    std::string location = "/", title;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--key" && i + 1 < argc)
            key = argv[++i];
        else if (arg == "--cert" && i + 1 < argc)
            certs.push_back(argv[++i]);
        else if (arg == "--location" && i + 1 < argc)
            location = argv[++i];
        else if (arg == "--title" && i + 1 < argc)
            title = argv[++i];
        else
            positional.push_back(arg);
    }
    if (positional.size() < 4 || (positional.size() - 1) % 3 != 0) {
        std::cerr << "usage: mkpkg [--key K] [--cert C]... [--location L] [--title T] OUT.pkg "
                     "ID VERSION FOLDER [ID VERSION FOLDER]...\n";
        return 2;
    }
    if (certs.empty())
        certs = {PEL_DEV_KEYS_DIR "/package-signing.cert.pem",
                 PEL_DEV_KEYS_DIR "/root-ca.cert.pem"};
    const devsign::PrivateKey privateKey = devsign::PrivateKey::loadPEM(key);
    devsign::XarSigning signing{&privateKey, {}};
    for (const auto& c : certs) signing.certificates.push_back(devsign::loadCertificatePEM(c));
    std::vector<mkpkg::Component> components;
    for (std::size_t i = 1; i + 2 < positional.size(); i += 3) {
        mkpkg::Component c;
        c.identifier = positional[i];
        c.version = positional[i + 1];
        c.installLocation = location;
        c.payload = mkpkg::entriesFromFolder(positional[i + 2]);
        components.push_back(std::move(c));
    }
    const platform::Data package =
        (components.size() == 1 && title.empty())
            ? mkpkg::buildComponentPackage(components[0], signing)
            : mkpkg::buildDistributionPackage(title.empty() ? components[0].identifier : title,
                                              components, signing);
    devsign::writeFile(positional[0], std::string(package.begin(), package.end()));
    return 0;
} catch (const std::exception& e) {
    std::cerr << "mkpkg: " << e.what() << "\n";
    return 1;
}
