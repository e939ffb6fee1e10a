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

/// Told when a runner has finished the actions it accepted.
class VTActionRunnerDelegate {
  public:
    virtual ~VTActionRunnerDelegate() = default;
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

/// Phases of a run: 2 logical error, 4 crash or kernel panic, 0 others.
class VTActionsManager {
  public:
    virtual ~VTActionsManager() = default;
    virtual std::shared_ptr<VTActionRunner> actionRunnerForPhase(std::int64_t phase,
                                                                 VTError& error) = 0;
    virtual std::shared_ptr<VTActionRunner> actionRunnerForGroup(const platform::Value& group,
                                                                 std::int64_t phase,
                                                                 VTError& error) = 0;
};

class VTActionsJSONParser {
  public:
    virtual ~VTActionsJSONParser() = default;
    /// A dictionary whose "VTActionsParserActions" holds an action group
    /// (a dictionary with an "actions" array); nullopt when it cannot parse.
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
