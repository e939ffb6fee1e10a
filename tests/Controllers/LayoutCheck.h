// The layout check of a live window: from its widget tree and pictures of
// it, everything a user would see as unfinished. Each finding is one line
// naming the screen, the widgets, their rectangles (window coordinates) and
// the numbers that fail.
//
//   layoutcheck::Survey survey;               // looks compared across screens
//   layoutcheck::Findings f = layoutcheck::check(window, "welcome", &survey);
//   ...
//   f << survey.findings();
//
// What counts as wrong in one window:
//  - two visible text-bearing widgets, controls or small pictures (logos,
//    icons) overlap where both can be seen;
//  - a label's text is wider (one line) or taller (wrapped) than the label,
//    a button's title wider than the button, a link broken over two lines;
//  - a visible widget is cut by its window or by a panel it lies in;
//  - a text's contrast against what is drawn behind it is below 4.5:1
//    (3:1 for large text: 18 pt, or 14 pt bold), measured on the picture of
//    the text itself and of each of its links (a text drawn in the colour of
//    its background counts as 1:1);
//  - much of a logo's or icon's drawing cannot be told from what lies
//    behind it (a light logo on a light page);
//  - more than one busy indicator turns at once;
//  - a push button that is not the kit's tinted one, or a row of buttons
//    whose buttons differ in style; in the main window a row that is not
//    centred in its parent or whose buttons differ in width;
//  - a button closer than 12 px to another text, control or picture, or
//    closer than 20 px to the edge of a dialog;
//  - buttons are shown but none is the default one; a control cannot be
//    reached with the Tab key; the focused control (however it got the
//    focus) draws no ring, nor does any control the Tab key reaches;
//  - a sentence tells the user to press or click a button of the installer
//    that is not one of this screen's;
//  - in the main window: a screen of the centre box or an overlay that shows
//    buttons but no title (a text of 20 pt or more), a step of the step
//    list that shows its icon without its text.
// Across screens (Survey): the screens' titles are drawn in one colour, the
// buttons of the screens share one style and so do those of the dialogs.
//
// The slides (SlideWatch, an application event filter): at the end of every
// transform a slide paints nothing outside the panel it belongs to
// (measured on its painting), an overlay never covers part of a sliding
// screen, and no review picture is taken while something of its window is
// still moving.
#pragma once

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QDynamicPropertyChangeEvent>
#include <QHash>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMap>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QRegion>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSet>
#include <QStackedWidget>
#include <QStyle>
#include <QTextDocument>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <vector>

#include "Controllers/MiddleRowView.h"
#include "Controllers/ShellSupport.h"
#include "OstrelUI/Controls/OstrelUIAnimation.h"
#include "OstrelUI/Controls/OstrelUISpinners.h"
#include "OstrelUI/Controls/OstrelUITintedButton.h"
#include "OstrelUI/Controls/OstrelUIViews.h"
#include "OstrelUI/Controls/PelgraveUIColors.h"
#include "OstrelUI/Controls/XTextFieldWithLinks.h"

namespace layoutcheck {

using Findings = QStringList;

/// Space a button keeps from other texts, controls and pictures, and from
/// the edges of a dialog.
inline constexpr int kButtonClearance = 12;
inline constexpr int kDialogEdgeClearance = 20;
/// A screen's title is a text of at least this size (points).
inline constexpr double kTitlePoints = 20;

inline QString rectText(const QRect& r) {
    return QStringLiteral("(%1,%2 %3x%4)").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

inline QString colorText(QRgb c) {
    return QStringLiteral("#%1").arg(c & 0xffffffu, 6, 16, QLatin1Char('0'));
}

inline QString nameOf(const QWidget* w) {
    QString name = w->objectName();
    if (name.isEmpty()) name = QString::fromLatin1(w->metaObject()->className());
    if (auto* label = qobject_cast<const QLabel*>(w); label && !label->text().isEmpty())
        name += QStringLiteral(" \"%1\"").arg(label->text().left(40));
    if (auto* button = qobject_cast<const QAbstractButton*>(w); button && !button->text().isEmpty())
        name += QStringLiteral(" \"%1\"").arg(button->text().left(40));
    if (auto* field = dynamic_cast<const ostrelui::XTextFieldWithLinks*>(w);
        field && !field->stringValue().isEmpty())
        name += QStringLiteral(" \"%1\"").arg(field->stringValue().left(40));
    return name;
}

/// The WCAG 2 contrast ratio of two pixels' colours.
inline double contrast(QRgb a, QRgb b) { return ostrelui::contrastRatio(QColor(a), QColor(b)); }

/// The text a widget shows ("" for none).
inline QString textOf(const QWidget* w) {
    if (auto* label = qobject_cast<const QLabel*>(w)) return label->text();
    if (auto* button = qobject_cast<const QAbstractButton*>(w)) return button->text();
    if (auto* field = dynamic_cast<const ostrelui::XTextFieldWithLinks*>(w))
        return field->stringValue();
    if (auto* combo = qobject_cast<const QComboBox*>(w)) return combo->currentText();
    return {};
}

/// The text without markup, as it reads.
inline QString plainText(const QWidget* w) {
    QString text = textOf(w);
    if (Qt::mightBeRichText(text)) {
        QTextDocument doc;
        doc.setHtml(text);
        text = doc.toPlainText();
    }
    return text.simplified();
}

inline bool isControl(const QWidget* w) {
    // A scroll bar belongs to its scroll area, which the keyboard scrolls.
    if (qobject_cast<const QScrollBar*>(w)) return false;
    if (qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QComboBox*>(w) ||
        qobject_cast<const QAbstractSlider*>(w) || qobject_cast<const QLineEdit*>(w))
        return true;
    auto* field = dynamic_cast<const ostrelui::XTextFieldWithLinks*>(w);
    return field && !field->linkObjects().empty();
}

/// A push button of a button row (not a check box, not a flat one).
inline bool isPushButton(const QWidget* w) {
    auto* push = qobject_cast<const QPushButton*>(w);
    return push && !push->isCheckable() && !push->isFlat();
}

/// A busy indicator that turns now.
inline bool isBusyIndicator(const QWidget* w) {
    if (auto* spinner = dynamic_cast<const ostrelui::OstrelUISpinnerView*>(w))
        return spinner->hasAnimation() && !spinner->isSpinnerHidden();
    if (auto* image = dynamic_cast<const ostrelui::OstrelUISpinningImageView*>(w))
        return image->isRunning();
    return false;
}

/// A picture that is a thing of its own (a logo, an icon), not a panel's
/// background.
inline bool isSmallPicture(const QWidget* w) {
    auto* label = qobject_cast<const QLabel*>(w);
    if (!label || !label->text().isEmpty() || label->pixmap().isNull()) return false;
    return w->width() * w->height() < 320 * 200;
}

/// Where a label draws its picture (window coordinates).
inline QRect pictureRect(const QLabel* label, const QWidget* window) {
    const QRect contents = label->contentsRect();
    QRect drawn = contents;
    if (!label->hasScaledContents()) {
        const QSize size = label->pixmap().deviceIndependentSize().toSize();
        drawn = QStyle::alignedRect(label->layoutDirection(), label->alignment(), size, contents) &
                contents;
    }
    return drawn.translated(label->mapTo(window, QPoint(0, 0)));
}

/// Whether `w` paints all of its rectangle with an opaque colour.
inline bool isOpaque(const QWidget* w) {
    if (auto* overlay = dynamic_cast<const ostrelui::OstrelUIGrayedOutView*>(w))
        return overlay->fillColor().alpha() >= 230;
    if (w->testAttribute(Qt::WA_OpaquePaintEvent)) return true;
    return w->autoFillBackground() && w->palette().color(w->backgroundRole()).alpha() == 255;
}

/// The part of `w` (window coordinates) that shows: clipped by each
/// ancestor, minus the opaque siblings above it and above its ancestors.
/// `clippedByAncestors` receives the rectangle before siblings are removed.
inline QRegion shownRegion(const QWidget* w, const QWidget* window, QRect* clippedByAncestors) {
    QRect own(w->mapTo(window, QPoint(0, 0)), w->size());
    QRect clip = own;
    QRegion region(own);
    for (const QWidget* child = w; child != window && child->parentWidget();
         child = child->parentWidget()) {
        const QWidget* parent = child->parentWidget();
        QRect parentRect(parent->mapTo(window, QPoint(0, 0)), parent->size());
        clip &= parentRect;
        region &= parentRect;
        const QObjectList& siblings = parent->children();
        bool above = false;
        for (QObject* object : siblings) {
            if (object == child) {
                above = true;
                continue;
            }
            auto* sibling = qobject_cast<QWidget*>(object);
            if (!above || !sibling || sibling->isWindow() || !sibling->isVisible()) continue;
            if (isOpaque(sibling))
                region -= QRect(sibling->mapTo(window, QPoint(0, 0)), sibling->size());
        }
    }
    if (clippedByAncestors) *clippedByAncestors = clip;
    return region;
}

/// The rectangle a label's text takes inside it (window coordinates).
inline QRect labelTextRect(const QLabel* label, const QWidget* window, QSize* needed) {
    const QRect contents = label->contentsRect();
    QSize size;
    if (Qt::mightBeRichText(label->text()) && label->textFormat() != Qt::PlainText) {
        QTextDocument doc;
        doc.setDefaultFont(label->font());
        doc.setDocumentMargin(0);
        doc.setHtml(label->text());
        if (label->wordWrap()) doc.setTextWidth(contents.width());
        size = QSize(static_cast<int>(std::ceil(doc.idealWidth())),
                     static_cast<int>(std::ceil(doc.size().height())));
    } else if (label->wordWrap()) {
        QRect bounds = label->fontMetrics().boundingRect(QRect(0, 0, contents.width(), 100000),
                                                         Qt::TextWordWrap, label->text());
        size = bounds.size();
    } else {
        size = label->fontMetrics().size(Qt::TextSingleLine, label->text());
    }
    if (needed) *needed = size;
    QRect inside = QStyle::alignedRect(label->layoutDirection(), label->alignment(),
                                       size.boundedTo(contents.size()), contents);
    return inside.translated(label->mapTo(window, QPoint(0, 0)));
}

/// The rectangle the text of a link field takes (window coordinates).
inline QRect fieldTextRect(const ostrelui::XTextFieldWithLinks* field, const QWidget* window) {
    QRect rect = field->rect();
    rect.setHeight(std::min(rect.height(), field->sizeHint().height()));
    return rect.translated(field->mapTo(window, QPoint(0, 0)));
}

/// The point size a font shows at (pixel sizes at 0.75 pt per pixel).
inline double pointsOf(const QFont& font) {
    return font.pointSizeF() > 0 ? font.pointSizeF() : font.pixelSize() * 0.75;
}

inline bool isLargeText(const QFont& font) {
    const double points = pointsOf(font);
    return points >= 18 || (points >= 14 && font.bold());
}

/// The colour that `counts` counts most often (`counts` not empty).
inline QRgb mostFrequent(const QHash<QRgb, int>& counts) {
    QRgb colour = 0;
    int most = -1;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        if (it.value() > most) most = it.value(), colour = it.key();
    return colour;
}

/// How far apart two colours are: their largest difference in one channel.
inline int channelDistance(QRgb a, QRgb b) {
    return std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                     std::abs(qBlue(a) - qBlue(b))});
}

/// The colours of `area` of `picture` that lie in `shown`: the most frequent
/// is the background, the one furthest from it (at least two pixels) the
/// ink. Answers false when the area is empty.
inline bool inkAndBackground(const QImage& picture, const QRect& area, const QRegion& shown,
                             QRgb* ink, QRgb* background) {
    const QRect inside = area & picture.rect();
    if (inside.width() < 2 || inside.height() < 2) return false;
    QHash<QRgb, int> counts;
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x)
            if (shown.contains(QPoint(x, y))) ++counts[picture.pixel(x, y) | 0xff000000u];
    if (counts.isEmpty()) return false;
    *background = mostFrequent(counts);
    *ink = *background;
    double best = 1;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        if (it.value() >= 2 && contrast(*background, it.key()) > best)
            best = contrast(*background, it.key()), *ink = it.key();
    return true;
}

/// How many pixels of `w` change when it loses the focus (it has it now);
/// the focus comes back with `reason`.
inline int focusChange(QWidget* w, Qt::FocusReason reason) {
    const QImage focused = w->grab().toImage().convertToFormat(QImage::Format_RGB32);
    w->clearFocus();
    const QImage plain = w->grab().toImage().convertToFormat(QImage::Format_RGB32);
    w->setFocus(reason);
    if (focused.size() != plain.size()) return 0;
    int changed = 0;
    for (int y = 0; y < focused.height(); ++y)
        for (int x = 0; x < focused.width(); ++x)
            if (channelDistance(focused.pixel(x, y), plain.pixel(x, y)) >= 40) ++changed;
    return changed;
}

/// The pixels a focus ring of `w` changes at least: half of its outline,
/// the outline of a link for a link field.
inline int ringNeeded(const QWidget* w) {
    if (dynamic_cast<const ostrelui::XTextFieldWithLinks*>(w)) return 40;
    return w->width() + w->height();
}

/// The style of a push button, as the user sees it.
inline QString buttonStyle(const QPushButton* b) {
    auto* tinted = dynamic_cast<const ostrelui::OstrelUITintedButton*>(b);
    if (!tinted) return QStringLiteral("a grey button of the style");
    return QStringLiteral("a tinted button (tint %1, shape %2, %3 px high)")
        .arg(tinted->buttonTint())
        .arg(tinted->buttonShape())
        .arg(b->height());
}

/// Looks compared across screens: the screens' titles, and the buttons of
/// one kind (those of the main window's screens, those of the dialogs).
class Survey {
  public:
    void addTitle(const QString& screen, const QString& widget, QRgb color) {
        looks_.push_back({screen, widget, QStringLiteral("titles"),
                          QStringLiteral("drawn in ") + colorText(color)});
    }
    void addButton(const QString& screen, const QString& widget, bool inDialog,
                   const QString& style) {
        looks_.push_back({screen, widget,
                          inDialog ? QStringLiteral("buttons of the dialogs")
                                   : QStringLiteral("buttons of the screens"),
                          style});
    }
    /// Every look that is not the one most of its group have.
    Findings findings() const {
        Findings out;
        QMap<QString, QMap<QString, int>> counts;  // group -> look -> count
        for (const Look& look : looks_) ++counts[look.group][look.look];
        for (const Look& look : looks_) {
            const QMap<QString, int>& group = counts[look.group];
            QString common;
            int most = 0, all = 0;
            for (auto it = group.cbegin(); it != group.cend(); ++it) {
                all += it.value();
                if (it.value() > most) most = it.value(), common = it.key();
            }
            if (look.look != common)
                out << QStringLiteral("[%1] %2 is %3; %4 of the %5 other %6 are %7")
                           .arg(look.screen, look.widget, look.look)
                           .arg(most)
                           .arg(all - 1)
                           .arg(look.group, common);
        }
        return out;
    }

  private:
    struct Look {
        QString screen, widget, group, look;
    };
    std::vector<Look> looks_;
};

struct Item {
    QWidget* widget;
    QRect rect;     // what can be compared for overlap (window coordinates)
    QRegion shown;  // the part that shows
    bool text;
};

/// The descendants of `parent` of class T (the kit's classes have no
/// meta-object of their own: findChildren would take every widget).
template <class T>
QList<T*> descendants(const QWidget* parent) {
    QList<T*> out;
    for (QWidget* w : parent->findChildren<QWidget*>())
        if (auto* t = dynamic_cast<T*>(w)) out << t;
    return out;
}

/// The gap between two rectangles (0 when they touch or meet).
inline int gapBetween(const QRect& a, const QRect& b) {
    const int dx = std::max({0, b.left() - a.right() - 1, a.left() - b.right() - 1});
    const int dy = std::max({0, b.top() - a.bottom() - 1, a.top() - b.bottom() - 1});
    return std::max(dx, dy);
}

/// Everything wrong with the visible widget tree of `window` (shown); the
/// looks compared across screens go to `survey`.
inline Findings check(QWidget* window, const QString& screen, Survey* survey = nullptr) {
    Findings out;
    auto say = [&](const QString& what) { out << QStringLiteral("[%1] %2").arg(screen, what); };
    QApplication::processEvents();
    const QImage picture = window->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRect windowRect(QPoint(0, 0), window->size());
    const bool dialog = window != nullptr && !qobject_cast<QMainWindow*>(window);

    std::vector<Item> items;
    QStringList busy;
    QList<QPushButton*> buttons;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisible() || w->isWindow() || w->width() <= 0 || w->height() <= 0) continue;
        if (w->window() != window) continue;
        const QString text = textOf(w);
        const bool control = isControl(w);
        const bool smallPicture = isSmallPicture(w);
        if (isBusyIndicator(w)) {
            QRect clipped;
            if (!shownRegion(w, window, &clipped).isEmpty()) busy << nameOf(w);
        }
        if (text.isEmpty() && !control && !smallPicture) continue;
        QRect clipped;
        QRegion shown = shownRegion(w, window, &clipped);
        if (shown.isEmpty()) continue;  // covered by something opaque
        const QRect own(w->mapTo(window, QPoint(0, 0)), w->size());
        if (!windowRect.contains(own))
            say(QStringLiteral("%1 %2 lies outside the window %3")
                    .arg(nameOf(w), rectText(own), rectText(windowRect)));
        else if (clipped != own)
            say(QStringLiteral("%1 %2 is cut by its panel to %3")
                    .arg(nameOf(w), rectText(own), rectText(clipped)));
        QRect rect = own;
        if (auto* label = qobject_cast<QLabel*>(w); label && !text.isEmpty()) {
            QSize needed;
            rect = labelTextRect(label, window, &needed);
            const QRect contents = label->contentsRect();
            if (label->wordWrap() && needed.height() > contents.height() + 1)
                say(QStringLiteral("%1 %2: its wrapped text needs %3 px of height, it has %4")
                        .arg(nameOf(w), rectText(own))
                        .arg(needed.height())
                        .arg(contents.height()));
            else if (!label->wordWrap() && needed.width() > contents.width() + 1)
                say(QStringLiteral("%1 %2: its text needs %3 px of width, it has %4")
                        .arg(nameOf(w), rectText(own))
                        .arg(needed.width())
                        .arg(contents.width()));
            else if (!label->wordWrap() && needed.height() > contents.height() + 2)
                say(QStringLiteral("%1 %2: its text needs %3 px of height, it has %4")
                        .arg(nameOf(w), rectText(own))
                        .arg(needed.height())
                        .arg(contents.height()));
        } else if (auto* label = qobject_cast<QLabel*>(w); label && smallPicture) {
            rect = pictureRect(label, window);
        } else if (auto* button = qobject_cast<QAbstractButton*>(w); button && !text.isEmpty()) {
            const int needed = button->fontMetrics().horizontalAdvance(text) +
                               (button->icon().isNull() ? 0 : button->iconSize().width() + 4) + 8;
            if (needed > w->width())
                say(QStringLiteral("%1 %2: its title needs %3 px of width, it has %4")
                        .arg(nameOf(w), rectText(own))
                        .arg(needed)
                        .arg(w->width()));
        } else if (auto* field = dynamic_cast<ostrelui::XTextFieldWithLinks*>(w);
                   field && !text.isEmpty()) {
            const int needed = w->heightForWidth(w->width());
            if (needed > w->height() + 1)
                say(QStringLiteral("%1 %2: its text needs %3 px of height, it has %4")
                        .arg(nameOf(w), rectText(own))
                        .arg(needed)
                        .arg(w->height()));
            rect = fieldTextRect(field, window);
            // A link reads as one thing: one line.
            QMap<int, int> lines;
            for (const auto& link : field->linkRects()) ++lines[link.link];
            for (auto it = lines.cbegin(); it != lines.cend(); ++it)
                if (it.value() > 1)
                    say(QStringLiteral("%1 %2: its link \"%3\" breaks over %4 lines")
                            .arg(nameOf(w), rectText(own))
                            .arg(field->stringForLink(field->linkObjects()[it.key()])
                                     .value_or(QString()))
                            .arg(it.value()));
        }
        items.push_back({w, rect & shown.boundingRect(), shown, !text.isEmpty()});
        if (auto* push = qobject_cast<QPushButton*>(w); push && push->isEnabled()) buttons << push;
    }

    // Overlaps: neither one inside the other, both seen where they meet.
    for (std::size_t i = 0; i < items.size(); ++i)
        for (std::size_t j = i + 1; j < items.size(); ++j) {
            const Item& a = items[i];
            const Item& b = items[j];
            if (a.widget->isAncestorOf(b.widget) || b.widget->isAncestorOf(a.widget)) continue;
            const QRect meet = a.rect & b.rect;
            if (meet.width() < 2 || meet.height() < 2) continue;
            if ((a.shown & b.shown & QRegion(meet)).isEmpty()) continue;
            say(QStringLiteral("%1 %2 overlaps %3 %4")
                    .arg(nameOf(a.widget), rectText(a.rect), nameOf(b.widget), rectText(b.rect)));
        }

    // Room around buttons: from the other things of the window, and in a
    // dialog from its edges.
    for (const Item& a : items) {
        if (!isPushButton(a.widget)) continue;
        for (const Item& b : items) {
            if (&a == &b || a.widget->isAncestorOf(b.widget) || b.widget->isAncestorOf(a.widget))
                continue;
            const QRect meet = a.rect & b.rect;
            if (meet.width() >= 2 && meet.height() >= 2) continue;  // an overlap, said above
            const int gap = gapBetween(a.rect, b.rect);
            if (gap < kButtonClearance && (!isPushButton(b.widget) || &b < &a))
                say(QStringLiteral("%1 %2 is %3 px from %4 %5; a button keeps %6 px clear")
                        .arg(nameOf(a.widget), rectText(a.rect))
                        .arg(gap)
                        .arg(nameOf(b.widget), rectText(b.rect))
                        .arg(kButtonClearance));
        }
        if (dialog) {
            const int edge =
                std::min({a.rect.left(), a.rect.top(), windowRect.right() - a.rect.right(),
                          windowRect.bottom() - a.rect.bottom()});
            if (edge < kDialogEdgeClearance)
                say(QStringLiteral("%1 %2 is %3 px from the edge of its window %4; a dialog's "
                                   "buttons keep %5 px")
                        .arg(nameOf(a.widget), rectText(a.rect))
                        .arg(edge)
                        .arg(rectText(windowRect))
                        .arg(kDialogEdgeClearance));
        }
    }

    // Contrast, measured on the picture of each text and of each link.
    auto checkContrast = [&](const QWidget* w, const QString& part, const QRect& area,
                             const QRegion& shown, const QFont& font) {
        QRgb ink = 0, background = 0;
        if (!inkAndBackground(picture, area, shown, &ink, &background)) return;
        const double measured = contrast(ink, background);
        const double need = isLargeText(font) ? 3.0 : 4.5;
        if (measured < need)
            say(QStringLiteral("%1%2 %3: contrast %4:1 (%5 on %6), needs %7:1")
                    .arg(nameOf(w), part, rectText(area))
                    .arg(measured, 0, 'f', 2)
                    .arg(colorText(ink), colorText(background))
                    .arg(need, 0, 'f', 1));
    };
    for (const Item& item : items) {
        if (!item.text || !item.widget->isEnabled()) continue;
        if (plainText(item.widget).isEmpty()) continue;
        checkContrast(item.widget, QString(), item.rect, item.shown, item.widget->font());
        if (auto* field = dynamic_cast<ostrelui::XTextFieldWithLinks*>(item.widget)) {
            const QPoint at = field->mapTo(window, QPoint(0, 0));
            for (const auto& link : field->linkRects()) {
                const QString name =
                    field->stringForLink(field->linkObjects()[static_cast<std::size_t>(link.link)])
                        .value_or(QString());
                checkContrast(field, QStringLiteral(": its link \"%1\"").arg(name),
                              link.rect.toAlignedRect().translated(at), item.shown, field->font());
            }
        }
    }

    // Logos and icons: their drawing stands out from what lies behind.
    for (const Item& item : items) {
        auto* label = qobject_cast<QLabel*>(item.widget);
        if (!label || item.text || !isSmallPicture(label)) continue;
        const QRect drawn = pictureRect(label, window) & picture.rect();
        if (drawn.width() < 4 || drawn.height() < 4) continue;
        const QImage art = label->pixmap()
                               .toImage()
                               .convertToFormat(QImage::Format_ARGB32)
                               .scaled(drawn.size(), Qt::IgnoreAspectRatio);
        QHash<QRgb, int> around;
        std::vector<QPoint> ink;
        for (int y = 0; y < drawn.height(); ++y)
            for (int x = 0; x < drawn.width(); ++x) {
                const QPoint p = drawn.topLeft() + QPoint(x, y);
                if (!item.shown.contains(p)) continue;
                const int alpha = qAlpha(art.pixel(x, y));
                if (alpha < 16)
                    ++around[picture.pixel(p) | 0xff000000u];
                else if (alpha >= 200)
                    ink.push_back(p);
            }
        if (around.isEmpty() || ink.size() < 20) continue;  // an opaque picture
        const QRgb background = mostFrequent(around);
        // Lost: within a few steps of the background in every channel.
        int lost = 0;
        for (const QPoint& p : ink)
            if (channelDistance(picture.pixel(p), background) < 32) ++lost;
        const double share = static_cast<double>(lost) / static_cast<double>(ink.size());
        if (share > 0.25)
            say(QStringLiteral("%1 %2: %3% of its drawing cannot be told from the %4 behind it")
                    .arg(nameOf(label), rectText(drawn))
                    .arg(static_cast<int>(std::lround(share * 100)))
                    .arg(colorText(background)));
    }

    if (busy.size() > 1)
        say(QStringLiteral("%1 busy indicators turn at once: %2")
                .arg(busy.size())
                .arg(busy.join(QStringLiteral(", "))));

    // Buttons: the kit's tinted ones, one style to a row; in the main window
    // (dialogs keep their own placement) a row is centred in its parent and
    // of one width.
    QMap<QPair<QWidget*, int>, QList<QPushButton*>> rows;
    for (QPushButton* b : buttons)
        if (b->parentWidget() && isPushButton(b))
            rows[{b->parentWidget(), b->geometry().center().y()}] << b;
    for (auto it = rows.cbegin(); it != rows.cend(); ++it) {
        const QList<QPushButton*>& row = it.value();
        for (QPushButton* b : row) {
            if (!dynamic_cast<ostrelui::OstrelUITintedButton*>(b))
                say(QStringLiteral("%1 %2 is %3, not a tinted button of the kit")
                        .arg(nameOf(b), rectText(QRect(b->mapTo(window, QPoint(0, 0)), b->size())))
                        .arg(buttonStyle(b)));
            else if (buttonStyle(b) != buttonStyle(row.front()))
                say(QStringLiteral("%1 is %2 and %3 in its row %4")
                        .arg(nameOf(b), buttonStyle(b), nameOf(row.front()),
                             buttonStyle(row.front())));
            else if (survey)
                survey->addButton(screen, nameOf(b), dialog, buttonStyle(b));
        }
        if (dialog) continue;
        QRect span;
        for (QPushButton* b : row) span |= b->geometry();
        const int offset = span.center().x() - it.key().first->rect().center().x();
        if (std::abs(offset) > 3)
            say(QStringLiteral("the row of %1 %2 is %3 px off the centre of %4")
                    .arg(nameOf(row.front()))
                    .arg(rectText(QRect(row.front()->mapTo(window, QPoint(0, 0)), span.size())))
                    .arg(offset)
                    .arg(nameOf(it.key().first)));
        for (QPushButton* b : row)
            if (b->width() != row.front()->width())
                say(QStringLiteral("%1 and %2 in one row differ in width (%3 and %4 px)")
                        .arg(nameOf(row.front()), nameOf(b))
                        .arg(row.front()->width())
                        .arg(b->width()));
    }

    if (!buttons.isEmpty() &&
        std::none_of(buttons.begin(), buttons.end(), [](QPushButton* b) { return b->isDefault(); }))
        say(QStringLiteral("no default button among %1 buttons (first %2)")
                .arg(buttons.size())
                .arg(nameOf(buttons.front())));

    // "Press Install again" asks for a button of the installer that must be
    // one of this screen's (shown, or shown again when the screen's step
    // is over).
    {
        auto screenOf = [window](QWidget* w) -> QWidget* {
            for (QWidget* a = w; a && a != window; a = a->parentWidget()) {
                QWidget* parent = a->parentWidget();
                if (!parent || parent == window) break;
                if (qobject_cast<QStackedWidget*>(parent) ||
                    dynamic_cast<ostrelui::OstrelUIGrayedOutView*>(parent))
                    return a;
            }
            return window;
        };
        QSet<QString> installerButtons;
        for (QPushButton* b : window->findChildren<QPushButton*>())
            if (!b->text().isEmpty()) installerButtons.insert(b->text());
        static const QRegularExpression asks(
            QStringLiteral("\\b(?i:press|click)\\s+([A-Z]\\w*(?:\\s+[A-Z]\\w*)*)"));
        for (const Item& item : items) {
            if (!item.text || qobject_cast<QAbstractButton*>(item.widget)) continue;
            const QString text = plainText(item.widget);
            QSet<QString> screenButtons;
            for (QPushButton* b : screenOf(item.widget)->findChildren<QPushButton*>())
                screenButtons.insert(b->text());
            for (auto match = asks.globalMatch(text); match.hasNext();) {
                const QString named = match.next().captured(1);
                // "Try Again" as much as "Try": the longest title it starts.
                QString button;
                for (const QString& title : installerButtons)
                    if ((named == title || named.startsWith(title + QLatin1Char(' '))) &&
                        title.size() > button.size())
                        button = title;
                if (!button.isEmpty() && !screenButtons.contains(button))
                    say(QStringLiteral("%1 %2 asks to press \"%3\", which is no button of this "
                                       "screen")
                            .arg(nameOf(item.widget), rectText(item.rect), button));
            }
        }
    }

    // The keyboard: the Tab key's chain reaches every control, and a
    // focused control shows that it is, whichever way the focus came.
    QSet<QWidget*> chain;
    for (QWidget* w = window->nextInFocusChain(); w && w != window && !chain.contains(w);
         w = w->nextInFocusChain())
        if ((w->focusPolicy() & Qt::TabFocus) && w->isEnabled()) chain.insert(w);
    for (const Item& item : items)
        if (isControl(item.widget) && item.widget->isEnabled() && !chain.contains(item.widget))
            say(QStringLiteral("%1 %2 cannot be reached with the Tab key")
                    .arg(nameOf(item.widget), rectText(item.rect)));
    auto isShownControl = [&](QWidget* w) {
        return std::any_of(items.begin(), items.end(), [w](const Item& item) {
            return item.widget == w && isControl(w) && w->isEnabled();
        });
    };
    auto where = [window](QWidget* w) {
        return rectText(QRect(w->mapTo(window, QPoint(0, 0)), w->size()));
    };
    // Moving the focus about changes which buttons are the default ones
    // (outside a dialog a button is one while it has the focus): put back.
    QList<QPair<QPointer<QPushButton>, bool>> defaults;
    for (QPushButton* b : window->findChildren<QPushButton*>())
        defaults.append({b, b->isDefault()});
    const bool keyboardFocusChange = window->testAttribute(Qt::WA_KeyboardFocusChange);
    // The control the window's focus is on, as the roads left it: the user
    // sees a ring on it (none when the window is not the active one).
    QWidget* focused = window->focusWidget();
    if (focused && isShownControl(focused)) {
        const int changed = focusChange(focused, Qt::OtherFocusReason);
        if (changed < ringNeeded(focused))
            say(QStringLiteral("the focused %1 %2 draws no focus ring%3: focused and unfocused "
                               "it differs in %4 px, a ring needs %5")
                    .arg(nameOf(focused), where(focused),
                         window->isActiveWindow()
                             ? QString()
                             : QStringLiteral(" (its window is not the active window)"))
                    .arg(changed)
                    .arg(ringNeeded(focused)));
    }
    // Every control the Tab key reaches, reached so.
    if (window->isActiveWindow()) {
        for (const Item& item : items) {
            QWidget* w = item.widget;
            if (w == focused || !isShownControl(w) || !chain.contains(w)) continue;
            w->setFocus(Qt::TabFocusReason);
            if (!w->hasFocus()) continue;
            const int changed = focusChange(w, Qt::TabFocusReason);
            if (changed < ringNeeded(w))
                say(QStringLiteral("%1 %2 draws no focus ring when the Tab key reaches it: %3 px "
                                   "change, a ring needs %4")
                        .arg(nameOf(w), where(w))
                        .arg(changed)
                        .arg(ringNeeded(w)));
        }
        if (focused)
            focused->setFocus(Qt::OtherFocusReason);
        else if (QWidget* now = window->focusWidget())
            now->clearFocus();
    }
    window->setAttribute(Qt::WA_KeyboardFocusChange, keyboardFocusChange);
    for (const auto& [b, wasDefault] : defaults)
        if (b && b->isDefault() != wasDefault) b->setDefault(wasDefault);

    // The main window's screens.
    if (!dialog) {
        auto* centre = window->findChild<QStackedWidget*>(QStringLiteral("centerBox"));
        ostrelui::OstrelUIGrayedOutView* overlay = nullptr;
        for (auto* o : descendants<ostrelui::OstrelUIGrayedOutView>(window))
            if (o->isVisible()) overlay = o;
        QWidget* page = overlay                         ? overlay
                        : centre && centre->isVisible() ? centre->currentWidget()
                                                        : nullptr;
        const bool asks = page && std::any_of(items.begin(), items.end(), [page](const Item& i) {
                              return isPushButton(i.widget) && page->isAncestorOf(i.widget);
                          });
        if (asks) {
            // A screen that asks something of the user says what, in its
            // title: the largest text of the screen.
            const Item* title = nullptr;
            for (const Item& item : items)
                if (item.text && page->isAncestorOf(item.widget) &&
                    !qobject_cast<QAbstractButton*>(item.widget) &&
                    pointsOf(item.widget->font()) >= kTitlePoints &&
                    (!title || pointsOf(item.widget->font()) > pointsOf(title->widget->font())))
                    title = &item;
            if (!title) {
                say(QStringLiteral("the screen %1 has no title (no text of %2 pt or more)")
                        .arg(nameOf(page))
                        .arg(kTitlePoints));
            } else if (survey) {
                QRgb ink = 0, background = 0;
                if (inkAndBackground(picture, title->rect, title->shown, &ink, &background))
                    survey->addTitle(screen, nameOf(title->widget), ink);
            }
        }
        // The step list: no step shows its icon without its text (as drawn:
        // an icon or a title can be there yet see-through).
        auto drawn = [&](QWidget* w, const QRect& area) {
            QRect clipped;
            const QRegion shown = shownRegion(w, window, &clipped);
            QRgb ink = 0, background = 0;
            return w->isVisible() && !shown.isEmpty() &&
                   inkAndBackground(picture, area, shown, &ink, &background) &&
                   contrast(ink, background) >= 1.5;
        };
        for (auto* row : descendants<MiddleRowView>(window)) {
            if (!row->isVisible() || !row->statusImage) continue;
            QLabel* title = row->titleMessage;
            const QRect icon(row->statusImage->mapTo(window, QPoint(0, 0)),
                             row->statusImage->size());
            if (!drawn(row->statusImage, icon)) continue;
            if (!title || title->text().isEmpty() ||
                !drawn(title, labelTextRect(title, window, nullptr)))
                say(QStringLiteral("a step of the step list %1 shows its icon %2 without its text")
                        .arg(rectText(QRect(row->mapTo(window, QPoint(0, 0)), row->size())),
                             row->statusImageName()));
        }
    }
    return out;
}

/// Watches the slides of a window while the roads run: at the end of every
/// transform a slide paints nothing outside the panel it belongs to (a
/// child of the window's content, at its place); an overlay never covers part of a
/// sliding screen; and no review picture is taken while something of its
/// window moves. Installed on the application, it looks before each queued
/// call and timer, that is between the steps of every animation.
class SlideWatch : public QObject {
  public:
    explicit SlideWatch(std::function<QString()> screen) : screen_(std::move(screen)) {}
    ~SlideWatch() override {
        if (qApp) qApp->removeEventFilter(this);
    }
    /// Watches `window` from now on (the application exists by then).
    void watch(QWidget* window) {
        if (!window_ && !installed_) qApp->installEventFilter(this);
        installed_ = true;
        window_ = window;
    }
    Findings takeFindings() { return std::exchange(findings_, {}); }

  protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        switch (event->type()) {
            case QEvent::MetaCall:
            case QEvent::Timer:
                look();
                break;
            case QEvent::DynamicPropertyChange: {
                auto* change = static_cast<QDynamicPropertyChangeEvent*>(event);
                auto* window = qobject_cast<QWidget*>(object);
                if (window && change->propertyName() == ReviewPictures::kTakenProperty &&
                    window->property(ReviewPictures::kTakenProperty).toBool())
                    lookAtPicture(window);
                break;
            }
            default:
                break;
        }
        return false;
    }

  private:
    void say(const QString& what) {
        const QString line = QStringLiteral("[%1] %2").arg(screen_(), what);
        if (!seen_.contains(what)) findings_ << line;
        seen_.insert(what);
    }

    /// The panel `w` belongs to: itself or its ancestor that is a child of
    /// the window's content.
    QWidget* panelOf(QWidget* w) const {
        QWidget* content = qobject_cast<QMainWindow*>(window_.data())
                               ? static_cast<QMainWindow*>(window_.data())->centralWidget()
                               : window_.data();
        while (w && w->parentWidget() && w->parentWidget() != content) w = w->parentWidget();
        return w;
    }

    /// Where the slide of `w` is drawn with `transform` (window coordinates,
    /// clipped by its ancestors).
    QRect drawnRect(QWidget* w, const QTransform& transform) const {
        QWidget* parent = w->parentWidget();
        QRect drawn = transform.mapRect(QRect(QPoint(0, 0), w->size()))
                          .translated(w->pos() + parent->mapTo(window_, QPoint(0, 0)));
        for (QWidget* a = parent; a && a != window_; a = a->parentWidget())
            drawn &= QRect(a->mapTo(window_, QPoint(0, 0)), a->size());
        return drawn & QRect(QPoint(0, 0), window_->size());
    }

    void look() {
        if (!window_ || !window_->isVisible()) return;
        QWidget* overlay = nullptr;
        for (auto* o : descendants<ostrelui::OstrelUIGrayedOutView>(window_))
            if (o->isVisible()) overlay = o;
        const QRect overlayRect =
            overlay ? QRect(overlay->mapTo(window_, QPoint(0, 0)), overlay->size()) : QRect();
        for (QWidget* w : window_->findChildren<QWidget*>()) {
            if (!w->parentWidget() || !w->parentWidget()->isVisible()) continue;
            const QTransform transform = ostrelui::Transition::transformOf(w);
            const bool moving = !transform.isIdentity() || ostrelui::Transition::isAnimating(w);
            if (!moving) continue;
            const QRect drawn = drawnRect(w, transform);
            if (drawn.isEmpty()) continue;
            QWidget* panel = panelOf(w);
            const QRect place(panel->mapTo(window_, QPoint(0, 0)), panel->size());
            if (!transform.isIdentity() && !place.adjusted(-1, -1, 1, 1).contains(drawn)) {
                const QRegion outside = QRegion(drawn) - place;
                const int painted = paintedBySlide(w, drawn, outside);
                if (painted > 0)
                    say(QStringLiteral("%1 ends its slide drawn at %2: %3 px of it outside its "
                                       "panel %4 %5")
                            .arg(nameOf(w), rectText(drawn))
                            .arg(painted)
                            .arg(nameOf(panel), rectText(place)));
            }
            if (overlay && !overlay->isAncestorOf(w)) {
                const QRect under = drawn & overlayRect;
                const double area = static_cast<double>(drawn.width()) * drawn.height();
                const double covered = static_cast<double>(under.width()) * under.height();
                if (covered > 0.1 * area && area - covered > 0.1 * area)
                    say(QStringLiteral("the overlay %1 covers %2% of %3, which is sliding at %4")
                            .arg(rectText(overlayRect))
                            .arg(static_cast<int>(std::lround(100 * covered / area)))
                            .arg(nameOf(w), rectText(drawn)));
            }
        }
    }

    /// How many pixels of `outside` (window coordinates) the slide of `w`
    /// paints, its transform putting it at `drawn`: the kit paints a slide
    /// as a snapshot on a see-through widget beside it, found as the one
    /// whose painting covers `drawn`.
    int paintedBySlide(QWidget* w, const QRect& drawn, const QRegion& outside) const {
        int most = 0;
        for (QObject* object : w->parentWidget()->children()) {
            auto* layer = qobject_cast<QWidget*>(object);
            if (!layer || layer == w || !layer->isVisible() ||
                !layer->testAttribute(Qt::WA_TransparentForMouseEvents) ||
                qstrcmp(layer->metaObject()->className(), "QWidget") != 0)
                continue;
            QImage painting(layer->size(), QImage::Format_ARGB32_Premultiplied);
            painting.fill(Qt::transparent);
            layer->render(&painting, QPoint(), QRegion(), QWidget::RenderFlags());
            const QPoint at = layer->mapTo(window_, QPoint(0, 0));
            QRect inked;
            int count = 0;
            for (int y = 0; y < painting.height(); ++y)
                for (int x = 0; x < painting.width(); ++x) {
                    if (qAlpha(painting.pixel(x, y)) == 0) continue;
                    const QPoint p = at + QPoint(x, y);
                    inked |= QRect(p, QSize(1, 1));
                    if (outside.contains(p)) ++count;
                }
            // This layer paints this slide: its painting lies where the slide
            // is drawn.
            if (!drawn.adjusted(-2, -2, 2, 2).contains(inked)) continue;
            most = std::max(most, count);
        }
        return most;
    }

    void lookAtPicture(QWidget* window) {
        for (QWidget* w : window->findChildren<QWidget*>())
            if (ostrelui::Transition::isAnimating(w) && w->isVisible())
                say(QStringLiteral("a review picture of %1 is taken while %2 is still moving")
                        .arg(nameOf(window), nameOf(w)));
        // The next picture of this window is watched too.
        window->setProperty(ReviewPictures::kTakenProperty, QVariant());
    }

    std::function<QString()> screen_;
    QPointer<QWidget> window_;
    bool installed_ = false;
    Findings findings_;
    QSet<QString> seen_;
};

/// Lays `pictures` out on one sheet, `columns` wide, each with its name.
inline QImage overviewSheet(const QList<QPair<QString, QImage>>& pictures, int columns = 4) {
    if (pictures.isEmpty()) return {};
    const int cellW = 420, cellH = 330, caption = 22;
    const int rows = (static_cast<int>(pictures.size()) + columns - 1) / columns;
    QImage sheet(columns * cellW, rows * (cellH + caption), QImage::Format_RGB32);
    sheet.fill(QColor(0x30, 0x30, 0x30));
    QPainter painter(&sheet);
    painter.setPen(Qt::white);
    for (int i = 0; i < pictures.size(); ++i) {
        const QRect cell((i % columns) * cellW, (i / columns) * (cellH + caption), cellW,
                         cellH + caption);
        QImage scaled = pictures[i].second.scaled(cellW - 10, cellH - 10, Qt::KeepAspectRatio,
                                                  Qt::SmoothTransformation);
        painter.drawImage(cell.x() + (cellW - scaled.width()) / 2, cell.y() + 5, scaled);
        painter.drawText(QRect(cell.x(), cell.y() + cellH, cellW, caption), Qt::AlignCenter,
                         pictures[i].first);
    }
    return sheet;
}

}  // namespace layoutcheck
