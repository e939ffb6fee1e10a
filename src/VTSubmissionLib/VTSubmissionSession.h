// A submission session: one pass that sends saved errors to the gateways.
// Each error is pinged; when a gateway asks for it, the error is packed and
// its payload uploaded. Per-day limits and one-in-N sampling per gateway
// type throttle both steps; at the end the library's statistics ping goes
// out and the delegate hears of the end.
//
// The operations run on the session's queue (two at a time) and take their
// network callbacks on the main queue: the main thread must drain it (a run
// loop or the Qt event loop) while a session runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "Platform/Dispatch/OperationQueue.h"
#include "VTErrorCreationLib/VTActionsRegistry.h"
#include "VTSubmissionLib/VTServerSubmission.h"
#include "VTSubmissionLib/VTSubmissionFormat.h"

class VTSubmissionSession;
class VTSubmissionPing;
class VTSubmissionUpload;
class VTSubmissionStats;

/// Whether the per-day count of `stats` starts afresh at `now`: when nothing
/// is counted, the window has no start, it started more than 86400 seconds
/// ago, or it starts after `now` (a clock that was ahead and was put right
/// must not silence reporting until it is reached again).
bool VTSubmissionStartsNewWindow(const VTSubmissionStats& stats, platform::Date now);

/// The session's counters. All zero at creation; safe from any thread.
class VTSubmissionSessionState {
  public:
    std::atomic<std::uint32_t> numErrorsQueued{0};
    std::atomic<std::uint32_t> numPingsSubmitted{0};
    std::atomic<std::uint32_t> numUploadsSubmitted{0};
    std::atomic<std::uint32_t> newLogicalErrors{0};
    std::atomic<std::uint32_t> newCrashes{0};
    std::atomic<std::int64_t> numberNewActionsFromGateway{0};
    std::atomic<std::int64_t> numberActionsExecuted{0};
    std::atomic<std::int64_t> numberActionsFailed{0};

    std::optional<platform::Date> submissionStartTime() const;
    void setSubmissionStartTime(platform::Date date);
    std::optional<platform::Date> submissionEndTime() const;
    void setSubmissionEndTime(platform::Date date);

  private:
    mutable std::mutex mutex_;
    std::optional<platform::Date> start_;
    std::optional<platform::Date> end_;
};

/// What a session tells its delegate. Every method is optional. A delegate
/// that is also a VTActionRunnerDelegate hears the gateway actions' runner
/// callbacks too (on the runner's thread), for each it implements.
class VTSubmissionSessionDelegate {
  public:
    enum class Method {
        SessionDidStart,
        WillBeginPing,
        DidFinishPing,
        WillBeginUpload,
        DidFinishUpload,
        DidFinishProcessing,
        SessionDidEnd,
        ActionRunnerDidRunAction,
        ActionRunnerWillAskForConsent,
        ActionRunnerDidFinish,
    };
    virtual ~VTSubmissionSessionDelegate() = default;
    virtual bool implements(Method) const { return true; }

    virtual void sessionDidStart(VTSubmissionSession&) {}
    virtual void willBeginPingForError(VTSubmissionSession&, VTError&) {}
    virtual void didFinishPingForError(VTSubmissionSession&, VTError&, const platform::Error&) {}
    virtual void willBeginUploadForError(VTSubmissionSession&, VTError&) {}
    virtual void didFinishUploadForError(VTSubmissionSession&, VTError&, const platform::Error&) {}
    virtual void didFinishProcessingError(VTSubmissionSession&, VTError&,
                                          std::int32_t /*resultCode*/, const platform::Error&) {}
    virtual void sessionDidEnd(VTSubmissionSession&, const platform::Error&) {}
};

class VTSubmissionSession : public std::enable_shared_from_this<VTSubmissionSession> {
  public:
    /// A session on the client's configuration; its queue is suspended until start().
    static std::shared_ptr<VTSubmissionSession> initWithClient(
        std::shared_ptr<VTClient> client, std::shared_ptr<VTSettingsClient> settingsClient);
    ~VTSubmissionSession();
    VTSubmissionSession(const VTSubmissionSession&) = delete;
    VTSubmissionSession& operator=(const VTSubmissionSession&) = delete;

    /// Held weakly.
    void setDelegate(std::weak_ptr<VTSubmissionSessionDelegate> delegate);
    std::shared_ptr<VTSubmissionSessionDelegate> delegate() const;
    /// From VTActionsRegistry at creation; null: no gateway actions run.
    std::shared_ptr<VTActionsManager> actionsManager() const;
    void setActionsManager(std::shared_ptr<VTActionsManager> manager);

    /// Starts the session: VTSubmissionErrorDomain 0 when finished or when
    /// reachability cannot be checked; kURLErrorDomain -1009 when the network
    /// needs intervention.
    bool start(platform::Error* error);
    /// Queues the error's ping; false when the session is finished.
    bool submitError(std::shared_ptr<VTError> error);
    /// Counts an error that the host throttled itself.
    void throttledError(std::shared_ptr<VTError> error);
    /// The closing operation waits for `op`, which then joins the queue.
    void addOperation(const platform::OperationPtr& op);
    /// Ends the session once all queued work is done.
    void finish();
    /// Cancels everything and waits (on the main thread it keeps draining the
    /// main queue meanwhile, at most `bound`). A session that had not ended
    /// then ends with kURLErrorCancelled.
    void cancel(std::chrono::milliseconds bound = std::chrono::seconds(10));

    bool isFinished() const { return finished_.load(); }
    platform::Error error() const;
    void setError(platform::Error error);
    VTSubmissionSessionState& statistics() { return statistics_; }
    const std::shared_ptr<VTClient>& client() const { return client_; }
    const std::shared_ptr<VTSettingsClient>& settingsClient() const { return settingsClient_; }
    std::shared_ptr<const VTSCDConfiguration> configuration() const;
    const platform::OperationQueuePtr& operationQueue() const { return queue_; }
    const std::shared_ptr<platform::BlockOperation>& finishedOperation() const {
        return finishedOperation_;
    }
    /// What the exchanges read.
    VTSubmissionContext context() const;

    /// The HTTP client of the exchanges (tests); null: the shared one.
    void setHttpClient(platform::HttpClientPtr client) { httpClient_ = std::move(client); }
    /// Host whose reachability start() checks.
    static void setReachabilityHost(std::string host);
    static std::string reachabilityHost();

    /// Wall time as the session counts it: the date at creation moved on by
    /// the default clock (so a fake clock moves it too).
    platform::Date now() const;

  private:
    VTSubmissionSession(std::shared_ptr<VTClient> client,
                        std::shared_ptr<VTSettingsClient> settingsClient);
    void runClosingSteps();
    friend class VTSubmissionStatPingOperation;
    friend class VTSubmissionSessionEnd;

  public:
    /// Tells the delegate of the end, once.
    void endSession(const platform::Error& error);

  private:
    const std::shared_ptr<VTClient> client_;
    const std::shared_ptr<VTSettingsClient> settingsClient_;
    platform::OperationQueuePtr queue_;
    std::shared_ptr<platform::BlockOperation> finishedOperation_;
    VTSubmissionSessionState statistics_;
    platform::HttpClientPtr httpClient_;
    const platform::Date createdAt_;
    const platform::TimePoint createdClock_;

    mutable std::mutex mutex_;
    std::weak_ptr<VTSubmissionSessionDelegate> delegate_;
    std::shared_ptr<VTActionsManager> actionsManager_;
    platform::Error error_;
    std::atomic<bool> finished_{false};
    std::atomic<bool> started_{false};
    std::atomic<bool> ended_{false};
};

/// Base of the per-error operations.
class VTSubmissionOperation : public platform::Operation {
  public:
    VTSubmissionOperation(std::weak_ptr<VTSubmissionSession> session,
                          std::shared_ptr<VTServerSubmission> submission,
                          bool ignoreGatewayThrottle);

    /// Whether one more submission to gateways of `type` is allowed now:
    /// sampling (unless ignored) and the per-day limit, which it counts.
    bool checkSubmissionLimit(std::int32_t type);

    std::shared_ptr<VTSubmissionSession> session() const { return session_.lock(); }
    const std::shared_ptr<VTServerSubmission>& submission() const { return submission_; }
    bool ignoreGatewayThrottle() const { return ignoreGatewayThrottle_; }
    bool isAsynchronous() const override { return true; }
    void start() override;

  protected:
    /// The work, on a thread of its own holding the operation.
    virtual void run() = 0;
    void done() { markFinished(); }

  private:
    const std::weak_ptr<VTSubmissionSession> session_;
    const std::shared_ptr<VTServerSubmission> submission_;
    const bool ignoreGatewayThrottle_;
};

class VTSubmissionPingOperation : public VTSubmissionOperation, public VTActionRunnerDelegate {
  public:
    VTSubmissionPingOperation(std::weak_ptr<VTSubmissionSession> session,
                              std::shared_ptr<VTServerSubmission> submission,
                              bool ignoreGatewayThrottle);
    /// Also stops the ping in flight (which then ends with kURLErrorCancelled).
    void cancel() override;
    /// Counted in the session's numberActionsExecuted (and
    /// numberActionsFailed with an error), then passed to its delegate.
    void actionRunnerDidRunAction(VTActionRunner& runner, const platform::Value& action,
                                  const platform::Error& error) override;
    /// Passed to the session's delegate.
    void actionRunnerWillAskForConsent(VTActionRunner& runner, const platform::Value& consent,
                                       const platform::Value& action) override;
    /// Passed to the session's delegate; then the ping starts (after the
    /// runner before it) or the operation finishes (after the one after it).
    /// A runner that is not the current one, or that finished already, is
    /// ignored.
    void actionRunnerDidFinish(VTActionRunner& runner) override;
    const std::shared_ptr<VTSubmissionPing>& ping() const { return ping_; }

  protected:
    void run() override;

  private:
    /// Makes `runner` the current one (of `phase`) and starts it: true when
    /// it works on and will call actionRunnerDidFinish, or has already.
    bool runActions(const std::shared_ptr<VTActionRunner>& runner, std::int64_t phase,
                    platform::Error* error);
    void startPing();
    void pingCompleted(const std::optional<platform::HttpResponse>& response,
                       const platform::Data& body, const platform::Error& error);
    void postPing(const platform::Data& body);
    void finishPing(const platform::Error& error);

    std::shared_ptr<VTSubmissionPing> ping_;
    std::shared_ptr<VTActionsManager> actionsManager_;
    std::mutex runnerMutex_;
    std::shared_ptr<VTActionRunner> runner_;
    std::int64_t runnerPhase_ = 0;
    bool runnerFinished_ = false;
    std::atomic<bool> finishing_{false};
};

class VTSubmissionUploadOperation : public VTSubmissionOperation {
  public:
    VTSubmissionUploadOperation(std::weak_ptr<VTSubmissionSession> session,
                                std::shared_ptr<VTServerSubmission> submission,
                                bool ignoreGatewayThrottle);
    /// Also stops the upload in flight (result 8 with kURLErrorCancelled).
    void cancel() override;
    const std::shared_ptr<VTSubmissionUpload>& upload() const { return upload_; }

  protected:
    void run() override;

  private:
    void finishUpload(const platform::Error& error);
    std::shared_ptr<VTSubmissionUpload> upload_;
    std::atomic<bool> finishing_{false};
};

/// Packs the error of a submission into its payload.
class VTCreateArchiveOperation : public platform::Operation {
  public:
    /// Null when `submission` is null.
    static std::shared_ptr<VTCreateArchiveOperation> initWithSession(
        std::weak_ptr<VTSubmissionSession> session, std::shared_ptr<VTServerSubmission> submission);
    VTCreateArchiveOperation(std::weak_ptr<VTSubmissionSession> session,
                             std::shared_ptr<VTServerSubmission> submission);
    void main() override;
    std::int64_t numberOfFiles() const { return numberOfFiles_.load(); }

  private:
    const std::weak_ptr<VTSubmissionSession> session_;
    const std::shared_ptr<VTServerSubmission> submission_;
    std::atomic<std::int64_t> numberOfFiles_{0};
};

/// The gateway actions named in a ping answer.
struct VTSubmissionPingResponse {
    /// Parses `data` with the registered parser: true with nothing for empty
    /// data, no manager or no parser; false with VTSubmissionErrorDomain 10
    /// for data under 14 bytes, over 10 MiB, or not parsed (the parser's
    /// error underlying). The obsolete actions it names go to the manager's
    /// removeActionsWithGUIDs and, once removed, out as `pulledActions`; the
    /// action group it brings goes to merge and, once merged, out as
    /// `receivedActions`. A manager's refusal is logged and leaves that
    /// output empty. Both outputs are cleared first.
    static bool responseWithData(const platform::Data& data, VTActionsManager* manager,
                                 std::optional<platform::Value>* receivedActions,
                                 std::optional<platform::Value>* pulledActions,
                                 platform::Error* error);
    /// The number of actions in an action group ("actions" array).
    static std::int64_t numberOfActions(const platform::Value& group);
};
