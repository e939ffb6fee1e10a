#include <cstdint>

#include "Engine/PelHardwareUtilities.h"
#include "Engine/PelRequirementKinds.h"
#include "Foundation/PelLogging.h"

namespace {

const std::string* stringFor(const platform::Value& check, std::string_view key) {
    const platform::Value* value = check.get(key);
    return value ? value->asString() : nullptr;
}

std::optional<std::string> optionalText(const std::string* text) {
    return text ? std::optional<std::string>(*text) : std::nullopt;
}

}  // namespace

bool PelHardwareRequirement::runRequirement() const {
    const platform::Value& check = icDic();
    if (check.get("MIN_OS")) return checkMinOS();
    if (check.get("MAX_OS")) return checkMaxOS();
    if (check.get("MIN_MEMORY")) return checkMinMemory();
    if (check.get("MIN_DISK_SPACE")) return checkDiskSpace();
    if (check.get("BlockOnK32Bit")) return isK32Bit();
    return true;
}

bool PelHardwareRequirement::checkMinOS() const {
    auto& hardware = PelHardwareUtilities::sharedHardwareUtilities();
    return PelHardwareUtilities::checkVersion(optionalText(stringFor(icDic(), "MIN_OS")),
                                              hardware.currentOS()) != -1;
}

bool PelHardwareRequirement::checkMaxOS() const {
    auto& hardware = PelHardwareUtilities::sharedHardwareUtilities();
    return PelHardwareUtilities::checkVersion(optionalText(stringFor(icDic(), "MAX_OS")),
                                              hardware.currentOS()) < 0;
}

bool PelHardwareRequirement::checkMinMemory() const {
    const std::string* text = stringFor(icDic(), "MIN_MEMORY");
    auto size = text ? PelHardwareUtilities::sizeInBytes(*text) : std::nullopt;
    // A negative minimum is met by any machine.
    if (!size || *size <= 0) return true;
    return PelHardwareUtilities::sharedHardwareUtilities().physicalMemory() >=
           static_cast<std::uint64_t>(*size);
}

bool PelHardwareRequirement::checkDiskSpace() const {
    const std::string* text = stringFor(icDic(), "MIN_DISK_SPACE");
    auto size = text ? PelHardwareUtilities::sizeInBytes(*text) : std::nullopt;
    if (!size) return true;
    return static_cast<double>(*size) <=
           PelHardwareUtilities::sharedHardwareUtilities().freeSpace();
}

bool PelHardwareRequirement::isK32Bit() const {
    const platform::Value* block = icDic().get("BlockOnK32Bit");
    if (!block || !block->boolValue()) return true;
    std::string machine;
    int result = 0;
    int errorNumber = 0;
    auto info = PelHardwareUtilities::sharedHardwareUtilities().systemInfo();
    if (!info->machineName(&machine, &result, &errorNumber)) {
        PelLogging::logNoticeMessage(
            "Error occurred while trying to retrieve machine architecture. Allowing install of the "
            "product");
        PelLogging::logNoticeMessageWithFormat("RetVal:%d  ErrorNo:%d", result, errorNumber);
        return true;
    }
    return machine != "i386";
}
