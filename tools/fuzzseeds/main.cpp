// fuzzseeds: writes the seed corpus of every fuzz target, made with the
// project's own writers, so that the fuzzers start from well-formed input.
//
//   fuzzseeds DEV-KEYS-FOLDER OUTPUT-FOLDER
//
// The seeds of the target <name>_fuzz go to OUTPUT-FOLDER/<name>/.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "Controllers/Core/WYFAccountRecords.h"
#include "Platform/Dispatch/DistributedNotification.h"
#include "Platform/Values/Json.h"
#include "Platform/Values/PropertyList.h"
#include "Platform/Xpc/XpcWire.h"
#include "VTErrorCreationLib/Utilities/VTKeyedArchive.h"
#include "VTErrorCreationLib/VTErrorProperties.h"
#include "VTErrorCreationLib/VTSCDConfiguration.h"
#include "pelsign/DevSigning.h"
#include "pelsign/XarWriter.h"

namespace fs = std::filesystem;

namespace {

std::string gOutput;

void seed(const std::string& target, const std::string& name, std::string_view bytes) {
    fs::create_directories(gOutput + "/" + target);
    devsign::writeFile(gOutput + "/" + target + "/" + name, bytes);
}
void seed(const std::string& target, const std::string& name, const platform::Data& bytes) {
    seed(target, name, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

void xpcFrames() {
    using platform::XpcObject;
    platform::XpcDictionary message{
        {"op", XpcObject::makeString("install")},
        {"count", XpcObject::makeInt64(-3)},
        {"size", XpcObject::makeUint64(1u << 20)},
        {"ratio", XpcObject::makeDouble(0.5)},
        {"flag", XpcObject::makeBool(true)},
        {"none", XpcObject::makeNull()},
        {"bytes", XpcObject::makeData({1, 2, 3, 0, 255})},
        {"list",
         XpcObject::makeArray({XpcObject::makeString("a"),
                               XpcObject::makeDictionary({{"k", XpcObject::makeInt64(1)}})})},
    };
    std::vector<std::uint8_t> frames;
    platform::XpcWireError error = platform::XpcWireError::None;
    platform::encodeXpcFrame(platform::XpcFrameKind::Request, 7, XpcObject::makeDictionary(message),
                             frames, &error);
    seed("xpc_decoder", "request", platform::Data(frames.begin(), frames.end()));
    platform::encodeXpcFrame(platform::XpcFrameKind::Reply, 7,
                             XpcObject::makeDictionary({{"ok", XpcObject::makeBool(true)}}), frames,
                             &error);
    seed("xpc_decoder", "request-and-reply", platform::Data(frames.begin(), frames.end()));
}

void notifications() {
    platform::Notification plain{"com.pelgrave.installer.quit", platform::Value(),
                                 platform::Value()};
    platform::Notification full{"com.pelgrave.installer.progress", platform::Value("PelInstaller"),
                                platform::Value(platform::Dictionary{
                                    {"percent", platform::Value(42)},
                                    {"phase", platform::Value("download")},
                                    {"list", platform::Value(platform::Array{
                                                 platform::Value(true), platform::Value(1.5)})}})};
    if (auto wire = platform::encodeDistributedNotification(plain))
        seed("distributed_notification", "name-only", *wire);
    if (auto wire = platform::encodeDistributedNotification(full))
        seed("distributed_notification", "with-user-info", *wire);
}

void keyedArchives() {
    VTErrorProperties properties;
    properties.setBucketId(0x52656720);
    properties.setFailureSeverity(1);
    properties.setProductName(std::string("Pelgrave Installer"));
    properties.setProductVersion(std::string("1.0.0"));
    properties.setProcessID(4242);
    properties.setLanguage(std::string("en"));
    properties.setSystemUptime(12.5);
    seed("vtarchive", "summary.vterr", VTKeyedArchiver::archivedDataWithRootObject(properties));
    seed("vtarchive", "configuration",
         VTKeyedArchiver::archivedDataWithRootObject(
             VTSCDConfiguration::hardcodedConfigurationUsingPath(
                 "/var/tmp/com.pelgrave.installer")));
}

void signedFiles(const std::string& keys) {
    const auto dataKey =
        devsign::PrivateKey::loadPEM(keys + "/data-signing.DEVELOPMENT-ONLY.key.pem");
    seed("signature_block", "signed.json",
         devsign::makeSignedDataFile("{\"enabled\": true, \"items\": [1, 2, 3]}\n", dataKey));
    seed("signature_block", "FSD.flag",
         devsign::makeSignedDataFile("5B0E72A4-9C3D-4F81-A6E2-0D47C9B13F58\n", dataKey));

    const auto leafKey =
        devsign::PrivateKey::loadPEM(keys + "/package-signing.DEVELOPMENT-ONLY.key.pem");
    devsign::XarOptions options;
    options.files = {{"Distribution", {'<', 'x', '/', '>', '\n'}}, {"Payload", {'p', 'a', 'y'}}};
    seed("xar", "unsigned.pkg", devsign::buildXar(options));
    devsign::XarSigning signing;
    signing.key = &leafKey;
    signing.certificates = {devsign::loadCertificatePEM(keys + "/package-signing.cert.pem"),
                            devsign::loadCertificatePEM(keys + "/root-ca.cert.pem")};
    options.signing = std::move(signing);
    options.checksumName = "sha256";
    seed("xar", "signed.pkg", devsign::buildXar(options));
}

void moduleFiles() {
    using platform::Value;
    const Value product(platform::Dictionary{
        {"Type", Value("Product")},
        {"Identifier", Value("com.pelgrave.brenmoor")},
        {"Version", Value("8.1b12")},
        {"Language", Value("en_US")},
        {"UnlocalizedName", Value("Brenmoor")},
        {"Features", Value(platform::Array{Value("com.pelgrave.brenmoor.core")})},
        {"Layout", Value("com.pelgrave.brenmoor.layout")}});
    const Value sku(platform::Dictionary{
        {"Type", Value("SKU")},
        {"Identifier", Value("com.pelgrave.brenmoor.sku")},
        {"Active", Value(true)},
        {"Products",
         Value(platform::Array{Value(platform::Dictionary{
             {"Match", Value(platform::Dictionary{{"Identifier", Value("com.pelgrave.brenmoor")},
                                                  {"Version", Value("8.*")}})},
             {"Language", Value("de_DE")}})})}});
    for (const auto& [name, value] : {std::pair{"product.plist", product}, {"sku.plist", sku}})
        if (auto xml =
                platform::PropertyList::toData(value, platform::PropertyListFormat::XML, nullptr))
            seed("registry", name, *xml);
    seed("registry", "version", std::string_view("8.1.3f2"));
}

void texts() {
    seed("http", "200",
         std::string_view("HTTP/1.1 200 OK\r\nContent-Length: 1048576\r\nETag: \"abc\"\r\n"
                          "Last-Modified: Tue, 01 Dec 2026 10:00:00 GMT\r\n\r\n"));
    seed("http", "206",
         std::string_view("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 100-199/1000\r\n"
                          "Content-Length: 100\r\n\r\n"));
    seed("http", "os-release",
         std::string_view("PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nVERSION_ID=\"12\"\n"));
    seed("http", "locale", std::string_view("de_CH.UTF-8@euro"));
    seed("format", "directives", std::string_view("%@ %d %ld %lld %s %5.2f %x %c %p %%"));
    seed("format", "positional", std::string_view("%2$lld %1$d %6$@ %4$s %3$g"));
}

// Account records as the gateway sends them: each text decoded as its
// record and written again by the record's own encoder.
void accountRecords() {
    auto write = [](const char* name, const platform::Dictionary& coded) {
        if (auto text = platform::json::serialize(platform::Value(coded),
                                                  platform::json::WriteStyle::Compact, nullptr))
            seed("account_records", name, std::string_view(*text));
    };
    auto decoded = [](std::string_view text) {
        auto value = platform::json::parse(text, nullptr);
        const platform::Dictionary* coded = value ? value->asDictionary() : nullptr;
        if (!coded) throw std::runtime_error("account record seed is no JSON object");
        return *coded;
    };
    auto bind = wyf::WYFBindInfo::decode(
        decoded(R"({"access_token":"AT","refresh_token":"RT","authority":"https://a.example/",)"
                R"("channel":3,"entityId":"E","additionalhttpheader":{"X-A":"1","X-B":"2"}})"),
        nullptr);
    auto dashboard = wyf::WYFDashboardInfo::decode(
        decoded(R"({"status":1,"darkWebMonitoring":{"status":1,"enrollmentState":2,"enrolled":1,)"
                R"("inboxAlertsCount":4},"backup":{"status":9,"unit":4,"used":2.5,"limit":100,)"
                R"("enrolled":true},"identityProtection":{"status":-1,"alert":2},)"
                R"("onlineFamily":{"enrolled":0},"vpn":{"status":7},)"
                R"("creditScore":{"bureaus":3,"enrollmentState":5},"passwordManager":{}})"),
        nullptr);
    if (!bind || !dashboard) throw std::runtime_error("account record seeds do not decode");
    write("bind.json", bind->encode());
    write("dashboard.json", dashboard->encode());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: fuzzseeds DEV-KEYS-FOLDER OUTPUT-FOLDER\n", stderr);
        return 2;
    }
    gOutput = argv[2];
    try {
        xpcFrames();
        notifications();
        keyedArchives();
        signedFiles(argv[1]);
        moduleFiles();
        texts();
        accountRecords();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fuzzseeds: %s\n", e.what());
        return 1;
    }
    return 0;
}
