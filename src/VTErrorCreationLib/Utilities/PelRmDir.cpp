#include "VTErrorCreationLib/Utilities/PelRmDir.h"

#include <cerrno>
#include <string>

#include "Platform/System/SharedFolder.h"

extern "C" int PelRmDir(const char* path, bool force) {
    if (!path || !*path) return EINVAL;
    // The folder holding the tree is opened once; from there the walk goes
    // by descriptor and never follows a link, so nothing that changes in
    // the tree while it runs can lead it outside.
    return platform::SharedFolder::removeTreeAt(path, force);
}
