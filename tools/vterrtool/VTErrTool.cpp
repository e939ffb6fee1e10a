#include "vterrtool/VTErrTool.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/System/SharedFolder.h"
#include "Platform/Values/Json.h"
#include "VTErrorCreationLib/Utilities/VTCoding.h"
#include "VTErrorCreationLib/Utilities/VTVersionUtilities.h"
#include "VTErrorCreationLib/VTClient.h"
#include "VTErrorCreationLib/VTErrorData.h"
#include "VTErrorCreationLib/VTErrorFolder.h"
#include "VTErrorCreationLib/VTErrorInstance.h"
#include "VTErrorCreationLib/VTErrorPayload.h"
#include "VTErrorCreationLib/VTLocalSettingsClient.h"
#include "VTErrorCreationLib/VTLogicalError.h"
#include "VTSubmissionLib/Archive/VTArchive.h"
#include "VTSubmissionLib/VTSubmissionFormat.h"
#include "VTSubmissionLib/VTSubmissionSession.h"

namespace vterrtool {

namespace {

int usage(std::FILE* err) {
    std::fprintf(err,
                 "usage: vterrtool make --base BASE\n"
                 "       vterrtool pack --error ERROR-FOLDER --out FILE.7z [--store]\n"
                 "       vterrtool unpack FILE.7z FOLDER\n"
                 "       vterrtool list --base BASE\n"
                 "       vterrtool clean --base BASE\n"
                 "       vterrtool submit --base BASE [--gateway URL] [--upload-gateway URL]\n");
    return 2;
}

/// An error with the chain of its underlying errors; an errno among them
/// is named.
std::string reasonText(const platform::Error& failure) {
    std::string text;
    for (const platform::Error* e = &failure; e; e = e->underlyingError()) {
        if (!text.empty()) text += "; ";
        text += e->description();
        if ((e->domain() == platform::kPOSIXErrorDomain ||
             e->domain() == VTLibarchiveErrorDomain) &&
            e->code() > 0)
            text += std::string(" (") + std::strerror(static_cast<int>(e->code())) + ")";
    }
    return text;
}

std::string absolute(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::absolute(path, ignored).lexically_normal().string();
}

int makeError(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    if (args.size() != 3 || args[1] != "--base") return usage(err);
    const std::string base = absolute(args[2]);
    auto client = VTClient::embeddedClientWithConfig(
        VTSCDConfiguration::hardcodedConfigurationUsingPath(base), nullptr);
    // What an error ping needs of the product and the machine.
    client->setProductName(std::string("vterrtool"));
    client->setProductVersion(std::string("1.0.0"));
    client->setMachineID(VTUUID().UUIDString());
    client->setMid(VTUUID().UUIDString());
    platform::Error failure;
    auto error = client->createLogicalErrorInComponent(
        "vterrtool", reinterpret_cast<const void*>(&makeError), 0x7674, 1, false, &failure);
    if (!error) {
        std::fprintf(err, "vterrtool: no error made: %s\n",
                     failure.empty() ? "error reporting is off for this base"
                                     : failure.description().c_str());
        return 1;
    }
    error->addParameterDataWithKey("tool", "vterrtool", nullptr);
    const std::string notes = "Made by vterrtool for trying out payloads.\n";
    if (!error->addDetailData(platform::Data(notes.begin(), notes.end()), "Notes",
                              std::string("free text"), &failure) ||
        !error->save(&failure)) {
        std::fprintf(err, "vterrtool: %s\n", failure.description().c_str());
        return 1;
    }
    std::fprintf(out, "%s\n", error->fileURL()->c_str());
    return 0;
}

/// One saved error: its folder and whether it is final ("Submissions").
struct SavedError {
    std::string folder;
    bool final = false;
    VTErrorProperties summary;
};

/// An error folder that cannot be opened as an error, and why.
struct DamagedError {
    std::string folder;
    std::string reason;
};

/// Decodes one of an error folder's own files; the reason it cannot be.
template <class T>
std::optional<T> decodeIn(const platform::SharedFolder& folder, std::string_view name,
                          std::string* reason) {
    platform::Data bytes;
    if (!folder.readFile(name, bytes)) {
        *reason = errno == ENOENT
                      ? "no " + std::string(name)
                      : std::string(name) + " unreadable (" + std::strerror(errno) + ")";
        return std::nullopt;
    }
    if (bytes.empty()) {
        *reason = "empty " + std::string(name);
        return std::nullopt;
    }
    platform::Error failure;
    auto object = VTCodingUtilities::objectWithData<T>(bytes, &failure);
    if (!object)
        *reason = std::string(name) + " does not decode (" + failure.localizedDescription() + ")";
    return object;
}

/// The error folders under the base's "Errors" and "Submissions" folders
/// (their buckets, and root's buckets beside them), read by descriptor:
/// the whole ones and the damaged ones.
void savedErrors(const VTSCDConfiguration& configuration, std::vector<SavedError>* whole,
                 std::vector<DamagedError>* damaged) {
    using platform::SharedFolder;
    const std::pair<std::optional<std::string>, bool> roots[] = {
        {configuration.undetailedLogicalErrorsPath(), false}, {configuration.errorsPath(), true}};
    for (const auto& [rootPath, final] : roots) {
        if (!rootPath) continue;
        auto root = SharedFolder::open(*rootPath, SharedFolder::Trust::Any, nullptr);
        auto buckets = root ? root->entries(nullptr) : std::nullopt;
        if (!buckets) continue;
        std::sort(buckets->begin(), buckets->end());
        for (const std::string& name : *buckets) {
            struct stat st {};
            if (!root->statEntry(name, &st) || !S_ISDIR(st.st_mode)) continue;
            auto bucket = root->child(name, SharedFolder::Trust::Any, nullptr);
            auto uuids = bucket ? bucket->entries(nullptr) : std::nullopt;
            if (!uuids) continue;
            std::sort(uuids->begin(), uuids->end());
            for (const std::string& uuid : *uuids) {
                if (!bucket->statEntry(uuid, &st) || !S_ISDIR(st.st_mode)) continue;
                auto folder = bucket->child(uuid, SharedFolder::Trust::Any, nullptr);
                if (!folder) continue;
                std::string reason;
                auto summary =
                    decodeIn<VTErrorProperties>(*folder, vtfolder::kSummaryFileName, &reason);
                if (summary && decodeIn<VTErrorData>(*folder, vtfolder::kDataFileName, &reason))
                    whole->push_back({folder->path(), final, std::move(*summary)});
                else if (damaged)
                    damaged->push_back({folder->path(), std::move(reason)});
            }
        }
    }
}

void reportDamaged(const std::vector<DamagedError>& damaged, std::FILE* err) {
    for (const DamagedError& d : damaged)
        std::fprintf(err, "vterrtool: damaged error folder %s: %s\n", d.folder.c_str(),
                     d.reason.c_str());
}

VTSCDConfiguration configurationForBase(const std::string& base) {
    if (std::filesystem::exists(base + "/vtscd.dat"))
        if (auto c = VTSCDConfiguration::configurationWithContentsOfPath(base + "/vtscd.dat", base,
                                                                         nullptr))
            return *c;
    return VTSCDConfiguration::hardcodedConfigurationUsingPath(base);
}

std::string timeText(const std::optional<platform::Date>& date) {
    if (!date) return "-";
    std::time_t t = static_cast<std::time_t>(date->secondsSince1970);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

/// The saved errors of the arguments "<command> --base B", as savedErrors()
/// finds them; false, with nothing read, for other arguments.
bool savedErrorsOfBase(const std::vector<std::string>& args, std::vector<SavedError>* whole,
                       std::vector<DamagedError>* damaged) {
    if (args.size() != 3 || args[1] != "--base") return false;
    savedErrors(configurationForBase(absolute(args[2])), whole, damaged);
    return true;
}

int list(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    std::vector<SavedError> whole;
    std::vector<DamagedError> damaged;
    if (!savedErrorsOfBase(args, &whole, &damaged)) return usage(err);
    // Folders that are no whole error are named, not skipped in silence:
    // "clean" removes them.
    reportDamaged(damaged, err);
    for (const SavedError& e : whole) {
        const VTErrorProperties& s = e.summary;
        std::fprintf(out, "%s %s type=%llu product=%s time=%s %s\n",
                     VTStringUtilities::stringWithBucketID(s.bucketId()).c_str(),
                     s.failureUUID() ? s.failureUUID()->UUIDString().c_str() : "-",
                     static_cast<unsigned long long>(s.failureType()),
                     s.productName().value_or("-").c_str(), timeText(s.failureTime()).c_str(),
                     e.final ? "final" : "not-final");
    }
    return 0;
}

int clean(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    std::vector<SavedError> whole;
    std::vector<DamagedError> damaged;
    if (!savedErrorsOfBase(args, &whole, &damaged)) return usage(err);
    int status = 0;
    for (const DamagedError& d : damaged) {
        // By descriptor from the bucket held open, never following a link.
        auto bucket = vtfolder::openFolder(vtfolder::parentOf(d.folder),
                                           platform::SharedFolder::Trust::Any, nullptr);
        const int code = bucket ? bucket->removeTree(vtfolder::nameOf(d.folder), true) : errno;
        if (code == 0) {
            std::fprintf(out, "removed %s (%s)\n", d.folder.c_str(), d.reason.c_str());
            if (bucket) vtfolder::removeEmptyBucket(*bucket);
        } else {
            std::fprintf(err, "vterrtool: %s not removed: %s\n", d.folder.c_str(),
                         std::strerror(code));
            status = 1;
        }
    }
    return status;
}

/// The text of a submission result code.
const char* resultText(std::int32_t code) {
    switch (code) {
        case kVTSubmissionResultPingFailed:
            return "ping failed";
        case kVTSubmissionResultPinged:
            return "pinged";
        case kVTSubmissionResultThrottled:
            return "throttled";
        case kVTSubmissionResultPayloadTooLarge:
            return "payload too large";
        case kVTSubmissionResultUploaded:
            return "uploaded";
        case kVTSubmissionResultUploadFailed:
            return "upload failed";
        case kVTSubmissionResultBadResponse:
            return "unusable ping response";
        case kVTSubmissionResultInvalidError:
            return "invalid error record";
        default:
            return "unknown result";
    }
}

/// Prints every delegate call as one JSON line.
class JsonLines : public VTSubmissionSessionDelegate {
  public:
    explicit JsonLines(std::FILE* out) : out_(out) {}
    void sessionDidStart(VTSubmissionSession&) override { line("sessionDidStart", nullptr); }
    void willBeginPingForError(VTSubmissionSession&, VTError& e) override {
        line("willBeginPing", &e);
    }
    void didFinishPingForError(VTSubmissionSession&, VTError& e,
                               const platform::Error& f) override {
        line("didFinishPing", &e, &f);
    }
    void willBeginUploadForError(VTSubmissionSession&, VTError& e) override {
        line("willBeginUpload", &e);
    }
    void didFinishUploadForError(VTSubmissionSession&, VTError& e,
                                 const platform::Error& f) override {
        line("didFinishUpload", &e, &f);
    }
    void didFinishProcessingError(VTSubmissionSession&, VTError& e, std::int32_t code,
                                  const platform::Error& f) override {
        line("didFinishProcessing", &e, &f, code);
        std::lock_guard lock(mutex_);
        if (e.summaryData().failureUUID())
            results_[e.summaryData().failureUUID()->UUIDString()] = {code, f};
    }
    void sessionDidEnd(VTSubmissionSession&, const platform::Error& f) override {
        line("sessionDidEnd", nullptr, &f);
        {
            std::lock_guard lock(mutex_);
            ended_ = true;
            failed_ = !f.empty();
        }
        platform::RunLoop::stop();
    }
    bool ended() {
        std::lock_guard lock(mutex_);
        return ended_;
    }
    bool failed() {
        std::lock_guard lock(mutex_);
        return failed_;
    }
    /// The result of the error with that UUID text, when it was processed.
    std::optional<std::pair<std::int32_t, platform::Error>> result(const std::string& uuid) {
        std::lock_guard lock(mutex_);
        auto it = results_.find(uuid);
        if (it == results_.end()) return std::nullopt;
        return it->second;
    }

  private:
    void line(const char* event, VTError* e, const platform::Error* f = nullptr,
              std::optional<std::int32_t> code = std::nullopt) {
        platform::Dictionary d;
        d["event"] = platform::Value(event);
        if (e && e->summaryData().failureUUID())
            d["error"] = platform::Value(e->summaryData().failureUUID()->UUIDString());
        if (code) d["resultCode"] = platform::Value(static_cast<std::int64_t>(*code));
        if (f && !f->empty()) {
            d["errorDomain"] = platform::Value(f->domain());
            d["errorCode"] = platform::Value(static_cast<std::int64_t>(f->code()));
        }
        auto text = platform::json::serialize(platform::Value(std::move(d)),
                                              platform::json::WriteStyle::Compact, nullptr);
        std::lock_guard lock(mutex_);
        std::fprintf(out_, "%s\n", text ? text->c_str() : "{}");
        std::fflush(out_);
    }

    std::FILE* out_;
    std::mutex mutex_;
    bool ended_ = false;
    bool failed_ = false;
    std::map<std::string, std::pair<std::int32_t, platform::Error>> results_;
};

int submit(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    std::optional<std::string> base, ping, upload;
    for (std::size_t i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--base")
            base = absolute(args[i + 1]);
        else if (args[i] == "--gateway")
            ping = args[i + 1];
        else if (args[i] == "--upload-gateway")
            upload = args[i + 1];
        else
            return usage(err);
    }
    if (!base || args.size() % 2 == 0) return usage(err);
    VTSCDConfiguration configuration = configurationForBase(*base);
    if (ping || upload) {
        std::vector<VTGateway> gateways;
        for (const VTGateway& g : configuration.gateways())
            if ((g.type() == kVTGatewayTypePing && !ping) ||
                (g.type() == kVTGatewayTypeUpload && !upload))
                gateways.push_back(g);
        const std::pair<std::optional<std::string>, std::int32_t> given[] = {
            {ping, kVTGatewayTypePing}, {upload, kVTGatewayTypeUpload}};
        for (const auto& [url, type] : given) {
            if (!url) continue;
            auto gateway = VTGateway::initWithTypePriorityURL(type, 0, *url);
            if (!gateway) {
                std::fprintf(err, "vterrtool: not a gateway URL: %s\n", url->c_str());
                return 2;
            }
            gateways.push_back(*gateway);
        }
        configuration.setGateways(std::move(gateways));
    }
    std::vector<SavedError> saved;
    std::vector<DamagedError> damaged;
    savedErrors(configuration, &saved, &damaged);
    reportDamaged(damaged, err);
    auto client = VTClient::embeddedClientWithConfig(configuration, nullptr);
    platform::Error failure;
    auto settings =
        VTLocalSettingsClient::initWithConfiguration(client->scdConfiguration(), &failure);
    if (!settings) {
        std::fprintf(err, "vterrtool: no settings: %s\n", failure.description().c_str());
        return 1;
    }
    auto session = VTSubmissionSession::initWithClient(client, settings);
    auto lines = std::make_shared<JsonLines>(out);
    session->setDelegate(lines);
    std::vector<std::string> submitted;
    bool undelivered = false;
    for (const SavedError& e : saved) {
        auto error = client->createErrorFromPersistentData(e.folder, e.final ? 0 : 1, &failure);
        if (error) {
            session->submitError(error);
            submitted.push_back(e.summary.failureUUID() ? e.summary.failureUUID()->UUIDString()
                                                        : e.folder);
        } else {
            std::fprintf(err, "vterrtool: %s not opened: %s\n", e.folder.c_str(),
                         failure.description().c_str());
            undelivered = true;
        }
    }
    if (!session->start(&failure)) {
        std::fprintf(err, "vterrtool: the session did not start: %s\n",
                     failure.description().c_str());
        session->cancel();
        return 1;
    }
    session->finish();
    while (!lines->ended()) platform::RunLoop::run();
    // One line per error: the session's own success says nothing about an
    // upload that the gateway cut off.
    for (const std::string& uuid : submitted) {
        auto result = lines->result(uuid);
        if (!result) {
            std::fprintf(err, "vterrtool: %s: not processed\n", uuid.c_str());
            undelivered = true;
            continue;
        }
        const auto& [code, reason] = *result;
        const bool delivered =
            code == kVTSubmissionResultPinged || code == kVTSubmissionResultUploaded;
        undelivered = undelivered || !delivered;
        std::fprintf(err, "vterrtool: %s: result %d (%s)%s%s\n", uuid.c_str(), code,
                     resultText(code), reason.empty() ? "" : ": ",
                     reason.empty() ? "" : reasonText(reason).c_str());
    }
    return lines->failed() || undelivered ? 1 : 0;
}

int pack(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    std::optional<std::string> folder, file;
    bool store = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--store")
            store = true;
        else if (args[i] == "--error" && i + 1 < args.size())
            folder = absolute(args[++i]);
        else if (args[i] == "--out" && i + 1 < args.size())
            file = absolute(args[++i]);
        else
            return usage(err);
    }
    if (!folder || !file) return usage(err);
    platform::Error failure;
    auto properties = VTCodingUtilities::objectWithContentsOfFile<VTErrorProperties>(
        *folder + "/summary.vterr", &failure);
    std::optional<VTErrorData> data;
    if (properties)
        data = VTCodingUtilities::objectWithContentsOfFile<VTErrorData>(*folder + "/data.vterr",
                                                                        &failure);
    if (!properties || !data) {
        std::fprintf(err, "vterrtool: %s is no saved error: %s\n", folder->c_str(),
                     failure.description().c_str());
        return 1;
    }
    auto error = VTErrorInstance::loadWithProperties(std::move(properties), std::move(data),
                                                     *folder, nullptr, 1);
    VTSCDConfiguration configuration;
    configuration.setCompressPayload(!store);
    auto payload = VTErrorPayload::payloadFileWithError(error, *file, configuration, &failure);
    if (!payload) {
        std::fprintf(err, "vterrtool: packing failed: %s\n",
                     failure.empty() ? "nothing to pack" : reasonText(failure).c_str());
        return 1;
    }
    std::fprintf(out, "%s: %llu entries, %llu bytes of details\n", file->c_str(),
                 static_cast<unsigned long long>(payload->numberOfFiles()),
                 static_cast<unsigned long long>(payload->uncompressedSize()));
    return 0;
}

int unpack(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    if (args.size() != 3) return usage(err);
    const std::string file = absolute(args[1]);
    const std::string folder = absolute(args[2]);
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    auto client = VTClient::embeddedClientWithConfig(
        VTSCDConfiguration::hardcodedConfigurationUsingPath(folder), nullptr);
    platform::Error failure;
    auto payload = VTErrorPayload::payloadWithPayloadURL(file, folder, *client, &failure);
    if (!payload) {
        std::fprintf(err, "vterrtool: unpacking failed%s%s\n", failure.empty() ? "" : ": ",
                     failure.empty() ? "" : failure.description().c_str());
        return 1;
    }
    std::fprintf(out, "%s\n%s\n", payload->error()->fileURL()->c_str(),
                 payload->error()->summaryData().description().c_str());
    return 0;
}

}  // namespace

int run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    if (args.empty()) return usage(err);
    if (args[0] == "make") return makeError(args, out, err);
    if (args[0] == "pack") return pack(args, out, err);
    if (args[0] == "unpack") return unpack(args, out, err);
    if (args[0] == "list") return list(args, out, err);
    if (args[0] == "submit") return submit(args, out, err);
    if (args[0] == "clean") return clean(args, out, err);
    return usage(err);
}

}  // namespace vterrtool
