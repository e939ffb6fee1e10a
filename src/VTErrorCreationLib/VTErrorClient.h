// What an error needs of the reporting client that made or loaded it: the
// client's current configuration, which names the error folders and the
// attachment size limit.
#pragma once

#include <memory>

#include "VTErrorCreationLib/VTSCDConfiguration.h"

class VTErrorClient {
  public:
    virtual ~VTErrorClient() = default;
    /// The configuration in force now, or null when the client has none. The
    /// client may replace it at any time; callers take it afresh each time.
    virtual std::shared_ptr<const VTSCDConfiguration> scdConfiguration() const = 0;
};
