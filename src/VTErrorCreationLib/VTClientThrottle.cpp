#include "VTErrorCreationLib/VTClientThrottle.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

bool VTThrottleIsThrottled(const VTThrottleState& state, std::uint64_t limit,
                           platform::TimePoint now, bool switchedOff) {
    if (switchedOff || !state.lastErrorCreation || limit == 0) return false;
    const bool withinWindow = now - *state.lastErrorCreation < kVTThrottleWindow;
    return withinWindow && state.errorsCreated >= limit;
}

void VTThrottleRecordError(VTThrottleState& state, platform::TimePoint now) {
    const bool withinWindow =
        state.lastErrorCreation && now - *state.lastErrorCreation < kVTThrottleWindow;
    state.errorsCreated = withinWindow ? state.errorsCreated + 1 : 1;
    state.lastErrorCreation = now;
}

bool VTStringBoolValue(std::string_view text) {
    std::size_t i = 0;
    auto isSpace = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
    };
    while (i < text.size() && isSpace(text[i])) ++i;
    while (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    while (i < text.size() && text[i] == '0') ++i;
    if (i == text.size()) return false;
    const char c = text[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

namespace {

std::mutex gSwitchMutex;
bool gSwitchRead = false;
bool gSwitchValue = false;

}  // namespace

bool VTThrottlingDisabled() {
    std::lock_guard<std::mutex> lock(gSwitchMutex);
    if (!gSwitchRead) {
        const char* value = std::getenv("VT_DISABLE_THROTTLING");
        gSwitchValue = value != nullptr && VTStringBoolValue(value);
        gSwitchRead = true;
    }
    return gSwitchValue;
}

void VTResetThrottlingSwitchForTesting() {
    std::lock_guard<std::mutex> lock(gSwitchMutex);
    gSwitchRead = false;
}
