// vtscdtool: makes and shows configuration files of the error-reporting
// library.
//
//   vtscdtool make [--key KEY.pem] CONFIG.plist FOLDER
//       writes FOLDER/vtscd.dat and FOLDER/vtscd.sig
//   vtscdtool show FOLDER/vtscd.dat
//       prints the configuration stored in the file (signature not checked)
//   vtscdtool --version
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "Foundation/PelSignatureSettings.h"
#include "VTErrorCreationLib/VTScrambledArchive.h"
#include "vtscdtool/VTSCDTool.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: vtscdtool make [--key KEY.pem] CONFIG.plist FOLDER\n"
                 "       vtscdtool show vtscd.dat\n"
                 "       vtscdtool --version\n"
                 "CONFIG.plist is a dictionary of configuration properties, for example\n"
                 "  enabled, pingProbability, maxPingSubmissionsPerDay, enableCrashDumps and\n"
                 "  gateways: an array of {type (0 ping, 1 upload), priority, url}.\n"
                 "The default key is the development data-signing key:\n  %s\n",
                 VTSCD_DEFAULT_KEY);
    return 2;
}

int version() {
    std::printf("vtscdtool %s\n", PEL_VERSION);
    if (PelSignatureTrustsDevelopmentKeys()) std::printf("%s\n", kPelDevelopmentKeysNotice);
    return 0;
}

int make(int argc, char** argv) {
    std::string key = VTSCD_DEFAULT_KEY;
    int i = 2;
    if (i + 1 < argc && std::strcmp(argv[i], "--key") == 0) {
        key = argv[i + 1];
        i += 2;
    }
    if (argc - i != 2) return usage();
    std::string problem;
    auto values = vtscdtool::readPropertyListFile(argv[i], &problem);
    if (!values) {
        std::fprintf(stderr, "vtscdtool: %s\n", problem.c_str());
        return 1;
    }
    auto configuration = vtscdtool::configurationFromDictionary(*values, &problem);
    if (!configuration) {
        std::fprintf(stderr, "vtscdtool: %s\n", problem.c_str());
        return 1;
    }
    vtscdtool::writeSignedFiles(vtscdtool::encodeConfiguration(*configuration),
                                devsign::PrivateKey::loadPEM(key), argv[i + 1]);
    std::printf("%s\n", configuration->description().c_str());
    return 0;
}

int show(int argc, char** argv) {
    if (argc != 3) return usage();
    platform::Data data;
    platform::Error error;
    std::optional<VTSCDConfiguration> configuration;
    if (!VTCodingUtilities::readFile(argv[2], data, &error) ||
        !VTDecodeScrambledArchive(&configuration, data, kVTConfigurationKeyTable, &error)) {
        std::fprintf(stderr, "vtscdtool: %s\n", error.description().c_str());
        return 1;
    }
    std::printf("%s\n", configuration->description().c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc >= 2 && std::strcmp(argv[1], "make") == 0) return make(argc, argv);
        if (argc >= 2 && std::strcmp(argv[1], "show") == 0) return show(argc, argv);
        if (argc == 2 && std::strcmp(argv[1], "--version") == 0) return version();
        return usage();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vtscdtool: %s\n", e.what());
        return 1;
    }
}
