// fsdtool fetch --manifest M --sig S --dir D [--setup] [--ping-host H] [--json]
#include <cstdio>
#include <cstring>
#include <string>

#include "FsdTool.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: fsdtool fetch --manifest FILE --sig FILE --dir FOLDER [--setup]\n"
                 "                     [--ping-host HOST[:PORT]] [--json]\n");
    return kFsdToolFailed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "fetch") != 0) return usage();
    FsdToolOptions options;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string* into) {
            if (i + 1 >= argc) return false;
            *into = argv[++i];
            return true;
        };
        std::string host;
        if (arg == "--manifest" && value(&options.manifestPath)) continue;
        if (arg == "--sig" && value(&options.sigPath)) continue;
        if (arg == "--dir" && value(&options.downloadFolder)) continue;
        if (arg == "--ping-host" && value(&host)) {
            options.pingHost = host;
            continue;
        }
        if (arg == "--setup") {
            options.setupInstallerFirst = true;
            continue;
        }
        if (arg == "--json") {
            options.json = true;
            continue;
        }
        return usage();
    }
    if (options.manifestPath.empty() || options.sigPath.empty() || options.downloadFolder.empty())
        return usage();
    return runFsdToolFetch(options, stdout, stderr);
}
