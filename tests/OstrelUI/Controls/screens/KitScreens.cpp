// Renders each control of the kit in each state to <out>/<control>-<state>.png
// and compares the pictures without text with the goldens in <golden>
// (tolerance 2 per channel). PEL_UPDATE_GOLDENS=1 rewrites the goldens.
//
//   pel_kit_screens <out-folder> <golden-folder>
#include <QApplication>
#include <QDir>
#include <QEnterEvent>
#include <QImage>
#include <QPainter>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "OstrelUI/Controls/OstrelUIAnimation.h"
#include "OstrelUI/Controls/OstrelUISwitchButton.h"
#include "OstrelUI/Controls/OstrelUITintedButton.h"
#include "OstrelUI/Controls/OstrelUITintedPopupButton.h"
#include "OstrelUI/Controls/PelgraveUIColors.h"
#include "OstrelUI/Controls/XAttributedStringFormatter.h"
#include "OstrelUI/Controls/XHyperlinkButton.h"
#include "OstrelUI/Controls/XTextFieldWithLinks.h"

using namespace ostrelui;

namespace {

QString gOut, gGolden;
bool gUpdate = false;
int gWritten = 0, gCompared = 0, gFailures = 0;
QList<QPair<QString, QImage>> gShots;  // for the overview sheet

// The widget's own painting on a white page with a 6-point margin, as it
// sits in a window.
QImage picture(QWidget& w) {
    QImage image(w.size() + QSize(12, 12), QImage::Format_ARGB32);
    image.fill(Qt::white);
    w.render(&image, QPoint(6, 6), QRegion(), QWidget::DrawChildren);
    return image;
}

bool near(const QImage& a, const QImage& b) {
    if (a.size() != b.size()) return false;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            if (std::abs(qRed(p) - qRed(q)) > 2 || std::abs(qGreen(p) - qGreen(q)) > 2 ||
                std::abs(qBlue(p) - qBlue(q)) > 2 || std::abs(qAlpha(p) - qAlpha(q)) > 2)
                return false;
        }
    }
    return true;
}

// Writes the picture; with `golden`, also checks it against its golden.
void shoot(QWidget& w, const QString& name, bool golden = false) {
    const QImage image = picture(w);
    const QString file = name + QStringLiteral(".png");
    if (!image.save(gOut + u'/' + file)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(gOut + u'/' + file));
        ++gFailures;
        return;
    }
    ++gWritten;
    gShots.append({name, image});
    if (!golden || gGolden.isEmpty()) return;
    const QString goldenFile = gGolden + u'/' + file;
    if (gUpdate) {
        image.save(goldenFile);
        return;
    }
    ++gCompared;
    QImage expected(goldenFile);
    if (expected.isNull() || !near(image, expected.convertToFormat(QImage::Format_ARGB32))) {
        std::fprintf(stderr, "differs from its golden: %s\n", qPrintable(file));
        ++gFailures;
    }
}

void enter(QWidget& w) {
    QEnterEvent e(QPointF(3, 3), QPointF(3, 3), QPointF(3, 3));
    QCoreApplication::sendEvent(&w, &e);
}

// Shows a window and makes it the active one, so its focus widget shows
// its focus ring.
void showActive(QWidget& window) {
    window.show();
    QApplication::setActiveWindow(&window);
    QCoreApplication::processEvents();
}

const char* const kStates[] = {"idle", "hover", "pressed", "disabled"};

void tintedButtons() {
    for (unsigned tint : {0u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u}) {
        for (int state = 0; state < 4; ++state) {
            for (bool titled : {true, false}) {
                OstrelUITintedButton b(titled ? QStringLiteral("Install") : QString());
                b.resize(140, 32);
                b.setButtonTint(tint);
                b.setButtonShape(titled ? 2 : 0);
                if (state == 1 || state == 2) enter(b);
                if (state == 2) b.setMouseDown(true);
                if (state == 3) b.setEnabled(false);
                shoot(b,
                      QStringLiteral("tinted-t%1-%2%3")
                          .arg(tint)
                          .arg(kStates[state])
                          .arg(titled ? "" : "-bezel"),
                      !titled);
            }
        }
    }
    for (unsigned shape = 0; shape <= 7; ++shape) {
        OstrelUITintedButton b;
        b.resize(140, 32);
        b.setButtonTint(0);
        b.setButtonShape(shape);
        shoot(b, QStringLiteral("tinted-shape%1").arg(shape), true);
    }
    QWidget window;
    auto* focused = new OstrelUITintedButton(QStringLiteral("Continue"), &window);
    focused->setGeometry(0, 0, 140, 32);
    focused->setButtonTint(10);
    showActive(window);
    focused->setFocus();
    shoot(*focused, QStringLiteral("tinted-t10-focused"));
}

void popupButtons() {
    for (unsigned style = 0; style < 3; ++style) {
        for (int state = 0; state < 4; ++state) {
            for (bool titled : {true, false}) {
                OstrelUITintedPopupButton b;
                b.resize(140, 28);
                if (titled) b.addItem(QStringLiteral("English"));
                b.setButtonStyle(style);
                if (state == 3) b.setEnabled(false);
                b.setUIState(state == 3 ? 0 : state);
                shoot(b,
                      QStringLiteral("popup-s%1-%2%3")
                          .arg(style)
                          .arg(kStates[state])
                          .arg(titled ? "" : "-bezel"),
                      !titled);
            }
        }
    }
}

QPixmap roundedPixmap(QSize size, QColor color) {
    QPixmap p(size);
    p.fill(Qt::transparent);
    QPainter painter(&p);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(color);
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(QRectF(QPointF(0, 0), size), size.height() / 2.0, size.height() / 2.0);
    return p;
}

void switches() {
    for (bool labelled : {false, true}) {
        for (bool on : {false, true}) {
            OstrelUISwitchButton s;
            s.resize(80, 28);
            s.setOffStateImage(roundedPixmap(QSize(80, 28), colorWithDeviceHex(0xCCCCCC)));
            s.setOnStateImage(roundedPixmap(QSize(80, 28), colorWithDeviceHex(0x33A033)));
            s.setOffStateToggle(roundedPixmap(QSize(24, 24), Qt::white));
            s.setOnStateToggle(roundedPixmap(QSize(24, 24), colorWithDeviceHex(0xF8F8F8)));
            if (labelled) {
                s.setOnStateString(QStringLiteral("ON"));
                s.setOffStateString(QStringLiteral("OFF"));
            }
            s.setChecked(on);
            shoot(
                s,
                QStringLiteral("switch-%1%2").arg(on ? "on" : "off").arg(labelled ? "-labels" : ""),
                !labelled);
        }
    }
}

void hyperlinks() {
    for (int state = 0; state < 4; ++state) {
        XHyperlinkButton b(QStringLiteral("Privacy policy"));
        b.resize(b.sizeHint());
        b.setEnabledColor(PelgraveUIHyperLinkColor());
        b.setHoverColor(colorWithDeviceHex(0x1F8AC3));
        b.setClickedColor(colorWithDeviceHex(0x00558A));
        b.setUnderlined(state != 0);
        if (state == 1) enter(b);
        if (state == 2) b.setDown(true);
        if (state == 3) b.setEnabled(false);
        shoot(b, QStringLiteral("hyperlink-%1").arg(kStates[state]));
    }
}

void texts() {
    OstrelUITextField field(QStringLiteral(
        "The installer checks your computer, removes older versions and installs the product."));
    field.setWordWrap(true);
    field.resize(220, 10);
    field.resize(field.sizeHint());
    shoot(field, QStringLiteral("textfield-wrapping"));

    XAttributedStringFormatter formatter;
    formatter.setFormatSpecifier(QStringLiteral("Installing %@ on this Mac"));
    QFont bold = QApplication::font();
    bold.setBold(true);
    formatter.setFormatSpecifierTextFont(bold);
    formatter.setFormatSpecifierTextColor(PelgraveUIHyperLinkColor());
    XTextFieldWithLinks formatted;
    formatted.setAttributedStringValue(
        formatter.attributedStringForObjectValue(QStringLiteral("Ostrel Security"), {}));
    formatted.resize(formatted.sizeHint());
    shoot(formatted, QStringLiteral("formatter-value"));

    auto spaced = AttributedStringWithString(QStringLiteral("OSTREL SECURITY"), 3);
    XTextFieldWithLinks title;
    title.setAttributedStringValue(*spaced);
    title.resize(title.sizeHint());
    shoot(title, QStringLiteral("spacing-3"));

    QWidget window;
    window.resize(400, 80);
    auto* links = new XTextFieldWithLinks(&window);
    links->parseAndSetString(QStringLiteral(
        "Read the <A HREF=\"https://example.com/eula\">licence agreement</A> and the "
        "<A ACTION=\"showPrivacy:\">privacy policy</A>."));
    links->setGeometry(0, 0, 380, 20);
    links->resize(380, links->sizeHint().height());
    showActive(window);
    shoot(*links, QStringLiteral("textlinks-idle"));
    links->setFocus(Qt::TabFocusReason);
    shoot(*links, QStringLiteral("textlinks-focused-first-link"));
    links->setEnabled(false);
    shoot(*links, QStringLiteral("textlinks-disabled"));
}

// Every picture with its name on one sheet, for a quick look.
void writeOverview() {
    const int columns = 4, cellW = 260, labelH = 16;
    int rowH = 0;
    for (const auto& shot : gShots) rowH = std::max(rowH, shot.second.height());
    rowH += labelH + 6;
    const int rows = (static_cast<int>(gShots.size()) + columns - 1) / columns;
    QImage sheet(columns * cellW, rows * rowH, QImage::Format_ARGB32);
    sheet.fill(QColor(0xEE, 0xEE, 0xEE));
    QPainter p(&sheet);
    QFont small = QApplication::font();
    small.setPointSize(8);
    p.setFont(small);
    for (int i = 0; i < gShots.size(); ++i) {
        const QPoint origin((i % columns) * cellW, (i / columns) * rowH);
        p.setPen(Qt::black);
        p.drawText(QRect(origin, QSize(cellW, labelH)), Qt::AlignLeft | Qt::AlignVCenter,
                   gShots[i].first);
        p.drawImage(origin + QPoint(0, labelH), gShots[i].second);
    }
    p.end();
    sheet.save(gOut + QStringLiteral("/overview-all.png"));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <out-folder> [<golden-folder>]\n", argv[0]);
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    app.setFont(QFont(QStringLiteral("DejaVu Sans"), 13));
    setAnimationScale(0);
    gOut = QString::fromLocal8Bit(argv[1]);
    if (argc > 2) gGolden = QString::fromLocal8Bit(argv[2]);
    gUpdate = std::getenv("PEL_UPDATE_GOLDENS") && *std::getenv("PEL_UPDATE_GOLDENS") == '1';
    if (!QDir().mkpath(gOut) || (gUpdate && !QDir().mkpath(gGolden))) {
        std::fprintf(stderr, "cannot make the output folders\n");
        return 1;
    }

    tintedButtons();
    popupButtons();
    switches();
    hyperlinks();
    texts();
    writeOverview();

    std::printf("%d pictures in %s, %d compared with goldens, %d failures\n", gWritten,
                qPrintable(gOut), gCompared, gFailures);
    return gFailures == 0 ? 0 : 1;
}
