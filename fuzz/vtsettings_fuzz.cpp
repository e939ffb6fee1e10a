// Drives the decoders of the settings file "vtsettings.dat" with arbitrary
// bytes: the settings (VTSettings, with the bucket counters and the
// submission counters inside), and the bucket settings, submission stats and
// remote settings on their own. The file holds its keyed archive scrambled
// with the settings key table; the input is the archive in the clear, so
// that the fuzzer's mutations and the tokens it learns work on the archive
// itself, and is scrambled before the file's decoder reads it.
//
// Settings that decode go where a process takes them: their description,
// the merge of a save (the file's settings with this process's counted
// submission, and the file's settings as the start of this process's own
// counting), and writing the result back, which must decode again.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "VTErrorCreationLib/Utilities/VTCoding.h"
#include "VTErrorCreationLib/VTScrambledArchive.h"
#include "VTErrorCreationLib/VTSettings.h"

namespace {

// One submission counted as a submission operation counts it, within the
// day's limit, a minute into the day's period when one has begun.
void countOne(VTSettings& settings) {
    for (std::int32_t type : {kVTGatewayTypePing, kVTGatewayTypeUpload})
        settings.updateStats(type, [](VTSubmissionStats& stats) {
            const platform::Date now{stats.lastReset ? stats.lastReset->secondsSince1970 + 60
                                                     : 1.9e9};
            if (stats.submissionCount == 0 || !stats.lastReset ||
                now.secondsSince1970 - stats.lastReset->secondsSince1970 > 86400.0) {
                stats.submissionCount = 0;
                stats.lastReset = now;
            }
            if (stats.submissionCount >= 20) return false;
            ++stats.submissionCount;
            return true;
        });
    VTBucketSettings seen;
    seen.timesSeen = 1;
    seen.firstSeen = seen.lastSeen = platform::Date{1.9e9};
    settings.setSettings(seen, 0x52656720);
}

void writeBack(const VTSettings& settings) {
    platform::Data file;
    platform::Error error;
    std::optional<VTSettings> again;
    if (!VTEncodeScrambledArchive(&settings, &file, kVTSettingsKeyTable, &error) ||
        !VTDecodeScrambledArchive<VTSettings>(&again, file, kVTSettingsKeyTable, &error)) {
        std::fprintf(stderr, "saved settings do not decode: %s\n", error.description().c_str());
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const platform::Data archive(data, data + size);
    platform::Error error;
    (void)VTCodingUtilities::objectWithData<VTBucketSettings>(archive, &error);
    (void)VTCodingUtilities::objectWithData<VTSubmissionStats>(archive, &error);
    (void)VTCodingUtilities::objectWithData<VTRemoteSettings>(archive, &error);

    platform::Data file = archive;
    VTScrambleBytes(file, kVTSettingsKeyTable);
    std::optional<VTSettings> stored;
    if (!VTDecodeScrambledArchive<VTSettings>(&stored, file, kVTSettingsKeyTable, &error)) return 0;
    (void)stored->description();

    // Another process wrote the file while this one, which began without
    // one, counted a submission.
    VTSettings mine;
    countOne(mine);
    writeBack(VTSettings::merged(*stored, VTSettings(), mine));
    // This process began with the file's settings and counted a submission;
    // the file is unchanged when it saves.
    VTSettings counted(*stored);
    countOne(counted);
    writeBack(VTSettings::merged(*stored, *stored, counted));
    return 0;
}
