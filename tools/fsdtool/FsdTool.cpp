#include "FsdTool.h"

#include <signal.h>

#include <atomic>
#include <chrono>

#include "Downloader/FSDError.h"
#include "Downloader/PelFSD.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Dispatch/SignalSource.h"
#include "Platform/Values/Json.h"

namespace {

enum class State { Running, Done, Failed };

// The error with its downloader message and every error beneath it.
std::string describe(const platform::Error& error) {
    std::string text;
    for (const platform::Error* e = &error; e; e = e->underlyingError()) {
        if (!text.empty()) text += " <- ";
        text += e->domain() + " " + std::to_string(e->code());
        std::string message = fsdErrorMessage(*e);
        if (message.empty() && e->domain() != kFSDErrorDomain) message = e->localizedDescription();
        if (!message.empty()) text += " (" + message + ")";
    }
    return text;
}

// Reports every call; runs on the main queue only.
class ToolDelegate final : public PelFSDProtocol {
  public:
    ToolDelegate(std::FILE* out, std::FILE* err, bool json) : out_(out), err_(err), json_(json) {}

    bool respondsTo(PelFSDOperation) const override { return true; }
    void numberOfJobs(std::uint64_t jobs, std::uint64_t files) override {
        files_ = files;
        emit({{"call", "numberOfJobs"}, {"jobs", jobs}, {"files", files}});
        std::fprintf(err_, "fsdtool: %llu file(s) to fetch\n",
                     static_cast<unsigned long long>(files));
        countsKnown_ = true;
        check();
    }
    void downloadDidFinish() override {
        ++finished_;
        emit({{"call", "downloadDidFinish"}});
        std::fprintf(err_, "fsdtool: file %llu of %llu done\n",
                     static_cast<unsigned long long>(finished_),
                     static_cast<unsigned long long>(files_));
        check();
    }
    void downloadDidFailWithError(const platform::Error& error) override {
        emit({{"call", "downloadDidFailWithError"},
              {"domain", error.domain()},
              {"code", static_cast<long long>(error.code())},
              {"description", describe(error)}});
        std::fprintf(err_, "fsdtool: download failed: %s\n", describe(error).c_str());
        state_ = State::Failed;
    }
    void downloadDidBegin() override { emit({{"call", "downloadDidBegin"}}); }
    void downloadSize(std::int64_t size) override {
        size_ = size;
        emit({{"call", "downloadSize"}, {"size", static_cast<long long>(size)}});
    }
    void downloadDidCreateDestination(const std::string& path) override {
        emit({{"call", "downloadDidCreateDestination"}, {"path", path}});
    }
    void downloadWithDataOfLength(std::uint64_t length) override {
        emit({{"call", "downloadWithDataOfLength"}, {"length", length}});
        if (size_ > 0) {
            int percent = static_cast<int>(length * 100 / static_cast<std::uint64_t>(size_));
            if (percent / 10 != lastDecile_) {
                lastDecile_ = percent / 10;
                std::fprintf(err_, "fsdtool: %d%%\n", percent);
            }
        }
    }

    State state() const { return state_; }
    void fail() { state_ = State::Failed; }

  private:
    void check() {
        if (countsKnown_ && finished_ >= files_ && state_ == State::Running) state_ = State::Done;
    }
    void emit(platform::Dictionary fields) {
        if (!json_) return;
        auto text = platform::json::serialize(platform::Value(std::move(fields)),
                                              platform::json::WriteStyle::Compact, nullptr);
        if (!text) return;
        std::fprintf(out_, "%s\n", text->c_str());
        std::fflush(out_);
    }

    std::FILE* out_;
    std::FILE* err_;
    bool json_;
    std::uint64_t files_ = 0, finished_ = 0;
    bool countsKnown_ = false;
    std::int64_t size_ = -1;
    int lastDecile_ = -1;
    State state_ = State::Running;
};

}  // namespace

int runFsdToolFetch(const FsdToolOptions& options, std::FILE* out, std::FILE* err) {
    if (options.pingHost) StatPing::setEndpointHosts(*options.pingHost, *options.pingHost);
    auto pings = PelFSDPingUtils::createFSDPingUtilsWithQueueName(
        std::string("com.pelgrave.fsdtool.ping"), std::string("fsdtool"), std::string("1.0"),
        std::string("1"), std::nullopt);
    auto delegate = std::make_shared<ToolDelegate>(out, err, options.json);

    platform::Error error;
    auto fsd = PelFSD::createFSD(options.manifestPath, options.sigPath, options.downloadFolder,
                                 delegate, pings, &error);
    if (!fsd) {
        std::fprintf(err, "fsdtool: %s\n", describe(error).c_str());
        return kFsdToolFailed;
    }

    std::atomic<bool> interrupted{false};
    auto onSignal = [&] {
        if (interrupted.exchange(true)) return;
        std::fprintf(err, "fsdtool: cancelling\n");
        fsd->cancelFSDDownload();
    };
    auto sigint = platform::SignalSource::create(SIGINT, platform::mainQueue(), onSignal);
    auto sigterm = platform::SignalSource::create(SIGTERM, platform::mainQueue(), onSignal);

    if (options.setupInstallerFirst) {
        bool setupDone = false;
        bool started = fsd->performSetupInstallerFile(
            &error, [&](bool ok, const std::optional<std::string>& reqs,
                        const std::optional<std::string>& logo, const platform::Error* e) {
                setupDone = true;
                if (!ok) {
                    std::fprintf(err, "fsdtool: setup installer failed: %s\n",
                                 e ? describe(*e).c_str() : "");
                    delegate->fail();
                    return;
                }
                std::fprintf(err, "fsdtool: setup installer: requirements %s, logo %s\n",
                             reqs ? reqs->c_str() : "(none)", logo ? logo->c_str() : "(none)");
            });
        if (!started && error.code() != kFSDErrorNoSetupInstaller) {
            std::fprintf(err, "fsdtool: %s\n", describe(error).c_str());
            return kFsdToolFailed;
        }
        if (started)
            platform::RunLoop::runUntil([&] { return setupDone || interrupted; },
                                        std::chrono::hours(24 * 365));
        if (delegate->state() == State::Failed) return kFsdToolFailed;
    }
    if (!interrupted) fsd->startFSDDownload();
    platform::RunLoop::runUntil([&] { return interrupted || delegate->state() != State::Running; },
                                std::chrono::hours(24 * 365));
    if (interrupted) {
        // Wait for the transfers to write their resume files.
        platform::RunLoop::runUntil([&] { return fsd->download()->isIdle(); },
                                    std::chrono::seconds(60));
        fsd->download()->waitForQueuedWork();
        return kFsdToolInterrupted;
    }
    fsd->download()->waitForQueuedWork();
    return delegate->state() == State::Done ? kFsdToolDone : kFsdToolFailed;
}
