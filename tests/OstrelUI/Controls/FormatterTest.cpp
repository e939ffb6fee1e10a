#include <gtest/gtest.h>

#include "OstrelUI/Controls/XAttributedStringFormatter.h"
#include "QtTestApp.h"

using namespace ostrelui;
using ostrelui_test::qtApp;

namespace {

QTextCharFormat colored(Qt::GlobalColor c) {
    QTextCharFormat f;
    f.setForeground(QColor(c));
    return f;
}

struct StyledRun {
    int start, length;
    QColor color;
    bool operator==(const StyledRun&) const = default;
};

std::vector<StyledRun> runs(const AttributedText& t) {
    std::vector<StyledRun> out;
    for (const auto& r : t.formats)
        out.push_back({r.start, r.length, r.format.foreground().color()});
    return out;
}

}  // namespace

TEST(XAttributedStringFormatter, InsertsTheValueStyledAndKeepsTheSentenceInDefaults) {
    XAttributedStringFormatter f;
    f.setFormatSpecifierTextColor(Qt::red);
    const QTextCharFormat defaults = colored(Qt::black);

    f.setFormatSpecifier(QStringLiteral("Installing %@ now"));
    AttributedText t = f.attributedStringForObjectValue(QStringLiteral("Ostrel"), defaults);
    EXPECT_EQ(t.text, QStringLiteral("Installing Ostrel now"));
    EXPECT_EQ(runs(t),
              (std::vector<StyledRun>{{0, 11, Qt::black}, {11, 6, Qt::red}, {17, 4, Qt::black}}));

    // At the edges, and a number as the value.
    f.setFormatSpecifier(QStringLiteral("%@%"));
    t = f.attributedStringForObjectValue(42, defaults);
    EXPECT_EQ(t.text, QStringLiteral("42%"));
    EXPECT_EQ(runs(t), (std::vector<StyledRun>{{0, 2, Qt::red}, {2, 1, Qt::black}}));

    // No placeholder: the sentence as it is.
    f.setFormatSpecifier(QStringLiteral("Nothing to insert"));
    t = f.attributedStringForObjectValue(QStringLiteral("x"), defaults);
    EXPECT_EQ(t.text, QStringLiteral("Nothing to insert"));
    EXPECT_EQ(runs(t), (std::vector<StyledRun>{{0, 17, Qt::black}}));

    EXPECT_FALSE(f.getObjectValue(nullptr, QStringLiteral("42"), nullptr));
    EXPECT_EQ(f.stringForObjectValue(QStringLiteral("v")), QStringLiteral("v"));
}

TEST(XAttributedStringFormatter, StyleSettersKeepWhatIsAlreadySet) {
    qtApp();
    XAttributedStringFormatter f;
    f.setFormatSpecifierTextColor(Qt::red);
    f.setFormatSpecifierTextColor(Qt::blue);
    QFont bold(QStringLiteral("DejaVu Sans"), 15);
    bold.setBold(true);
    f.setFormatSpecifierTextFont(bold);
    f.setFormatSpecifierTextFont(QFont(QStringLiteral("DejaVu Sans"), 9));
    EXPECT_EQ(f.formatSpecifierAttributes().foreground().color(), QColor(Qt::red));
    EXPECT_EQ(f.formatSpecifierAttributes().fontPointSize(), 15);
    EXPECT_EQ(f.formatSpecifierAttributes().fontWeight(), QFont::Bold);
}

TEST(AttributedStringWithString, SetsAbsoluteSpacingEvenForZero) {
    EXPECT_FALSE(AttributedStringWithString(QString(), 1.5).has_value());
    for (double spacing : {0.0, 1.2, -0.5}) {
        auto t = AttributedStringWithString(QStringLiteral("Ostrel Security"), spacing);
        ASSERT_TRUE(t);
        ASSERT_EQ(t->formats.size(), 1);
        const auto& range = t->formats.front();
        EXPECT_EQ(range.start, 0);
        EXPECT_EQ(range.length, 15);
        EXPECT_TRUE(range.format.hasProperty(QTextFormat::FontLetterSpacing)) << spacing;
        EXPECT_EQ(range.format.fontLetterSpacing(), spacing);
        EXPECT_EQ(range.format.fontLetterSpacingType(), QFont::AbsoluteSpacing);
    }
}

TEST(OstrelUITextField, WrappingHeightFollowsTheLinesAtThePresentWidth) {
    qtApp();
    OstrelUITextField field(QStringLiteral("one two three four five six seven eight nine ten"));
    const QSize plain = field.sizeHint();
    field.setWordWrap(true);
    field.resize(60, 10);
    const QSize narrow = field.sizeHint();
    EXPECT_EQ(narrow.width(), 60);
    EXPECT_GT(narrow.height(), 2 * plain.height()) << "several lines";
    field.resize(1000, 10);
    EXPECT_EQ(field.sizeHint().height(), field.heightForWidth(1000));
}
