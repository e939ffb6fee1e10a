#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "VTErrorCreationLib/Utilities/VTTrace.h"

namespace {

int fireProbes(const char* path, long value) {
    VT_TRACE(VTTest_NoArguments);
    VT_TRACE(VTTest_TwoArguments, path, value);
    return 7;
}

TEST(VTTrace, ProbesLandInTheNoteSectionAndChangeNothing) {
    EXPECT_EQ(fireProbes("/tmp/x", 3), 7);
#ifdef VT_TRACE_ENABLED
    // Read the image in one go: a character-by-character read of a large
    // debug build takes most of a minute under the sanitizers.
    std::ifstream in("/proc/self/exe", std::ios::binary | std::ios::ate);
    std::string image(static_cast<std::size_t>(in.tellg()), '\0');
    in.seekg(0);
    in.read(image.data(), static_cast<std::streamsize>(image.size()));
    EXPECT_NE(image.find("VTTest_TwoArguments"), std::string::npos);
    EXPECT_NE(image.find("Vantrel"), std::string::npos);
    EXPECT_NE(image.find(".note.stapsdt"), std::string::npos);
#else
    GTEST_SKIP() << "built without <sys/sdt.h>: probes compile to nothing";
#endif
}

}  // namespace
