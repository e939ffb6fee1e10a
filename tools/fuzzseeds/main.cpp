// fuzzseeds: writes the seed corpus of every fuzz target, made with the
// project's own writers, so that the fuzzers start from well-formed input.
//
//   fuzzseeds DEV-KEYS-FOLDER OUTPUT-FOLDER
//
// The seeds of the target <name>_fuzz go to OUTPUT-FOLDER/<name>/.
#include <archive.h>
#include <archive_entry.h>
#include <unistd.h>

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
#include "VTErrorCreationLib/VTErrorData.h"
#include "VTErrorCreationLib/VTErrorProperties.h"
#include "VTErrorCreationLib/VTSCDConfiguration.h"
#include "VTErrorCreationLib/VTScrambledArchive.h"
#include "VTErrorCreationLib/VTSettings.h"
#include "VTSubmissionLib/Archive/VTArchive.h"
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

// An error folder's "data.vterr": user data of every value kind, two
// details' infos and parameters; and the empty data of a new error.
void errorData() {
    using platform::Value;
    VTErrorData data;
    data.setUserDataValue("note", Value("disk full"));
    data.setUserDataValue("count", Value(3));
    data.setUserDataValue("ratio", Value(0.25));
    data.setUserDataValue("retried", Value(true));
    data.setUserDataValue("when", Value(platform::Date{1.8e9}));
    data.setUserDataValue("bytes", Value(platform::Data{0, 1, 2, 255}));
    data.setUserDataValue("list", Value(platform::Array{Value("a"), Value(2)}));
    data.setUserDataValue("nested", Value(platform::Dictionary{{"k", Value(-1)}}));
    data.setDetailInfo(std::string(VTErrorStreamIDFVCrashReport),
                       {{std::string(VTErrorDataInfoDescriptionKey), Value("crash report")},
                        {std::string(VTErrorDataInfoOriginalPathKey), Value("/tmp/report.txt")},
                        {std::string(VTErrorDataInfoMIMETypeKey), Value("text/plain")}});
    data.setDetailInfo("trace.bin", {{std::string(VTErrorDataInfoMIMETypeKey),
                                      Value(VTErrorDataOctetStreamMIMEType)}});
    data.setParameter("phase", "download");
    data.setParameter("code", "-1009");
    seed("error_data", "data.vterr", VTKeyedArchiver::archivedDataWithRootObject(data));
    seed("error_data", "empty.vterr", VTKeyedArchiver::archivedDataWithRootObject(VTErrorData()));
}

// The settings file's archive in the clear (what "vtsettings.dat" holds
// before scrambling: the fuzz target scrambles its input as the file is),
// and the bucket settings, submission stats and remote settings on their own.
void settings() {
    using platform::Value;
    auto clear = [](const VTCodable& object) {
        platform::Data bytes;
        if (!VTEncodeScrambledArchive(&object, &bytes, kVTSettingsKeyTable, nullptr))
            throw std::runtime_error("settings do not encode");
        VTScrambleBytes(bytes, kVTSettingsKeyTable);
        return bytes;
    };
    VTSettings full;
    full.setConsentLevel(2);
    full.setActions(platform::Array{Value(platform::Dictionary{{"id", Value("a1")}})});
    full.setNotifications(platform::Array{Value("n1")});
    full.setLastSubmit(platform::Date{1.8e9});
    full.setLastDetail(platform::Date{1.8e9 - 60});
    VTBucketSettings bucket;
    bucket.timesSeen = 4;
    bucket.timesThrottled = 1;
    bucket.firstSeen = platform::Date{1.7e9};
    bucket.lastSeen = platform::Date{1.8e9};
    full.setSettings(bucket, 0x52656720);
    full.setSettings(VTBucketSettings{}, 7);
    VTSubmissionStats stats;
    stats.submissionCount = 3;
    stats.lastReset = platform::Date{1.8e9 - 3600};
    full.setStats(stats, kVTGatewayTypeUpload);
    seed("vtsettings", "settings", clear(full));
    seed("vtsettings", "default", clear(VTSettings()));
    seed("vtsettings", "bucket", VTKeyedArchiver::archivedDataWithRootObject(bucket));
    seed("vtsettings", "stats", VTKeyedArchiver::archivedDataWithRootObject(stats));
    seed("vtsettings", "remote",
         VTKeyedArchiver::archivedDataWithRootObject(VTRemoteSettings(true, 2)));
}

// Archives to extract: 7-Zip payloads from the payload writer (compressed,
// and stored with links inside the folder and, last, one leading out), and tar and
// cpio archives (libarchive's writers) with the entry kinds only they carry.
// The 7-Zip seeds hold the times of the files they were made from, so they
// differ from run to run.
void extractionArchives() {
    const fs::path folder =
        fs::temp_directory_path() / ("fuzzseeds-" + std::to_string(static_cast<long>(::getpid())));
    struct Cleanup {
        fs::path path;
        ~Cleanup() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    } cleanup{folder};
    fs::create_directories(folder / "top" / "sub");
    devsign::writeFile((folder / "top" / "summary.txt").string(), "summary\n");
    devsign::writeFile((folder / "top" / "sub" / "detail.log").string(), "detail detail\n");
    fs::create_directory_symlink("sub", folder / "top" / "inside");
    fs::create_symlink("inside/detail.log", folder / "top" / "chained");
    auto payload = [&](std::uint64_t flags, std::uint64_t options) {
        platform::Error error;
        auto archive = VTMemoryArchive::archiveWithFlags(flags, &error);
        if (!archive || !archive->addHierarchyAtURL((folder / "top").string(), options, &error) ||
            !archive->save(&error))
            throw std::runtime_error("payload not written: " + error.description());
        return archive->archiveData().contiguous();
    };
    seed("payload_extract", "payload.7z", payload(kVTArchiveFlagPayload, 0));
    fs::create_symlink("../outside", folder / "top" / "z-leading-out");
    seed("payload_extract", "links-stored.7z",
         payload(kVTArchiveFlagPayload | kVTArchiveFlagStore, kVTArchiveHierarchyKeepLinks));

    struct Entry {
        const char* name;
        unsigned type;
        const char* data = "";
        const char* symlink = nullptr;
        const char* hardlink = nullptr;
    };
    auto write = [](int (*format)(struct archive*), const std::vector<Entry>& entries) {
        struct archive* a = archive_write_new();
        std::vector<unsigned char> buffer(1 << 16);
        std::size_t used = 0;
        if (format(a) != ARCHIVE_OK || archive_write_set_bytes_in_last_block(a, 1) != ARCHIVE_OK ||
            archive_write_open_memory(a, buffer.data(), buffer.size(), &used) != ARCHIVE_OK)
            throw std::runtime_error(std::string("archive not begun: ") + archive_error_string(a));
        for (const Entry& e : entries) {
            struct archive_entry* entry = archive_entry_new();
            const std::string_view data(e.data);
            archive_entry_set_pathname(entry, e.name);
            archive_entry_set_filetype(entry, e.type);
            archive_entry_set_perm(entry, e.type == AE_IFDIR ? 0755 : 0644);
            archive_entry_set_size(entry, static_cast<la_int64_t>(data.size()));
            if (e.symlink) archive_entry_set_symlink(entry, e.symlink);
            if (e.hardlink) archive_entry_set_hardlink(entry, e.hardlink);
            const bool ok = archive_write_header(a, entry) == ARCHIVE_OK &&
                            (data.empty() || archive_write_data(a, data.data(), data.size()) ==
                                                 static_cast<la_ssize_t>(data.size()));
            archive_entry_free(entry);
            if (!ok) throw std::runtime_error(std::string("entry: ") + archive_error_string(a));
        }
        archive_write_close(a);
        archive_write_free(a);
        return platform::Data(buffer.begin(), buffer.begin() + static_cast<long>(used));
    };
    seed("payload_extract", "links.cpio",
         write(archive_write_set_format_cpio_newc, {{"d", AE_IFDIR},
                                                    {"d/f", AE_IFREG, "file\n"},
                                                    {"l", AE_IFLNK, "", "d"},
                                                    {"l/through", AE_IFREG, "x"},
                                                    {"loop", AE_IFLNK, "", "loop/.."},
                                                    {"h", AE_IFREG, "", nullptr, "d/f"}}));
    // Link layouts that the destination walk must see through (cpio carries
    // no checksum, so the fuzzer's changes to names and targets get read).
    const std::pair<const char*, std::vector<Entry>> layouts[] = {
        {"climb.cpio", {{"l1", AE_IFLNK, "", "."}, {"l1/l1/../../secret", AE_IFREG, "s"}}},
        {"chain.cpio",
         {{"a", AE_IFDIR},
          {"c", AE_IFDIR},
          {"a/b", AE_IFLNK, "", "../c"},
          {"a/b/x", AE_IFREG, "x"},
          {"d", AE_IFLNK, "", "a/b"},
          {"d/y", AE_IFREG, "y"}}},
        {"loop.cpio", {{"x", AE_IFLNK, "", "y"}, {"y", AE_IFLNK, "", "x"}, {"x/f", AE_IFREG, "f"}}},
        {"replace.cpio",
         {{"d", AE_IFDIR}, {"d/f", AE_IFREG, "f"}, {"d", AE_IFLNK, "", "elsewhere"}}},
        {"dotdot.cpio", {{"q/r", AE_IFDIR}, {"p", AE_IFLNK, "", "q/r/.."}, {"p/f", AE_IFREG, "f"}}},
    };
    for (const auto& [name, entries] : layouts)
        seed("payload_extract", name, write(archive_write_set_format_cpio_newc, entries));
    seed("payload_extract", "refused.tar",
         write(archive_write_set_format_ustar, {{"d", AE_IFDIR},
                                                {"d/up", AE_IFLNK, "", "../../x"},
                                                {"fifo", AE_IFIFO},
                                                {"/abs", AE_IFREG, "a"}}));
}

// A small package's files, unsigned.
devsign::XarOptions smallPackage() {
    devsign::XarOptions options;
    options.files = {{"Distribution", {'<', 'x', '/', '>', '\n'}}, {"Payload", {'p', 'a', 'y'}}};
    return options;
}

// The small package signed with `leafKey` (the development package key,
// which must outlive the options) and its certificate chain.
devsign::XarOptions signedSmallPackage(const std::string& keys,
                                       const devsign::PrivateKey& leafKey) {
    devsign::XarOptions options = smallPackage();
    devsign::XarSigning signing;
    signing.key = &leafKey;
    signing.certificates = {devsign::loadCertificatePEM(keys + "/package-signing.cert.pem"),
                            devsign::loadCertificatePEM(keys + "/root-ca.cert.pem")};
    options.signing = std::move(signing);
    options.checksumName = "sha256";
    return options;
}

devsign::PrivateKey packageKey(const std::string& keys) {
    return devsign::PrivateKey::loadPEM(keys + "/package-signing.DEVELOPMENT-ONLY.key.pem");
}

// Tables of contents of xar archives, as the xar writer lays them out
// before compressing them: files only, and files with a signature and its
// certificates.
void xarTables(const std::string& keys) {
    seed("xar_toc", "unsigned.xml", std::string_view(devsign::layoutXar(smallPackage()).tocXml));
    const auto leafKey = packageKey(keys);
    seed("xar_toc", "signed.xml",
         std::string_view(devsign::layoutXar(signedSmallPackage(keys, leafKey)).tocXml));
}

void signedFiles(const std::string& keys) {
    const auto dataKey =
        devsign::PrivateKey::loadPEM(keys + "/data-signing.DEVELOPMENT-ONLY.key.pem");
    seed("signature_block", "signed.json",
         devsign::makeSignedDataFile("{\"enabled\": true, \"items\": [1, 2, 3]}\n", dataKey));
    seed("signature_block", "FSD.flag",
         devsign::makeSignedDataFile("5B0E72A4-9C3D-4F81-A6E2-0D47C9B13F58\n", dataKey));

    seed("xar", "unsigned.pkg", devsign::buildXar(smallPackage()));
    const auto leafKey = packageKey(keys);
    seed("xar", "signed.pkg", devsign::buildXar(signedSmallPackage(keys, leafKey)));
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
        errorData();
        settings();
        extractionArchives();
        xarTables(argv[1]);
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
