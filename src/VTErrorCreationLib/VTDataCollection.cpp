#include "VTErrorCreationLib/VTDataCollection.h"

#include <array>

#include "VTErrorCreationLib/VTSettingsClient.h"
#include "VTErrorCreationLib/VTSummaryFillers.h"

namespace {

std::mutex gMakersMutex;
VTActionsRegistry::ManagerMaker gManagerMaker;
VTActionsRegistry::ParserMaker gParserMaker;

std::int64_t phaseForRunner(const VTError& error) {
    switch (error.summaryData().failureType()) {
        case kVTFailureTypeLogicalError:
            return 2;
        case kVTFailureTypeCrash:
        case kVTFailureTypeKernelPanic:
            return 4;
        default:
            return 0;
    }
}

}  // namespace

void VTActionsRegistry::setActionsManagerMaker(ManagerMaker maker) {
    std::lock_guard<std::mutex> lock(gMakersMutex);
    gManagerMaker = std::move(maker);
}

VTActionsRegistry::ManagerMaker VTActionsRegistry::actionsManagerMaker() {
    std::lock_guard<std::mutex> lock(gMakersMutex);
    return gManagerMaker;
}

void VTActionsRegistry::setJSONParserMaker(ParserMaker maker) {
    std::lock_guard<std::mutex> lock(gMakersMutex);
    gParserMaker = std::move(maker);
}

VTActionsRegistry::ParserMaker VTActionsRegistry::jsonParserMaker() {
    std::lock_guard<std::mutex> lock(gMakersMutex);
    return gParserMaker;
}

// --- Operations ---------------------------------------------------------------------

VTActionRunnerOperation::VTActionRunnerOperation(std::shared_ptr<VTActionRunner> runner)
    : runner_(std::move(runner)) {
    if (runner_) runner_->setDelegate(this);
}

void VTActionRunnerOperation::start() {
    if (isCancelled() || !runner_) {
        markFinished();
        return;
    }
    markExecuting();
    if (!runner_->executeActions(nullptr)) markFinished();
}

void VTActionRunnerOperation::actionRunnerDidFinish(VTActionRunner&) {
    // The queue lets go of a finished operation: stay alive until done here.
    const auto keep = shared_from_this();
    markFinished();
}

VTDataCollectionActionRunnerOperation::VTDataCollectionActionRunnerOperation(
    std::shared_ptr<VTActionRunner> runner, std::shared_ptr<VTError> error)
    : VTActionRunnerOperation(std::move(runner)), error_(std::move(error)) {}

void VTDataCollectionActionRunnerOperation::actionRunnerDidFinish(VTActionRunner& runner) {
    const std::int64_t mask = runner.dataMask();
    if (mask != 0 && error_) {
        std::lock_guard<std::mutex> lock(VTDataCollection::errorLock(*error_));
        auto& summary = error_->summaryData();
        summary.setDetailedDataMask(summary.detailedDataMask() | mask);
    }
    VTActionRunnerOperation::actionRunnerDidFinish(runner);
}

// --- Collection -----------------------------------------------------------------------

std::mutex& VTDataCollection::errorLock(const VTError& error) {
    static std::array<std::mutex, 31> locks;
    return locks[reinterpret_cast<std::uintptr_t>(&error) / alignof(VTError) % locks.size()];
}

VTDataCollection::VTDataCollection(std::shared_ptr<const VTSCDConfiguration> configuration,
                                   std::shared_ptr<VTSettingsClient> settings,
                                   std::shared_ptr<VTActionsManager> actionsManager)
    : configuration_(std::move(configuration)),
      settings_(std::move(settings)),
      actionsManager_(std::move(actionsManager)) {
    // Property patterns compare missing fields against this machine's.
    static std::once_flag installed;
    std::call_once(installed, [] {
        VTErrorProperties::setCurrentMachineFiller([](VTErrorProperties& record) {
            VTFillProductSummaryProperties(record);
            VTFillSystemSummaryProperties(record);
        });
    });
}

VTDataCollection::VTDataCollection(std::shared_ptr<const VTSCDConfiguration> configuration,
                                   std::shared_ptr<VTSettingsClient> settings)
    : VTDataCollection(configuration, settings, nullptr) {
    if (auto maker = VTActionsRegistry::actionsManagerMaker())
        actionsManager_ = maker(configuration_, settings_);
}

std::shared_ptr<VTDataCollection> VTDataCollection::withInstalledConfiguration() {
    auto installed = VTSCDConfiguration::installedConfiguration(nullptr);
    if (!installed) return nullptr;
    auto configuration = std::make_shared<const VTSCDConfiguration>(std::move(*installed));
    auto settings = VTSettingsClient::clientWithSettingsFromConfig(configuration, nullptr);
    return std::make_shared<VTDataCollection>(configuration, settings);
}

std::shared_ptr<VTDataCollectionActionRunnerOperation> VTDataCollection::operationToExecuteJSON(
    const std::string& manifest, const std::shared_ptr<VTError>& error) {
    return jsonOperation(actionsManager_, manifest, error);
}

std::shared_ptr<VTDataCollectionActionRunnerOperation> VTDataCollection::jsonOperation(
    const std::shared_ptr<VTActionsManager>& manager, const std::string& manifest,
    const std::shared_ptr<VTError>& error) {
    auto parserMaker = VTActionsRegistry::jsonParserMaker();
    if (!parserMaker || !manager || !error) return nullptr;
    auto parser = parserMaker();
    if (!parser) return nullptr;
    auto parsed =
        parser->parseManifest(platform::Data(manifest.begin(), manifest.end()), {}, nullptr);
    if (!parsed) return nullptr;
    auto group = parsed->find("VTActionsParserActions");
    if (group == parsed->end()) return nullptr;
    const platform::Value* actions = group->second.get("actions");
    if (!actions || !actions->asArray() || actions->asArray()->empty()) return nullptr;
    const std::int64_t phase =
        error->summaryData().failureType() == kVTFailureTypeLogicalError ? 2 : 4;
    auto runner = manager->actionRunnerForGroup(group->second, phase, *error);
    if (!runner) return nullptr;
    return std::make_shared<VTDataCollectionActionRunnerOperation>(std::move(runner), error);
}

bool VTDataCollection::startCollectingForError(
    std::shared_ptr<VTError> error, bool performActions,
    const std::optional<std::string>& additionalActions,
    const std::shared_ptr<platform::OperationQueue>& queue, CompletionHandler completion) {
    if (!error || !queue) return false;

    auto finalizing = platform::BlockOperation::create([error, completion] {
        platform::Error failure;
        const bool finalized = error->finalize(&failure);
        if (completion)
            completion(error, finalized ? std::nullopt : std::optional<platform::Error>(failure));
    });

    // What the configuration names for the error's kind, read now.
    std::vector<std::string> manifests;
    if (configuration_) {
        const std::optional<platform::Array>* list = nullptr;
        switch (error->summaryData().failureType()) {
            case kVTFailureTypeCrash:
                list = &configuration_->crashActionManifests();
                break;
            case kVTFailureTypeKernelPanic:
                list = &configuration_->panicActionManifests();
                break;
            case kVTFailureTypeLogicalError:
                list = &configuration_->logicalActionManifests();
                break;
            default:
                break;
        }
        if (list && *list)
            for (const platform::Value& manifest : **list)
                if (manifest.isString()) manifests.push_back(manifest.stringValue());
    }

    auto manager = actionsManager_;
    auto extra = additionalActions;
    std::weak_ptr<platform::OperationQueue> weakQueue = queue;
    queue->addOperation([manager, error, performActions, extra, manifests, finalizing, weakQueue] {
        auto target = weakQueue.lock();
        if (!target) return;
        std::vector<platform::OperationPtr> operations;
        operations.push_back(platform::BlockOperation::create(
            [error] { VTFillProductSummaryProperties(error->summaryData()); }));
        operations.push_back(platform::BlockOperation::create(
            [error] { VTFillSystemSummaryProperties(error->summaryData()); }));
        operations.push_back(
            platform::BlockOperation::create([error] { error->collect(nullptr); }));
        if (manager && performActions) {
            if (auto runner = manager->actionRunnerForPhase(phaseForRunner(*error), *error))
                operations.push_back(std::make_shared<VTDataCollectionActionRunnerOperation>(
                    std::move(runner), error));
            if (extra && !extra->empty())
                if (auto op = jsonOperation(manager, *extra, error)) operations.push_back(op);
            for (const std::string& manifest : manifests)
                if (auto op = jsonOperation(manager, manifest, error)) operations.push_back(op);
        }
        for (const auto& op : operations) finalizing->addDependency(op);
        operations.push_back(finalizing);
        target->addOperations(operations, false);
    });
    return true;
}
