// This build has neither the install engine's facade nor the downloader's:
// the screens run only with engines and downloaders set by their callers.
#include "Controllers/Core/FSDFacade.h"
#include "Controllers/Core/InstallEngine.h"

#ifndef PEL_HAVE_INSTALLER_FRAMEWORK
std::shared_ptr<InstallEngine> makeProductionInstallEngine() { return nullptr; }
#endif

#ifndef PEL_HAVE_PEL_FSD
FSDFacade::Factory makeProductionFSDFactory() { return nullptr; }
#endif
