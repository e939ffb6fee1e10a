// The automatic throttle of the reporting client, as pure functions of the
// stored state and "now", and its process-wide off switch.
//
// Errors that follow each other less than 10 seconds apart form a burst; a
// burst may hold at most `limit` errors, after which errors are refused until
// 10 seconds have passed since the last error that was let through. A limit
// of 0 never throttles.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "Platform/Dispatch/Clock.h"

/// The window within which consecutive errors count as one burst.
inline constexpr std::chrono::duration<double> kVTThrottleWindow{10.0};

struct VTThrottleState {
    /// Errors let through in the current burst.
    std::uint64_t errorsCreated = 0;
    /// When the last error was let through; unset before the first.
    std::optional<platform::TimePoint> lastErrorCreation;
};

/// Whether an error made at `now` is refused.
bool VTThrottleIsThrottled(const VTThrottleState& state, std::uint64_t limit,
                           platform::TimePoint now, bool switchedOff);
/// Records an error let through at `now`: it joins the burst, or starts a new
/// one when the window since the last error has passed.
void VTThrottleRecordError(VTThrottleState& state, platform::TimePoint now);

/// The Boolean value of a text as the platform's strings give it: leading
/// white space, signs and zeros are skipped; "Y", "y", "T", "t" or a digit
/// 1-9 then means true; anything else (or nothing) false.
bool VTStringBoolValue(std::string_view text);

/// The switch of the environment variable VT_DISABLE_THROTTLING: its Boolean
/// value when present, else false. Read once per process.
bool VTThrottlingDisabled();
/// Makes the next VTThrottlingDisabled() read the environment again (tests).
void VTResetThrottlingSwitchForTesting();
