// The layout check of a live window: from its widget tree and one picture
// of it, everything a user would see as unfinished. Each finding is one line
// naming the screen, the widgets and their rectangles (window coordinates).
//
//   layoutcheck::Findings f = layoutcheck::check(window, "welcome");
//
// What counts as wrong:
//  - two visible text-bearing widgets, controls or small pictures (logos,
//    icons) overlap where both can be seen;
//  - a label's text is wider (one line) or taller (wrapped) than the label,
//    a button's title wider than the button;
//  - a visible widget is cut by its window or by a panel it lies in;
//  - a text's contrast against what is drawn behind it is below 4.5:1
//    (3:1 for large text: 18 pt, or 14 pt bold), measured on the picture;
//  - more than one busy indicator turns at once;
//  - in the main window, a row of buttons (same parent, same line) is not
//    centred in its parent or its buttons differ in width;
//  - buttons are shown but none is the default one, or a control cannot be
//    reached with the Tab key.
#pragma once

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QHash>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QPainter>
#include <QPushButton>
#include <QRegion>
#include <QScrollBar>
#include <QSet>
#include <QStyle>
#include <QTextDocument>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <vector>

#include "OstrelUI/Controls/OstrelUISpinners.h"
#include "OstrelUI/Controls/OstrelUIViews.h"
#include "OstrelUI/Controls/XTextFieldWithLinks.h"

namespace layoutcheck {

using Findings = QStringList;

inline QString rectText(const QRect& r) {
    return QStringLiteral("(%1,%2 %3x%4)").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

inline QString nameOf(const QWidget* w) {
    QString name = w->objectName();
    if (name.isEmpty()) name = QString::fromLatin1(w->metaObject()->className());
    if (auto* label = qobject_cast<const QLabel*>(w); label && !label->text().isEmpty())
        name += QStringLiteral(" \"%1\"").arg(label->text().left(40));
    if (auto* button = qobject_cast<const QAbstractButton*>(w); button && !button->text().isEmpty())
        name += QStringLiteral(" \"%1\"").arg(button->text().left(40));
    return name;
}

/// The relative luminance of WCAG 2.
inline double luminance(QRgb c) {
    auto channel = [](int v) {
        const double s = v / 255.0;
        return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(qRed(c)) + 0.7152 * channel(qGreen(c)) + 0.0722 * channel(qBlue(c));
}

inline double contrast(QRgb a, QRgb b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

/// The text a widget shows ("" for none).
inline QString textOf(const QWidget* w) {
    if (auto* label = qobject_cast<const QLabel*>(w)) return label->text();
    if (auto* button = qobject_cast<const QAbstractButton*>(w)) return button->text();
    if (auto* field = dynamic_cast<const ostrelui::XTextFieldWithLinks*>(w))
        return field->stringValue();
    if (auto* combo = qobject_cast<const QComboBox*>(w)) return combo->currentText();
    return {};
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

struct Item {
    QWidget* widget;
    QRect rect;     // what can be compared for overlap (window coordinates)
    QRegion shown;  // the part that shows
    bool text;
};

/// Everything wrong with the visible widget tree of `window` (shown).
inline Findings check(QWidget* window, const QString& screen) {
    Findings out;
    auto say = [&](const QString& what) { out << QStringLiteral("[%1] %2").arg(screen, what); };
    QApplication::processEvents();
    const QImage picture = window->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRect windowRect(QPoint(0, 0), window->size());

    std::vector<Item> items;
    int busy = 0;
    QList<QPushButton*> buttons;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisible() || w->isWindow() || w->width() <= 0 || w->height() <= 0) continue;
        if (w->window() != window) continue;
        const QString text = textOf(w);
        const bool control = isControl(w);
        const bool smallPicture = isSmallPicture(w);
        if (isBusyIndicator(w)) {
            QRect clipped;
            if (!shownRegion(w, window, &clipped).isEmpty()) ++busy;
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
        } else if (auto* button = qobject_cast<QAbstractButton*>(w); button && !text.isEmpty()) {
            const int needed = button->fontMetrics().horizontalAdvance(text) +
                               (button->icon().isNull() ? 0 : button->iconSize().width() + 4) + 8;
            if (needed > w->width())
                say(QStringLiteral("%1 %2: its title needs %3 px of width, it has %4")
                        .arg(nameOf(w), rectText(own))
                        .arg(needed)
                        .arg(w->width()));
        } else if (w->hasHeightForWidth() && !text.isEmpty()) {
            const int needed = w->heightForWidth(w->width());
            if (needed > w->height() + 1)
                say(QStringLiteral("%1 %2: its text needs %3 px of height, it has %4")
                        .arg(nameOf(w), rectText(own))
                        .arg(needed)
                        .arg(w->height()));
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

    // Contrast, measured on the picture: the most frequent colour of the
    // text's rectangle is its background, the colour furthest from it the
    // text's.
    for (const Item& item : items) {
        if (!item.text || !item.widget->isEnabled()) continue;
        const QRect area = item.rect & picture.rect();
        if (area.width() < 2 || area.height() < 2) continue;
        QHash<QRgb, int> counts;
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x)
                if (item.shown.contains(QPoint(x, y))) ++counts[picture.pixel(x, y) | 0xff000000u];
        if (counts.size() < 2) continue;
        QRgb background = 0;
        int most = -1;
        for (auto it = counts.cbegin(); it != counts.cend(); ++it)
            if (it.value() > most) most = it.value(), background = it.key();
        double best = 1;
        for (auto it = counts.cbegin(); it != counts.cend(); ++it)
            if (it.value() >= 2) best = std::max(best, contrast(background, it.key()));
        const QFont font = item.widget->font();
        const double points = font.pointSizeF() > 0 ? font.pointSizeF() : font.pixelSize() * 0.75;
        const bool large = points >= 18 || (points >= 14 && font.bold());
        const double need = large ? 3.0 : 4.5;
        if (best < need)
            say(QStringLiteral("%1 %2: contrast %3:1 against #%4, needs %5:1")
                    .arg(nameOf(item.widget), rectText(item.rect))
                    .arg(best, 0, 'f', 2)
                    .arg(background & 0xffffffu, 6, 16, QLatin1Char('0'))
                    .arg(need, 0, 'f', 1));
    }

    if (busy > 1) say(QStringLiteral("%1 busy indicators turn at once").arg(busy));

    // Button rows of the main window's screens (dialogs keep the platform's
    // own button placement): centred in their parent, one width.
    if (!qobject_cast<QDialog*>(window)) {
        QMap<QPair<QWidget*, int>, QList<QPushButton*>> rows;
        for (QPushButton* b : buttons)
            if (b->parentWidget() && !b->isCheckable())
                rows[{b->parentWidget(), b->geometry().center().y()}] << b;
        for (auto it = rows.cbegin(); it != rows.cend(); ++it) {
            const QList<QPushButton*>& row = it.value();
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
    }

    if (!buttons.isEmpty() &&
        std::none_of(buttons.begin(), buttons.end(), [](QPushButton* b) { return b->isDefault(); }))
        say(QStringLiteral("no default button among %1 buttons (first %2)")
                .arg(buttons.size())
                .arg(nameOf(buttons.front())));
    // The Tab key's chain from the window reaches every control.
    QSet<QWidget*> chain;
    for (QWidget* w = window->nextInFocusChain(); w && w != window && !chain.contains(w);
         w = w->nextInFocusChain())
        if ((w->focusPolicy() & Qt::TabFocus) && w->isEnabled()) chain.insert(w);
    for (const Item& item : items)
        if (isControl(item.widget) && item.widget->isEnabled() && !chain.contains(item.widget))
            say(QStringLiteral("%1 %2 cannot be reached with the Tab key")
                    .arg(nameOf(item.widget), rectText(item.rect)));
    return out;
}

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
