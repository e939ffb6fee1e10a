#include <gtest/gtest.h>

#include "Platform/Http/HttpRequest.h"

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

namespace {

TEST(HttpRequestTest, HeadReaderStartsOverAtEachStatusLine) {
    platform::HttpHeadReader reader;
    using Kind = platform::HttpHeadReader::LineKind;
    EXPECT_EQ(reader.addLine("HTTP/1.1 100 Continue\r\n"), Kind::StatusLine);
    EXPECT_EQ(reader.addLine("\r\n"), Kind::End);
    EXPECT_EQ(reader.status(), 100);
    EXPECT_EQ(reader.addLine("HTTP/1.1 206 Partial Content\r\n"), Kind::StatusLine);
    EXPECT_EQ(reader.addLine("ETag:  \"x\" \r\n"), Kind::Field);
    EXPECT_EQ(reader.addLine("X-Long: first\r\n"), Kind::Field);
    EXPECT_EQ(reader.addLine("\t second\r\n"), Kind::Field);
    EXPECT_EQ(reader.addLine("no colon here\r\n"), Kind::Ignored);
    EXPECT_EQ(reader.addLine("\r\n"), Kind::End);
    EXPECT_EQ(reader.status(), 206);
    EXPECT_EQ(reader.headers().value("etag"), "\"x\"");
    EXPECT_EQ(reader.headers().value("X-Long"), "first second");
    EXPECT_EQ(reader.headers().size(), 2u);

    reader.addLine("HTTP/1.1 abc\r\n");
    EXPECT_EQ(reader.status(), 0);
    EXPECT_TRUE(reader.headers().empty());
}

TEST(HttpRequestTest, ContentRangeStart) {
    struct Case {
        const char* value;
        std::optional<std::uint64_t> start;
    } cases[] = {
        {"bytes 40000-99999/100000", 40000},
        {"bytes 0-0/*", 0},
        {" bytes 5-9/10 ", 5},
        {"bytes 5-9/9", std::nullopt},
        {"bytes 9-5/10", std::nullopt},
        {"bytes */100", std::nullopt},
        {"bytes -5/10", std::nullopt},
        {"items 0-1/2", std::nullopt},
        {"bytes 18446744073709551616-1/2", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(platform::contentRangeStart(c.value), c.start) << c.value;
}

}  // namespace
