#include <gtest/gtest.h>

#include "Platform/HttpRequest.h"

using platform::HttpHeaders;
using platform::HttpResponse;

namespace {

TEST(HttpRequestTest, HeaderNamesIgnoreCaseAndSetReplacesEveryField) {
    HttpHeaders h;
    h.add("Accept", "a");
    h.add("X-One", "1");
    h.add("accept", "b");
    EXPECT_EQ(h.value("ACCEPT"), "a");
    h.set("ACCEPT", "c");
    ASSERT_EQ(h.size(), 2u);
    EXPECT_EQ(h.fields()[0], (HttpHeaders::Field{"Accept", "c"}));
    h.remove("x-one");
    EXPECT_FALSE(h.contains("X-One"));
    EXPECT_EQ(h.get("Missing"), nullptr);
}

TEST(HttpRequestTest, ContentLengthAndResumeValidatorOfAResponse) {
    struct Case {
        platform::HttpHeaders::Field header;
        std::int64_t length;
        std::string validator;
    } cases[] = {
        {{"Content-Length", "1234"}, 1234, ""},
        {{"Content-Length", " 7 "}, 7, ""},
        {{"Content-Length", "-1"}, -1, ""},
        {{"Content-Length", "12x"}, -1, ""},
        {{"ETag", "\"abc\""}, -1, "\"abc\""},
        {{"ETag", "W/\"weak\""}, -1, ""},
        {{"Last-Modified", "Wed, 21 Oct 2015 07:28:00 GMT"}, -1, "Wed, 21 Oct 2015 07:28:00 GMT"},
    };
    for (const auto& c : cases) {
        HttpHeaders h;
        h.add(c.header.first, c.header.second);
        HttpResponse r(200, h, "http://x/");
        EXPECT_EQ(r.expectedContentLength(), c.length) << c.header.second;
        EXPECT_EQ(r.resumeValidator(), c.validator) << c.header.second;
    }
}

}  // namespace
