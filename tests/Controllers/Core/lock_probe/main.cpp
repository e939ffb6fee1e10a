// A second program for the instance-lock tests: takes the installer's lock
// for the identifier on its command line (under PEL_PATH_ROOT, as the
// installer does), prints "held", "another" or "unavailable", and keeps the
// lock until its standard input ends.
#include <unistd.h>

#include <cstdio>

#include "Controllers/Core/InstallerInstanceLock.h"

int main(int argc, char* argv[]) {
    if (argc != 2) return 2;
    const InstanceLockState state = InstallerInstanceLock::acquireShared(argv[1]);
    std::printf("%s\n", state == InstanceLockState::kHeld                ? "held"
                        : state == InstanceLockState::kHeldByAnotherCopy ? "another"
                                                                         : "unavailable");
    std::fflush(stdout);
    char byte;
    while (::read(STDIN_FILENO, &byte, 1) > 0) {
    }
    return 0;
}
