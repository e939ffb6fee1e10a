#include <gtest/gtest.h>

#include <QMouseEvent>

#include "OstrelUI/Controls/XTextFieldWithLinks.h"
#include "QtTestApp.h"

using namespace ostrelui;
using ostrelui_test::qtApp;

namespace {

struct RecordingTarget : XTextFieldActionTarget {
    std::vector<std::string> actions;
    bool performLinkAction(const std::string& action, XTextFieldWithLinks*) override {
        actions.push_back(action);
        return true;
    }
};

struct RecordingDelegate : XTextFieldWithLinksDelegate {
    std::vector<std::string> actions;
    unsigned implementedMethods() const override { return 0; }
    bool performLinkAction(const std::string& action, XTextFieldWithLinks*) override {
        actions.push_back(action);
        return true;
    }
};

void click(QWidget& w, QPointF at) {
    QMouseEvent press(QEvent::MouseButtonPress, at, w.mapToGlobal(at), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, w.mapToGlobal(at), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &release);
}

struct FieldFixture : ::testing::Test {
    bool app = (qtApp(), true);
    RecordingDelegate delegate;
    XTextFieldWithLinks field{nullptr, &delegate};
    std::vector<QUrl> opened;
    FieldFixture() {
        field.resize(400, 40);
        field.setUrlOpener([this](const QUrl& u) {
            opened.push_back(u);
            return true;
        });
    }
};

}  // namespace

TEST_F(FieldFixture, StartsWithOneSpaceAndNoLinks) {
    EXPECT_EQ(field.stringValue(), " ");
    EXPECT_TRUE(field.linkObjects().empty());
    EXPECT_TRUE(field.isEnabled());
    EXPECT_EQ(field.linkUnderline(), 1);
}

TEST_F(FieldFixture, ParseSetsTextAndLinksAndFailureKeepsBoth) {
    ASSERT_TRUE(field.parseAndSetString(
        QStringLiteral("Read the <A HREF=\"https://example.com/eula\">licence</A> and "
                       "<A ACTION=\"showPrivacyPolicy:\">privacy policy</A>.")));
    EXPECT_EQ(field.stringValue(), "Read the licence and privacy policy.");
    ASSERT_EQ(field.linkObjects().size(), 2u);
    const auto& url = field.linkObjects()[0];
    EXPECT_EQ(std::get<QUrl>(url), QUrl("https://example.com/eula"));
    EXPECT_EQ(field.indexOfLink(url), 9);
    EXPECT_EQ(field.stringForLink(field.linkObjects()[1]), QStringLiteral("privacy policy"));
    const auto& action = std::get<std::shared_ptr<XTextFieldSelectorLink>>(field.linkObjects()[1]);
    EXPECT_EQ(action->action(), "showPrivacyPolicy:");
    EXPECT_EQ(action->parent(), &field);

    // A good first link then a broken second one: nothing changes at all.
    EXPECT_FALSE(
        field.parseAndSetString(QStringLiteral("<A ACTION=\"a:\">one</A> <A ACTION=\"b:\">two")));
    EXPECT_EQ(field.stringValue(), "Read the licence and privacy policy.");
    EXPECT_EQ(field.linkObjects().size(), 2u);
    EXPECT_EQ(field.indexOfLink(XTextFieldLinkObject(QUrl("https://nowhere.example"))),
              XTextFieldWithLinks::kNotFound);
    EXPECT_FALSE(field.stringForLink(XTextFieldLinkObject(QUrl("https://nowhere.example"))));
}

TEST_F(FieldFixture, ClicksRouteToTargetDelegateOrOpener) {
    auto target = std::make_shared<RecordingTarget>();
    ASSERT_TRUE(field.parseAndSetString(
        QStringLiteral("<A ACTION=\"showEULA:\">Licence link text</A>"), target));
    click(field, QPointF(5, 5));
    EXPECT_EQ(target->actions, std::vector<std::string>{"showEULA:"});

    ASSERT_TRUE(
        field.parseAndSetString(QStringLiteral("<A ACTION=\"retry:\">Retry link text</A>")));
    click(field, QPointF(5, 5));
    EXPECT_EQ(delegate.actions, std::vector<std::string>{"retry:"});

    ASSERT_TRUE(
        field.parseAndSetString(QStringLiteral("<A HREF=\"https://example.com/\">Support</A>")));
    click(field, QPointF(5, 5));
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], QUrl("https://example.com/"));
}

TEST_F(FieldFixture, ClicksOutsideLinksOrWhileDisabledDoNothing) {
    ASSERT_TRUE(field.parseAndSetString(
        QStringLiteral("Plain words at the start <A ACTION=\"go:\">link</A>")));
    click(field, QPointF(3, 5));
    field.parseAndSetString(QStringLiteral("<A ACTION=\"go:\">Whole text is a link</A>"));
    field.setEnabled(false);
    click(field, QPointF(5, 5));
    EXPECT_TRUE(delegate.actions.empty());
    field.setEnabled(true);
    click(field, QPointF(5, 5));
    EXPECT_EQ(delegate.actions.size(), 1u);
}

TEST_F(FieldFixture, ValueSettersDoNotParseAndKeepFormats) {
    field.setStringValue(QStringLiteral("<A ACTION=\"go:\">x</A>"));
    EXPECT_EQ(field.stringValue(), "<A ACTION=\"go:\">x</A>");

    AttributedText source;
    source.text = QStringLiteral("Bold <A ACTION=\"go:\">link</A> tail");
    QTextLayout::FormatRange bold;
    bold.start = 0;
    bold.length = static_cast<int>(source.text.size());
    bold.format.setFontWeight(QFont::Bold);
    source.formats.append(bold);
    ASSERT_TRUE(field.parseAndSetAttributedString(source));
    const AttributedText shown = field.attributedStringValue();
    EXPECT_EQ(shown.text, "Bold link tail");
    int covered = 0;
    for (const auto& f : shown.formats) {
        EXPECT_EQ(f.format.fontWeight(), QFont::Bold);
        covered += f.length;
    }
    EXPECT_EQ(covered, shown.text.size());
}

TEST(XTextFieldDefaults, NewViewsTakeTheClassWideLinkStyle) {
    qtApp();
    XTextFieldWithLinks::setDefaultLinkColorNone();
    XTextFieldWithLinks::setDefaultLinkUnderline(0);
    {
        XTextFieldWithLinks field;
        EXPECT_FALSE(field.linkColor().has_value());
        EXPECT_EQ(field.linkUnderline(), 0);
    }
    XTextFieldWithLinks::setDefaultLinkColor(QColor(Qt::red));
    EXPECT_FALSE(XTextFieldWithLinks::defaultLinkColorIsNone());
    {
        XTextFieldWithLinks field;
        EXPECT_EQ(field.linkColor(), QColor(Qt::red));
    }
    XTextFieldWithLinks::setDefaultLinkColor(std::nullopt);
    XTextFieldWithLinks::setDefaultLinkUnderline(1);
}

namespace {
bool hasReddishPixel(const QImage& image) {
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.alpha() > 200 && c.red() > 200 && c.green() < 80 && c.blue() < 80) return true;
        }
    return false;
}
}  // namespace

TEST_F(FieldFixture, LinksTakeTheLinkColourUnlessDisabled) {
    field.setLinkColor(QColor(Qt::red));
    ASSERT_TRUE(field.parseAndSetString(QStringLiteral("<A ACTION=\"go:\">WWWWWWWW</A>")));
    EXPECT_TRUE(hasReddishPixel(ostrelui_test::renderWidget(field)));
    field.setEnabled(false);
    EXPECT_FALSE(hasReddishPixel(ostrelui_test::renderWidget(field)));
}

// A maximum line height caps lines that would be taller and leaves shorter
// ones alone.
TEST_F(FieldFixture, MaximumLineHeightCapsTallLinesOnly) {
    auto heightWith = [&](double pixels, std::optional<double> cap) {
        AttributedText source;
        source.text = QStringLiteral("one\ntwo\nthree");
        QTextLayout::FormatRange range;
        range.start = 0;
        range.length = static_cast<int>(source.text.size());
        QFont font = field.font();
        font.setPixelSize(static_cast<int>(pixels));
        range.format.setFont(font);
        if (cap) range.format.setProperty(kMaximumLineHeightProperty, *cap);
        source.formats.append(range);
        field.setAttributedStringValue(source);
        return field.sizeHint().height();
    };
    const int tall = heightWith(40, std::nullopt);
    EXPECT_GT(tall, 3 * 40);
    EXPECT_LE(heightWith(40, 30.0), 3 * 30 + 2);
    EXPECT_EQ(heightWith(12, 30.0), heightWith(12, std::nullopt));
}

// A link's words stay together when the text wraps: "contact Support" moves
// to the next line whole rather than breaking between its words.
TEST_F(FieldFixture, ALinkDoesNotBreakBetweenItsWords) {
    auto target = std::make_shared<RecordingTarget>();
    const QString upToContact =
        QStringLiteral("Your installer is not working properly. Please contact");
    // Wide enough for the text up to "contact", not for " Support".
    field.resize(field.fontMetrics().horizontalAdvance(upToContact) + 4, 200);
    ASSERT_TRUE(field.parseAndSetString(
        "Your installer is not working properly. Please <A action=\"openSupport:\">contact "
        "Support</A>.",
        target));
    EXPECT_EQ(field.linkRects().size(), 1u);
    EXPECT_EQ(field.stringValue(),
              QStringLiteral("Your installer is not working properly. Please contact Support."));
}
