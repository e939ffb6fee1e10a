// Data collection: on an operation queue, fills an error's product and
// system fields, runs the error's own collection step and the data-gathering
// actions its kind asks for, then finalizes the error.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/Dispatch/Operation.h"
#include "Platform/Dispatch/OperationQueue.h"
#include "Platform/Values/Error.h"
#include "VTErrorCreationLib/VTActionsRegistry.h"
#include "VTErrorCreationLib/VTError.h"
#include "VTErrorCreationLib/VTSCDConfiguration.h"

class VTSettingsClient;

/// An asynchronous operation that drives one action runner: finished when
/// the runner finishes, refuses to run, or the operation is cancelled first.
class VTActionRunnerOperation : public platform::Operation, public VTActionRunnerDelegate {
  public:
    explicit VTActionRunnerOperation(std::shared_ptr<VTActionRunner> runner);
    bool isAsynchronous() const override { return true; }
    void start() override;
    void actionRunnerDidFinish(VTActionRunner& runner) override;
    const std::shared_ptr<VTActionRunner>& runner() const { return runner_; }

  private:
    std::shared_ptr<VTActionRunner> runner_;
};

/// The same for the actions of one error: the runner's data mask is merged
/// into the error's detailed-data mask.
class VTDataCollectionActionRunnerOperation : public VTActionRunnerOperation {
  public:
    VTDataCollectionActionRunnerOperation(std::shared_ptr<VTActionRunner> runner,
                                          std::shared_ptr<VTError> error);
    void actionRunnerDidFinish(VTActionRunner& runner) override;
    const std::shared_ptr<VTError>& error() const { return error_; }

  private:
    std::shared_ptr<VTError> error_;
};

class VTDataCollection {
  public:
    /// Called once, on the queue, with the error and the finalization error
    /// (nullopt when it finalized).
    using CompletionHandler =
        std::function<void(std::shared_ptr<VTError>, std::optional<platform::Error>)>;

    VTDataCollection(std::shared_ptr<const VTSCDConfiguration> configuration,
                     std::shared_ptr<VTSettingsClient> settings,
                     std::shared_ptr<VTActionsManager> actionsManager);
    /// With the registered actions manager, when there is one.
    VTDataCollection(std::shared_ptr<const VTSCDConfiguration> configuration,
                     std::shared_ptr<VTSettingsClient> settings);
    /// On the installed configuration and a settings client for it; null
    /// when there is no installed configuration.
    static std::shared_ptr<VTDataCollection> withInstalledConfiguration();

    /// An operation running the actions of a manifest for `error`, or null
    /// without a parser or actions manager, or when the manifest holds no
    /// actions.
    std::shared_ptr<VTDataCollectionActionRunnerOperation> operationToExecuteJSON(
        const std::string& manifest, const std::shared_ptr<VTError>& error);

    bool startCollectingForError(std::shared_ptr<VTError> error,
                                 const std::optional<std::string>& additionalActions,
                                 const std::shared_ptr<platform::OperationQueue>& queue,
                                 CompletionHandler completion) {
        return startCollectingForError(std::move(error), true, additionalActions, queue,
                                       std::move(completion));
    }
    /// False for a null error (nothing queued); otherwise true once the work
    /// is queued.
    bool startCollectingForError(std::shared_ptr<VTError> error, bool performActions,
                                 const std::optional<std::string>& additionalActions,
                                 const std::shared_ptr<platform::OperationQueue>& queue,
                                 CompletionHandler completion);
    void finish() {}

    const std::shared_ptr<const VTSCDConfiguration>& configuration() const {
        return configuration_;
    }
    void setConfiguration(std::shared_ptr<const VTSCDConfiguration> configuration) {
        configuration_ = std::move(configuration);
    }
    const std::shared_ptr<VTSettingsClient>& settings() const { return settings_; }
    void setSettings(std::shared_ptr<VTSettingsClient> settings) {
        settings_ = std::move(settings);
    }
    const std::shared_ptr<VTActionsManager>& actionsManager() const { return actionsManager_; }

    /// The lock under which the detailed-data mask of an error is merged.
    static std::mutex& errorLock(const VTError& error);

  private:
    static std::shared_ptr<VTDataCollectionActionRunnerOperation> jsonOperation(
        const std::shared_ptr<VTActionsManager>& manager, const std::string& manifest,
        const std::shared_ptr<VTError>& error);

    std::shared_ptr<const VTSCDConfiguration> configuration_;
    std::shared_ptr<VTSettingsClient> settings_;
    std::shared_ptr<VTActionsManager> actionsManager_;
};
