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
    std::ifstream in("/proc/self/exe", std::ios::binary);
    std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(image.find("VTTest_TwoArguments"), std::string::npos);
    EXPECT_NE(image.find("Vantrel"), std::string::npos);
    EXPECT_NE(image.find(".note.stapsdt"), std::string::npos);
#else
    GTEST_SKIP() << "built without <sys/sdt.h>: probes compile to nothing";
#endif
}

}  // namespace
