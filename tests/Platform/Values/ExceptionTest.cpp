#include <gtest/gtest.h>

#include "Platform/Text/Format.h"
#include "Platform/Values/Exception.h"

TEST(ExceptionTest, CarriesNameReasonUserInfoAndStack) {
    try {
        throw platform::Exception(std::string(platform::kRangeException), "index 3 beyond bounds",
                                  {{"index", platform::Value(3)}});
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "index 3 beyond bounds");
        auto& ex = dynamic_cast<const platform::Exception&>(e);
        EXPECT_EQ(ex.name(), "NSRangeException");
        EXPECT_EQ(ex.userInfo().at("index"), platform::Value(3));
        ASSERT_FALSE(ex.callStackReturnAddresses().empty());
        EXPECT_EQ(ex.callStackSymbols().size(), ex.callStackReturnAddresses().size());
        EXPECT_EQ(platform::format("%@", ex), "index 3 beyond bounds");
    }
}
