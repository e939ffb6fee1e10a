#include <gtest/gtest.h>

#include "OstrelUI/Controls/LinkMarkup.h"

using namespace ostrelui;

namespace {
struct GoodCase {
    const char16_t* source;
    const char16_t* text;
    std::vector<MarkupLink> links;
};
struct BadCase {
    const char16_t* source;
    MarkupError error;
};
}  // namespace

TEST(LinkMarkup, ParsesWellFormedMarkup) {
    const GoodCase cases[] = {
        {u"No links here", u"No links here", {}},
        {u"You agree to the <A action=\"showEULA:\">Licence</A>.",
         u"You agree to the Licence.",
         {{LinkKind::kAction, u"showEULA:", 17, 7}}},
        {u"<A action=\"a:\">P</A>   |   <A action=\"b:\">T</A>",
         u"P   |   T",
         {{LinkKind::kAction, u"a:", 0, 1}, {LinkKind::kAction, u"b:", 8, 1}}},
        {u"see <a href=\"https://www.example.com/x?y=1#z\">site</a>!",
         u"see site!",
         {{LinkKind::kHref, u"https://www.example.com/x?y=1#z", 4, 4}}},
        {u"<A \t ACTION=\"go:\" \t>t</A>", u"t", {{LinkKind::kAction, u"go:", 0, 1}}},
        // Markup inside a link's text stays text; the search resumes after "</A>".
        {u"<A HREF=\"http://a\">x <A y</A> z", u"x <A y z", {{LinkKind::kHref, u"http://a", 0, 6}}},
        {u"<A HREF=\"mailto:s@example.com\"></A>end",
         u"end",
         {{LinkKind::kHref, u"mailto:s@example.com", 0, 0}}},
        {u"", u"", {}},
    };
    for (const GoodCase& c : cases) {
        MarkupError error = MarkupError::kBadTagEnd;
        const auto parsed = parseLinkMarkup(c.source, &error);
        ASSERT_TRUE(parsed) << std::string(c.source,
                                           c.source + std::char_traits<char16_t>::length(c.source));
        EXPECT_EQ(error, MarkupError::kNone);
        EXPECT_EQ(parsed->text, c.text);
        EXPECT_EQ(parsed->links, c.links);
    }
}

TEST(LinkMarkup, RejectsMalformedMarkup) {
    const BadCase cases[] = {
        {u"an <Apple> here", MarkupError::kBadTagStart},
        {u"ends with <A ", MarkupError::kBadTagStart},
        {u"ends with <A", MarkupError::kBadTagStart},
        {u"<A   ", MarkupError::kBadTagStart},
        {u"<A NAME=\"x\">t</A>", MarkupError::kUnknownAttribute},
        {u"<A HREF='http://a'>t</A>", MarkupError::kUnknownAttribute},
        {u"<A ACTION=\"", MarkupError::kUnknownAttribute},
        {u"<A HREF=\"http://a", MarkupError::kUnterminatedValue},
        {u"<A HREF=\"http://a\"", MarkupError::kUnterminatedValue},
        {u"<A HREF=\"http://a\" TARGET=\"b\">t</A>", MarkupError::kBadTagEnd},
        {u"<A HREF=\"http://a\">t", MarkupError::kMissingCloseTag},
        {u"<A HREF=\"http://a\">t</A> then <A HREF=\"http://b\">u", MarkupError::kMissingCloseTag},
        {u"<A HREF=\"has space\">t</A>", MarkupError::kBadAddress},
        {u"<A HREF=\"\">t</A>", MarkupError::kBadAddress},
        {u"<A HREF=\"http://a/%zz\">t</A>", MarkupError::kBadAddress},
        {u"<A HREF=\"1http://a\">t</A>", MarkupError::kBadAddress},
        {u"<A ACTION=\"9bad\">t</A>", MarkupError::kBadActionName},
        {u"<A ACTION=\"\">t</A>", MarkupError::kBadActionName},
        {u"<A ACTION=\"do it:\">t</A>", MarkupError::kBadActionName},
    };
    for (const BadCase& c : cases) {
        MarkupError error = MarkupError::kNone;
        EXPECT_FALSE(parseLinkMarkup(c.source, &error))
            << std::string(c.source, c.source + std::char_traits<char16_t>::length(c.source));
        EXPECT_EQ(error, c.error) << std::string(
            c.source, c.source + std::char_traits<char16_t>::length(c.source));
    }
}

TEST(LinkMarkup, SegmentsMapOutputBackToSource) {
    const std::u16string source = u"ab<A ACTION=\"x:\">cd</A>ef";
    const auto parsed = parseLinkMarkup(source);
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->segments.size(), 3u);
    EXPECT_EQ(parsed->segments[1].sourceStart, 17u);
    EXPECT_EQ(parsed->segments[1].outputStart, 2u);
    EXPECT_EQ(parsed->segments[2].sourceStart, 23u);
    EXPECT_EQ(parsed->segments[2].outputStart, 4u);
}
