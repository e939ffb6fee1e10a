// Requirement lists as shipped beside the installer or downloaded with it:
// the entries are made into requirements and each check runs against the
// machine (only reading it), with the version and size texts parsed too.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Engine/PelHardwareUtilities.h"
#include "Engine/PelRequirementsContainer.h"
#include "Foundation/PelLogging.h"
#include "Platform/Values/PropertyList.h"

namespace {

// Keeps the log off standard error and out of the system log.
bool quietLog() {
    PelLogChannel::Config config = PelLogging::installChannelConfig();
    config.copyToStderr = false;
    config.sendToSystemLog = false;
    PelLogging::setSharedChannel(std::make_shared<PelLogChannel>(config));
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool quiet = quietLog();
    (void)quiet;
    std::string text(reinterpret_cast<const char*>(data), size);
    PelHardwareUtilities::checkVersion(text, "10.15.7");
    PelHardwareUtilities::sizeInBytes(text);

    auto list = platform::PropertyList::fromData(std::string_view(text), nullptr, nullptr);
    if (!list) return 0;
    const platform::Value* entries = list->get("Requirements");
    auto requirements = PelRequirementsContainer::gatherRequirements(entries ? *entries : *list);
    for (const auto& requirement : requirements) {
        requirement->toString();
        if (requirement->icType() != "Misc") requirement->runRequirement();
    }
    return 0;
}
