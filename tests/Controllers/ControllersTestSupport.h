// The one application object of the Controllers tests, on Qt's offscreen
// platform.
#pragma once

#include <cstdlib>

#include "Controllers/VTClientApplication.h"

namespace controllerstest {

/// Made at first use and kept until the process ends (Qt allows one
/// application object per process).
inline VTClientApplication& application() {
    static VTClientApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "controllers_tests";
        static char* argv[] = {name, nullptr};
        return new VTClientApplication(argc, argv);
    }();
    return *app;
}

}  // namespace controllerstest
