// The input stream moved to the utilities, where the archive library can
// reach it; this name stays for the error-creation code.
#pragma once

#include "VTErrorCreationLib/Utilities/VTInputStream.h"
