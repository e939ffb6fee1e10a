// Data-gathering actions: the actions manager, its manifest parser and the
// action runners it hands out. The program holds no implementation of them;
// a host registers its own makers here, by class name, and data collection
// and submission look them up. With nothing registered, data collection runs
// only the summary fillers, the error's own collection and finalization.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

class VTError;
class VTSCDConfiguration;
class VTSettingsClient;
class VTActionRunner;

/// Told of a runner's work: each action run, each consent it is about to
/// ask for, and the end of the actions it accepted. Called on the runner's
/// thread.
class VTActionRunnerDelegate {
  public:
    virtual ~VTActionRunnerDelegate() = default;
    /// `action` ran; `error` is empty when it succeeded.
    virtual void actionRunnerDidRunAction(VTActionRunner& /*runner*/,
                                          const platform::Value& /*action*/,
                                          const platform::Error& /*error*/) {}
    /// The runner is about to ask the user for `consent` to run `action`.
    virtual void actionRunnerWillAskForConsent(VTActionRunner& /*runner*/,
                                               const platform::Value& /*consent*/,
                                               const platform::Value& /*action*/) {}
    virtual void actionRunnerDidFinish(VTActionRunner& runner) = 0;
};

class VTActionRunner {
  public:
    virtual ~VTActionRunner() = default;
    /// The delegate is not owned; it outlives the runner's work.
    virtual void setDelegate(VTActionRunnerDelegate* delegate) = 0;
    /// True: the runner works on and calls its delegate when done. False:
    /// it will not run.
    virtual bool executeActions(platform::Error* error) = 0;
    /// Bits of detailed data the actions gathered.
    virtual std::int64_t dataMask() const = 0;
};

/// Phases of a run: 2 logical error, 4 crash or kernel panic, 0 others when
/// data is collected; 8 before an error's ping and 16 after it in a
/// submission session.
class VTActionsManager {
  public:
    virtual ~VTActionsManager() = default;
    virtual std::shared_ptr<VTActionRunner> actionRunnerForPhase(std::int64_t phase,
                                                                 VTError& error) = 0;
    virtual std::shared_ptr<VTActionRunner> actionRunnerForGroup(const platform::Value& group,
                                                                 std::int64_t phase,
                                                                 VTError& error) = 0;
    /// Drops the stored actions whose GUIDs `guids` names (as a gateway's
    /// answer pulls them); false with `error` when they cannot be dropped.
    /// A manager that stores no actions has nothing to drop.
    virtual bool removeActionsWithGUIDs(const platform::Value& /*guids*/,
                                        platform::Error* /*error*/) {
        return true;
    }
    /// Adds the action group `group` (a dictionary with an "actions" array)
    /// that a gateway's answer brought; false with `error` when it cannot.
    /// A manager that stores no actions takes it and keeps nothing.
    virtual bool merge(const platform::Value& /*group*/, platform::Error* /*error*/) {
        return true;
    }
};

class VTActionsJSONParser {
  public:
    virtual ~VTActionsJSONParser() = default;
    /// A dictionary whose "VTActionsParserActions" holds an action group
    /// (a dictionary with an "actions" array) and whose
    /// "VTActionsParserobsoleteActions" holds the GUIDs of actions to drop;
    /// nullopt when it cannot parse.
    virtual std::optional<platform::Dictionary> parseManifest(const platform::Data& manifest,
                                                              const platform::Dictionary& options,
                                                              platform::Error* error) = 0;
};

/// The makers, by the class names the library asks for. Thread-safe.
class VTActionsRegistry {
  public:
    using ManagerMaker = std::function<std::shared_ptr<VTActionsManager>(
        std::shared_ptr<const VTSCDConfiguration>, std::shared_ptr<VTSettingsClient>)>;
    using ParserMaker = std::function<std::shared_ptr<VTActionsJSONParser>()>;

    /// "VTActionsManager"; an empty function removes it.
    static void setActionsManagerMaker(ManagerMaker maker);
    static ManagerMaker actionsManagerMaker();
    /// "VTActionsJSONParser"; an empty function removes it.
    static void setJSONParserMaker(ParserMaker maker);
    static ParserMaker jsonParserMaker();
};
