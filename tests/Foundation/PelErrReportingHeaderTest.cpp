// The failure-report API's public header holds no test seam: code that
// includes it cannot install the recorder, which changes what Begin does.
#include "Foundation/PelErrReporting.h"

// Neither declaration compiles if the header declares the recorder or its
// record.
using PelErrReportingRecorder = int;
using PelErrReportingRecord = int;
static_assert(sizeof(PelErrReportingRecorder) + sizeof(PelErrReportingRecord) == 2 * sizeof(int));
