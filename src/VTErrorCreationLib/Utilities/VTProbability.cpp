#include "VTErrorCreationLib/Utilities/VTProbability.h"

#include <stdlib.h>

#include <mutex>

namespace {

std::mutex& sourceMutex() {
    static std::mutex m;
    return m;
}

VTRandomUniform& testSource() {
    static VTRandomUniform source;
    return source;
}

}  // namespace

bool VTTestProbability(int n, const VTRandomUniform& uniform) {
    if (n == 1) return true;
    if (n <= 0) return false;
    return uniform(static_cast<std::uint32_t>(n)) == 0;
}

bool VTTestProbability(int n) {
    {
        std::lock_guard<std::mutex> lock(sourceMutex());
        if (testSource()) return VTTestProbability(n, testSource());
    }
    return VTTestProbability(n, [](std::uint32_t bound) { return arc4random_uniform(bound); });
}

void VTSetRandomSourceForTesting(VTRandomUniform uniform) {
    std::lock_guard<std::mutex> lock(sourceMutex());
    testSource() = std::move(uniform);
}
