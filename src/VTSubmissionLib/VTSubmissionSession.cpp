#include "VTSubmissionLib/VTSubmissionSession.h"

#include <syslog.h>

#include <cstdio>
#include <thread>
#include <utility>

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Http/HttpError.h"
#include "Platform/System/NetworkReachability.h"
#include "VTErrorCreationLib/Utilities/VTLog.h"
#include "VTErrorCreationLib/Utilities/VTProbability.h"
#include "VTErrorCreationLib/Utilities/VTTrace.h"
#include "VTErrorCreationLib/Utilities/VTVersionUtilities.h"
#include "VTErrorCreationLib/VTErrorPayload.h"
#include "VTSubmissionLib/VTSubmissionConnection.h"
#include "VTSubmissionLib/VTSubmissionStatPingOperation.h"
#include "VTSubmissionLib/VTSubmissionUpload.h"

using platform::Error;

namespace {

constexpr double kReferenceDate = 978307200.0;  // 2001-01-01, an unset date
constexpr double kSecondsPerDay = 86400.0;
constexpr std::uint32_t kInterventionRequired = 0x10;

Error submissionError(long code) { return Error(std::string(VTSubmissionErrorDomain), code); }

bool inSubmissionDomain(const Error& e) { return e.domain() == VTSubmissionErrorDomain; }

std::mutex gHostMutex;
std::string gReachabilityHost = "www.pelgrave.com";

using Method = VTSubmissionSessionDelegate::Method;

}  // namespace

// --- counters ---------------------------------------------------------------------

std::optional<platform::Date> VTSubmissionSessionState::submissionStartTime() const {
    std::lock_guard lock(mutex_);
    return start_;
}
void VTSubmissionSessionState::setSubmissionStartTime(platform::Date date) {
    std::lock_guard lock(mutex_);
    start_ = date;
}
std::optional<platform::Date> VTSubmissionSessionState::submissionEndTime() const {
    std::lock_guard lock(mutex_);
    return end_;
}
void VTSubmissionSessionState::setSubmissionEndTime(platform::Date date) {
    std::lock_guard lock(mutex_);
    end_ = date;
}

// --- the session ---------------------------------------------------------------------

std::shared_ptr<VTSubmissionSession> VTSubmissionSession::initWithClient(
    std::shared_ptr<VTClient> client, std::shared_ptr<VTSettingsClient> settingsClient) {
    std::shared_ptr<VTSubmissionSession> session(
        new VTSubmissionSession(std::move(client), std::move(settingsClient)));
    // The closing operation exists from the start, so finish() may come at any time.
    std::weak_ptr<VTSubmissionSession> weak = session;
    session->finishedOperation_ = platform::BlockOperation::create([weak] {
        if (auto s = weak.lock()) s->runClosingSteps();
    });
    session->finishedOperation_->setName("VTSubmissionSession Finished");
    return session;
}

VTSubmissionSession::VTSubmissionSession(std::shared_ptr<VTClient> client,
                                         std::shared_ptr<VTSettingsClient> settingsClient)
    : client_(std::move(client)),
      settingsClient_(std::move(settingsClient)),
      queue_(platform::OperationQueue::create("VTSubmissionSession")),
      createdAt_(platform::Date::now()),
      createdClock_(platform::defaultClock()->now()) {
    queue_->setQualityOfService(platform::QualityOfService::Utility);
    queue_->setMaxConcurrentOperationCount(2);
    queue_->setSuspended(true);
    // Counters need a settings object to live in, even before the first save.
    if (settingsClient_ && !settingsClient_->settings()) {
        auto fresh = std::make_shared<VTSettings>();
        fresh->setClient(settingsClient_);
        settingsClient_->setSettings(std::move(fresh));
    }
    if (auto maker = VTActionsRegistry::actionsManagerMaker())
        actionsManager_ = maker(configuration(), settingsClient_);
}

VTSubmissionSession::~VTSubmissionSession() = default;

platform::Date VTSubmissionSession::now() const {
    const auto elapsed = platform::defaultClock()->now() - createdClock_;
    return platform::Date{createdAt_.secondsSince1970 +
                          std::chrono::duration<double>(elapsed).count()};
}

void VTSubmissionSession::setReachabilityHost(std::string host) {
    std::lock_guard lock(gHostMutex);
    gReachabilityHost = host.empty() ? "www.pelgrave.com" : std::move(host);
}

std::string VTSubmissionSession::reachabilityHost() {
    std::lock_guard lock(gHostMutex);
    return gReachabilityHost;
}

void VTSubmissionSession::setDelegate(std::weak_ptr<VTSubmissionSessionDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<VTSubmissionSessionDelegate> VTSubmissionSession::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

std::shared_ptr<VTActionsManager> VTSubmissionSession::actionsManager() const {
    std::lock_guard lock(mutex_);
    return actionsManager_;
}

void VTSubmissionSession::setActionsManager(std::shared_ptr<VTActionsManager> manager) {
    std::lock_guard lock(mutex_);
    actionsManager_ = std::move(manager);
}

Error VTSubmissionSession::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

void VTSubmissionSession::setError(Error error) {
    std::lock_guard lock(mutex_);
    error_ = std::move(error);
}

std::shared_ptr<const VTSCDConfiguration> VTSubmissionSession::configuration() const {
    return client_ ? client_->scdConfiguration() : nullptr;
}

VTSubmissionContext VTSubmissionSession::context() const {
    VTSubmissionContext c;
    c.configuration = configuration();
    c.settingsClient = settingsClient_;
    c.client = client_;
    c.httpClient = httpClient_;
    return c;
}

bool VTSubmissionSession::start(Error* error) {
    if (finished_ || started_) {
        platform::setError(error, submissionError(kVTSubmissionErrorSession));
        return false;
    }
    const std::string host = reachabilityHost();
    auto reachability = platform::networkReachability();
    if (!reachability || !reachability->canCheckHost(host)) {
        platform::setError(error, submissionError(kVTSubmissionErrorSession));
        return false;
    }
    std::uint32_t flags = 0;
    if (!reachability->flagsForHost(host, &flags)) flags = platform::kReachabilityReachable;
    if (flags & kInterventionRequired) {
        platform::setError(error,
                           platform::makeURLError(platform::kURLErrorNotConnectedToInternet, ""));
        return false;
    }
    VT_TRACE(VTSubmission_StartSession);
    started_ = true;
    if (auto d = delegate(); d && d->implements(Method::SessionDidStart)) d->sessionDidStart(*this);
    statistics_.setSubmissionStartTime(now());
    queue_->setSuspended(false);
    return true;
}

bool VTSubmissionSession::submitError(std::shared_ptr<VTError> error) {
    if (finished_ || !error) return false;
    VT_TRACE(VTSubmission_SubmitError, "error");
    auto submission = std::make_shared<VTServerSubmission>(error);
    auto op = std::make_shared<VTSubmissionPingOperation>(
        weak_from_this(), submission, error->summaryData().probabilityApplied());
    ++statistics_.numErrorsQueued;
    if (error->summaryData().failureType() == 2)
        ++statistics_.newLogicalErrors;
    else
        ++statistics_.newCrashes;
    addOperation(op);
    return true;
}

void VTSubmissionSession::throttledError(std::shared_ptr<VTError>) {
    VT_TRACE(VTSubmission_ThrottledError, "error");
    if (!finished_) ++statistics_.numErrorsQueued;
}

void VTSubmissionSession::addOperation(const platform::OperationPtr& op) {
    if (!op) return;
    finishedOperation_->addDependency(op);
    queue_->addOperation(op);
}

void VTSubmissionSession::finish() {
    if (finished_.exchange(true)) return;
    VT_TRACE(VTSubmission_FinishOperations);
    queue_->addOperation(finishedOperation_);
}

void VTSubmissionSession::cancel(std::chrono::milliseconds bound) {
    finished_ = true;
    queue_->cancelAllOperations();
    // Cancelled operations finish through their own start(), which a
    // suspended queue never calls.
    queue_->setSuspended(false);
    const auto deadline = std::chrono::steady_clock::now() + bound;
    if (platform::isMainThread()) {
        // Connections call back on the main queue: keep it going while waiting.
        while (!queue_->waitUntilAllOperationsAreFinishedFor(std::chrono::milliseconds(5)) &&
               std::chrono::steady_clock::now() < deadline)
            platform::MainQueue::shared()->drain();
    } else {
        queue_->waitUntilAllOperationsAreFinishedFor(deadline - std::chrono::steady_clock::now());
    }
    endSession(platform::makeURLError(platform::kURLErrorCancelled, ""));
}

void VTSubmissionSession::endSession(const Error& error) {
    if (ended_.exchange(true)) return;
    VT_TRACE(VTSubmission_FinishSession);
    if (auto d = delegate(); d && d->implements(Method::SessionDidEnd))
        d->sessionDidEnd(*this, error);
}

void VTSubmissionSession::runClosingSteps() {
    const Error sessionError = error();
    auto settings = context().settings();
    if (sessionError.empty() && settings) settings->setLastSubmit(now());
    // The counters changed during the session: keep them for the next one.
    if (settingsClient_) {
        Error saveError;
        if (!settingsClient_->save(&saveError))
            VTLog(3, "Saving the submission counters failed: %s", saveError.description().c_str());
    }
    if (sessionError.empty() &&
        (statistics_.numErrorsQueued.load() != 0 || statistics_.numPingsSubmitted.load() != 0)) {
        auto statPing = std::make_shared<VTSubmissionStatPingOperation>(shared_from_this());
        std::weak_ptr<VTSubmissionSession> weak = weak_from_this();
        auto endOp = platform::BlockOperation::create([weak] {
            if (auto s = weak.lock()) s->endSession(s->error());
        });
        endOp->setName("VTSubmissionSession StatPing");
        endOp->addDependency(statPing);
        queue_->addOperation(endOp);
        queue_->addOperation(statPing);
        return;
    }
    endSession(sessionError);
}

// --- operations -------------------------------------------------------------------------

VTSubmissionOperation::VTSubmissionOperation(std::weak_ptr<VTSubmissionSession> session,
                                             std::shared_ptr<VTServerSubmission> submission,
                                             bool ignoreGatewayThrottle)
    : session_(std::move(session)),
      submission_(std::move(submission)),
      ignoreGatewayThrottle_(ignoreGatewayThrottle) {}

void VTSubmissionOperation::start() {
    if (isCancelled()) {
        markFinished();
        return;
    }
    markExecuting();
    auto self = std::static_pointer_cast<VTSubmissionOperation>(shared_from_this());
    std::thread([self] {
        try {
            self->run();
        } catch (const std::exception& e) {
            VTLog(3, "Submission operation failed: %s", e.what());
            self->markFinished();
        } catch (...) {
            self->markFinished();
        }
    }).detach();
}

bool VTSubmissionStartsNewWindow(const VTSubmissionStats& stats, platform::Date now) {
    if (stats.submissionCount == 0 || !stats.lastReset ||
        stats.lastReset->secondsSince1970 == kReferenceDate)
        return true;
    const double elapsed = now.secondsSince1970 - stats.lastReset->secondsSince1970;
    return elapsed > kSecondsPerDay || elapsed < 0;
}

bool VTSubmissionOperation::checkSubmissionLimit(std::int32_t type) {
    auto session = this->session();
    if (!session) return false;
    auto config = session->configuration();
    if (!config) return false;
    VT_TRACE(VTSubmission_CheckServerThrottle_Enter, type, ignoreGatewayThrottle_ ? 1 : 0);
    if (!ignoreGatewayThrottle_) {
        const std::uint32_t p = type == kVTGatewayTypeUpload ? config->uploadSubmissionProbability()
                                                             : config->pingProbability();
        VTErrorProperties& summary = submission_->errorReport()->summaryData();
        summary.setProbability(p);
        summary.setProbabilityApplied(true);
        if (!VTTestProbability(static_cast<int>(p))) {
            VT_TRACE(VTSubmission_CheckServerThrottle_Exit, 0);
            return false;
        }
    }
    if (!session->context().settings()) return true;
    const std::uint32_t limit = type == kVTGatewayTypeUpload ? config->maxUploadSubmissionsPerDay()
                                                             : config->maxPingSubmissionsPerDay();
    auto countOne = [&](VTSubmissionStats& stats) {
        // Read under the settings lock: a window another process has just
        // started never lies after it.
        const platform::Date now = session->now();
        if (VTSubmissionStartsNewWindow(stats, now)) {
            stats.submissionCount = 0;
            stats.lastReset = now;
        }
        if (stats.submissionCount < static_cast<std::int64_t>(limit)) {
            ++stats.submissionCount;
            return true;
        }
        return false;
    };
    // Counted in the settings file itself when there is one, so that the
    // limit holds for all processes together.
    const bool allowed = session->settingsClient()->updateStats(type, countOne, nullptr);
    VT_TRACE(VTSubmission_CheckServerThrottle_Exit, allowed ? 1 : 0);
    return allowed;
}

// --- ping --------------------------------------------------------------------------------

VTSubmissionPingOperation::VTSubmissionPingOperation(std::weak_ptr<VTSubmissionSession> session,
                                                     std::shared_ptr<VTServerSubmission> submission,
                                                     bool ignoreGatewayThrottle)
    : VTSubmissionOperation(session, submission, ignoreGatewayThrottle) {
    if (auto s = session.lock()) {
        ping_ = std::make_shared<VTSubmissionPing>(submission, s->context());
        actionsManager_ = s->actionsManager();
    }
}

void VTSubmissionPingOperation::cancel() {
    VTSubmissionOperation::cancel();
    if (isExecuting() && ping_) ping_->cancel();
}

void VTSubmissionPingOperation::run() {
    VT_TRACE(VTSubmission_PingOperation_Enter);
    auto session = this->session();
    if (!session || !ping_) return finishPing(submissionError(kVTSubmissionResultInvalidError));
    VTError& error = *submission()->errorReport();
    if (auto d = session->delegate(); d && d->implements(Method::WillBeginPing))
        d->willBeginPingForError(*session, error);

    const VTErrorProperties& s = error.summaryData();
    auto longEnough = [](const std::optional<std::string>& v) { return v && v->size() >= 3; };
    if (!s.failureUUID() || !longEnough(s.productName()) || !longEnough(s.productVersion()) ||
        !longEnough(s.moduleName()) || !s.machineId() || !s.mid() ||
        !VTStringUtilities::canonicalVersionString(*s.productVersion()))
        return finishPing(submissionError(kVTSubmissionResultInvalidError));
    if (!checkSubmissionLimit(kVTGatewayTypePing))
        return finishPing(submissionError(kVTSubmissionResultThrottled));
    ++session->statistics().numPingsSubmitted;

    if (actionsManager_) {
        VT_TRACE(VTSubmission_PingOperation_RunPrePing);
        if (auto runner = actionsManager_->actionRunnerForPhase(8, error)) {
            Error runError;
            if (runActions(runner, 8, &runError)) return;
        }
    }
    startPing();
}

bool VTSubmissionPingOperation::runActions(const std::shared_ptr<VTActionRunner>& runner,
                                           std::int64_t phase, Error* error) {
    {
        std::lock_guard lock(runnerMutex_);
        runner_ = runner;
        runnerPhase_ = phase;
        runnerFinished_ = false;
    }
    runner->setDelegate(this);
    if (runner->executeActions(error)) return true;
    // A runner that finished within executeActions has carried the ping on
    // already; one that declined may not call back later.
    std::lock_guard lock(runnerMutex_);
    return std::exchange(runnerFinished_, true);
}

namespace {

// The session's delegate as a runner delegate, when it is one and takes `method`.
std::shared_ptr<VTActionRunnerDelegate> runnerDelegate(VTSubmissionSession* session,
                                                       Method method) {
    if (!session) return nullptr;
    auto delegate = session->delegate();
    if (!delegate || !delegate->implements(method)) return nullptr;
    return std::shared_ptr<VTActionRunnerDelegate>(
        delegate, dynamic_cast<VTActionRunnerDelegate*>(delegate.get()));
}

}  // namespace

void VTSubmissionPingOperation::actionRunnerDidRunAction(VTActionRunner& runner,
                                                         const platform::Value& action,
                                                         const Error& error) {
    // Held for the call: the queue may let go of a finishing operation.
    auto self = weak_from_this().lock();
    auto session = this->session();
    if (!self || !session) return;
    ++session->statistics().numberActionsExecuted;
    if (!error.empty()) ++session->statistics().numberActionsFailed;
    if (auto d = runnerDelegate(session.get(), Method::ActionRunnerDidRunAction))
        d->actionRunnerDidRunAction(runner, action, error);
}

void VTSubmissionPingOperation::actionRunnerWillAskForConsent(VTActionRunner& runner,
                                                              const platform::Value& consent,
                                                              const platform::Value& action) {
    auto self = weak_from_this().lock();
    if (!self) return;
    auto session = this->session();
    if (auto d = runnerDelegate(session.get(), Method::ActionRunnerWillAskForConsent))
        d->actionRunnerWillAskForConsent(runner, consent, action);
}

void VTSubmissionPingOperation::startPing() {
    VT_TRACE(VTSubmission_PingOperation_PingStart);
    VT_TRACE(VTSubmission_PingStart, "ping");
    const Error cancelled = platform::makeURLError(platform::kURLErrorCancelled, "");
    if (isCancelled()) return finishPing(cancelled);
    auto self = std::static_pointer_cast<VTSubmissionPingOperation>(shared_from_this());
    ping_->setCompletionCallback([self](const auto& response, const auto& body, const auto& error) {
        self->pingCompleted(response, body, error);
    });
    Error error;
    if (!ping_->start(&error)) {
        ping_->setCompletionCallback({});
        finishPing(isCancelled() ? cancelled : error);
    }
}

void VTSubmissionPingOperation::pingCompleted(const std::optional<platform::HttpResponse>& response,
                                              const platform::Data& body, const Error& error) {
    VT_TRACE(VTSubmission_PingOperation_PingFinish);
    VT_TRACE(VTSubmission_PingFinished);
    if (!error.empty()) {
        // An answer beyond the limit is an unusable answer.
        if (error.domain() == platform::kURLErrorDomain &&
            error.code() == platform::kURLErrorDataLengthExceedsMaximum)
            return finishPing(submissionError(kVTSubmissionResultBadResponse));
        return finishPing(error);
    }
    if (response && response->statusCode() == 200) {
        submission()->setPingSucceeded(true);
        return postPing(body);
    }
    Error status = submissionError(kVTSubmissionResultPingFailed);
    status.setUserInfoValue(
        std::string(VTSubmissionStatusCodeKey),
        platform::Value(static_cast<std::int64_t>(response ? response->statusCode() : 0)));
    finishPing(status);
}

void VTSubmissionPingOperation::postPing(const platform::Data& body) {
    VT_TRACE(VTSubmission_PingOperation_Postprocess);
    if (!actionsManager_) return finishPing(Error());
    auto session = this->session();
    if (!session) return finishPing(Error());
    if (!body.empty()) {
        std::optional<platform::Value> received;
        Error parseError;
        if (!VTSubmissionPingResponse::responseWithData(body, actionsManager_.get(), &received,
                                                        nullptr, &parseError))
            return finishPing(parseError);
        if (received)
            session->statistics().numberNewActionsFromGateway +=
                VTSubmissionPingResponse::numberOfActions(*received);
    }
    VT_TRACE(VTSubmission_PingOperation_RunPostPing);
    if (auto runner = actionsManager_->actionRunnerForPhase(16, *submission()->errorReport())) {
        Error runError;
        if (runActions(runner, 16, &runError)) return;
        return finishPing(runError);
    }
    finishPing(Error());
}

void VTSubmissionPingOperation::actionRunnerDidFinish(VTActionRunner& runner) {
    auto self = weak_from_this().lock();
    if (!self) return;
    std::int64_t phase;
    {
        std::lock_guard lock(runnerMutex_);
        if (runner_.get() != &runner || runnerFinished_) return;
        runnerFinished_ = true;
        phase = runnerPhase_;
    }
    if (auto d = runnerDelegate(session().get(), Method::ActionRunnerDidFinish))
        d->actionRunnerDidFinish(runner);
    if (phase == 16) {
        VT_TRACE(VTSubmission_PingOperation_RunPostPingFinished);
        finishPing(Error());
    } else {
        VT_TRACE(VTSubmission_PingOperation_RunPrePingFinished);
        startPing();
    }
}

void VTSubmissionPingOperation::finishPing(const Error& error) {
    if (finishing_.exchange(true)) return;
    auto session = this->session();
    if (session) {
        VTError& report = *submission()->errorReport();
        auto d = session->delegate();
        if (d && d->implements(Method::DidFinishPing))
            d->didFinishPingForError(*session, report, error);
        if (submission()->shouldSubmitPayload() && submission()->didPingSucceed() &&
            !isCancelled()) {
            std::shared_ptr<VTCreateArchiveOperation> archive;
            if (!submission()->compressedData()) {
                archive = VTCreateArchiveOperation::initWithSession(session, submission());
                session->addOperation(archive);
            }
            auto upload = std::make_shared<VTSubmissionUploadOperation>(session, submission(),
                                                                        ignoreGatewayThrottle());
            if (archive) upload->addDependency(archive);
            session->addOperation(upload);
        } else {
            std::int32_t code;
            Error reported;
            if (inSubmissionDomain(error)) {
                code = static_cast<std::int32_t>(error.code());
            } else if (error.empty() && submission()->didPingSucceed()) {
                code = kVTSubmissionResultPinged;
            } else {
                code = kVTSubmissionResultPingFailed;
                reported = error;
                session->setError(error);
            }
            if (d && d->implements(Method::DidFinishProcessing)) {
                report.save(nullptr);  // keeps the sampling fields
                d->didFinishProcessingError(*session, report, code, reported);
            }
        }
    }
    done();
}

// --- upload -------------------------------------------------------------------------

VTSubmissionUploadOperation::VTSubmissionUploadOperation(
    std::weak_ptr<VTSubmissionSession> session, std::shared_ptr<VTServerSubmission> submission,
    bool ignoreGatewayThrottle)
    : VTSubmissionOperation(session, submission, ignoreGatewayThrottle) {
    if (auto s = session.lock())
        upload_ = std::make_shared<VTSubmissionUpload>(submission, s->context());
}

void VTSubmissionUploadOperation::cancel() {
    VTSubmissionOperation::cancel();
    if (isExecuting() && upload_) upload_->cancel();
}

void VTSubmissionUploadOperation::run() {
    VT_TRACE(VTSubmission_UploadOperation_Enter);
    auto session = this->session();
    if (!session || !upload_)
        return finishUpload(platform::makeURLError(platform::kURLErrorCancelled, ""));
    if (auto d = session->delegate(); d && d->implements(Method::WillBeginUpload))
        d->willBeginUploadForError(*session, *submission()->errorReport());
    if (!checkSubmissionLimit(kVTGatewayTypeUpload))
        return finishUpload(submissionError(kVTSubmissionResultThrottled));
    auto config = session->configuration();
    if (config &&
        submission()->uncompressedSize() > static_cast<std::int64_t>(config->maxUploadSizeBytes()))
        return finishUpload(submissionError(kVTSubmissionResultPayloadTooLarge));
    auto self = std::static_pointer_cast<VTSubmissionUploadOperation>(shared_from_this());
    upload_->setCompletionCallback([self](const auto& response, const auto&, const Error& error) {
        if (response && response->statusCode() != 200)
            VTLog(5, "Upload gateway answered with status %d", response->statusCode());
        self->finishUpload(error);
    });
    const Error cancelled = platform::makeURLError(platform::kURLErrorCancelled, "");
    Error error;
    const bool started = !isCancelled() && upload_->start(&error);
    ++session->statistics().numUploadsSubmitted;
    if (!started) {
        upload_->setCompletionCallback({});
        finishUpload(isCancelled() ? cancelled : error);
    }
}

void VTSubmissionUploadOperation::finishUpload(const Error& error) {
    if (finishing_.exchange(true)) return;
    VT_TRACE(VTSubmission_UploadOperation_UploadFinish);
    if (auto session = this->session()) {
        VTError& report = *submission()->errorReport();
        auto d = session->delegate();
        if (d && d->implements(Method::DidFinishUpload))
            d->didFinishUploadForError(*session, report, error);
        if (d && d->implements(Method::DidFinishProcessing)) {
            if (error.empty())
                d->didFinishProcessingError(*session, report, kVTSubmissionResultUploaded, Error());
            else if (inSubmissionDomain(error))
                d->didFinishProcessingError(*session, report,
                                            static_cast<std::int32_t>(error.code()), Error());
            else
                d->didFinishProcessingError(*session, report, kVTSubmissionResultUploadFailed,
                                            error);
        }
    }
    done();
}

// --- archive ---------------------------------------------------------------------------

std::shared_ptr<VTCreateArchiveOperation> VTCreateArchiveOperation::initWithSession(
    std::weak_ptr<VTSubmissionSession> session, std::shared_ptr<VTServerSubmission> submission) {
    if (!submission) return nullptr;
    return std::make_shared<VTCreateArchiveOperation>(std::move(session), std::move(submission));
}

VTCreateArchiveOperation::VTCreateArchiveOperation(std::weak_ptr<VTSubmissionSession> session,
                                                   std::shared_ptr<VTServerSubmission> submission)
    : session_(std::move(session)), submission_(std::move(submission)) {}

void VTCreateArchiveOperation::main() {
    VT_TRACE(VTSubmission_CreateArchiveStart);
    auto session = session_.lock();
    auto config = session ? session->configuration() : nullptr;
    if (!config) return;
    std::optional<platform::DispatchData> data;
    Error error;
    auto payload =
        VTErrorPayload::payloadDataWithError(submission_->errorReport(), *config, &data, &error);
    if (payload && data) {
        submission_->setCompressedData(std::move(data));
        submission_->setUncompressedSize(static_cast<std::int64_t>(payload->uncompressedSize()));
        numberOfFiles_ = static_cast<std::int64_t>(payload->numberOfFiles());
    } else {
        VTLog(3, "Packing the payload failed: %s", error.description().c_str());
    }
    VT_TRACE(VTSubmission_CreateArchiveFinish, numberOfFiles_.load());
}

// --- gateway actions in the ping answer --------------------------------------------------

bool VTSubmissionPingResponse::responseWithData(const platform::Data& data,
                                                VTActionsManager* manager,
                                                std::optional<platform::Value>* receivedActions,
                                                std::optional<platform::Value>* pulledActions,
                                                Error* error) {
    if (receivedActions) receivedActions->reset();
    if (pulledActions) pulledActions->reset();
    if (data.empty() || !manager) return true;
    if (data.size() < 14 || data.size() > kVTMaximumPingResponseLength) {
        platform::setError(error, submissionError(kVTSubmissionResultBadResponse));
        return false;
    }
    auto maker = VTActionsRegistry::jsonParserMaker();
    auto parser = maker ? maker() : nullptr;
    if (!parser) return true;
    Error parseError;
    auto result = parser->parseManifest(data, {}, &parseError);
    if (!result) {
        Error e = submissionError(kVTSubmissionResultBadResponse);
        if (!parseError.empty()) e.setUnderlyingError(parseError);
        platform::setError(error, std::move(e));
        return false;
    }
    auto hasEntries = [](const platform::Value* value) {
        if (!value) return false;
        if (const platform::Array* list = value->asArray()) return !list->empty();
        if (const platform::Dictionary* map = value->asDictionary()) return !map->empty();
        return false;
    };
    auto find = [&](const char* key) -> const platform::Value* {
        auto it = result->find(key);
        return it == result->end() ? nullptr : &it->second;
    };
    if (const platform::Value* obsolete = find("VTActionsParserobsoleteActions");
        hasEntries(obsolete)) {
        Error managerError;
        if (manager->removeActionsWithGUIDs(*obsolete, &managerError)) {
            if (pulledActions) *pulledActions = *obsolete;
        } else {
            VTLog(LOG_ERR, "Could not remove the actions the gateway pulled: %s",
                  managerError.description().c_str());
        }
    }
    if (const platform::Value* group = find("VTActionsParserActions");
        group && numberOfActions(*group) > 0) {
        Error managerError;
        if (manager->merge(*group, &managerError)) {
            if (receivedActions) *receivedActions = *group;
        } else {
            VTLog(LOG_ERR, "Could not merge the actions the gateway sent: %s",
                  managerError.description().c_str());
        }
    }
    return true;
}

std::int64_t VTSubmissionPingResponse::numberOfActions(const platform::Value& group) {
    const platform::Dictionary* map = group.asDictionary();
    if (!map) return 0;
    auto actions = map->find("actions");
    if (actions == map->end()) return 0;
    const platform::Array* list = actions->second.asArray();
    return list ? static_cast<std::int64_t>(list->size()) : 0;
}
