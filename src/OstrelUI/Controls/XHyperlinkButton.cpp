#include "OstrelUI/Controls/XHyperlinkButton.h"

#include <QEnterEvent>
#include <QPainter>

#include "OstrelUI/Controls/OstrelUIAccessibility.h"
#include "OstrelUI/Controls/OstrelUIAppearance.h"
#include "OstrelUI/Controls/OstrelUIGuard.h"

namespace ostrelui {

namespace {

std::optional<QColor> colorFrom(const platform::Dictionary& archive, const char* key) {
    auto it = archive.find(key);
    if (it == archive.end() || !it->second.isString()) return std::nullopt;
    const QColor color = QColor::fromString(QString::fromStdString(it->second.stringValue()));
    if (!color.isValid()) return std::nullopt;
    return color;
}

void putColor(platform::Dictionary& archive, const char* key, const std::optional<QColor>& c) {
    if (c) archive[key] = c->name(QColor::HexArgb).toUpper().toStdString();
}

}  // namespace

XHyperlinkButton::XHyperlinkButton(QWidget* parent) : XHyperlinkButton(QString(), parent) {}

XHyperlinkButton::XHyperlinkButton(const QString& title, QWidget* parent)
    : QAbstractButton(parent) {
    installAccessibilityFactory();
    setText(title);
    setFocusPolicy(Qt::StrongFocus);
    updateCursor();
}

void XHyperlinkButton::setEnabledColor(std::optional<QColor> color) {
    if (color == enabledColor_) return;
    enabledColor_ = std::move(color);
    update();
}

QColor XHyperlinkButton::disabledColor() const {
    return disabledColor_ ? *disabledColor_ : palette().color(QPalette::Disabled, QPalette::Text);
}

void XHyperlinkButton::setDisabledColor(std::optional<QColor> color) {
    if (color == disabledColor_) return;
    disabledColor_ = std::move(color);
    update();
}

void XHyperlinkButton::setHoverColor(std::optional<QColor> color) {
    if (color == hoverColor_) return;
    hoverColor_ = std::move(color);
    if (!hoverColor_) mouseInside_ = false;
    update();
}

void XHyperlinkButton::setUnderlined(bool underlined) {
    if (underlined == underlined_) return;
    underlined_ = underlined;
    update();
}

QColor XHyperlinkButton::titleColor() const {
    if (isDown() && clickedColor_) return *clickedColor_;
    if (!isDown() && mouseInside_ && hoverColor_) return *hoverColor_;
    if (isEnabled()) {
        if (enabledColor_) return *enabledColor_;
    } else {
        return disabledColor();
    }
    return palette().color(QPalette::Text);
}

void XHyperlinkButton::encode(platform::Dictionary& archive) const {
    archive[kUnderlineKey] = underlined_;
    putColor(archive, kEnabledColorKey, enabledColor_);
    putColor(archive, kDisabledColorKey, disabledColor_);
    putColor(archive, kClickedColorKey, clickedColor_);
    putColor(archive, kHoverColorKey, hoverColor_);
}

void XHyperlinkButton::decode(const platform::Dictionary& archive) {
    auto underline = archive.find(kUnderlineKey);
    setUnderlined(underline != archive.end() && underline->second.boolValue());
    setEnabledColor(colorFrom(archive, kEnabledColorKey));
    if (archive.count(kDisabledColorKey)) setDisabledColor(colorFrom(archive, kDisabledColorKey));
    if (archive.count(kClickedColorKey)) setClickedColor(colorFrom(archive, kClickedColorKey));
    if (archive.count(kHoverColorKey)) setHoverColor(colorFrom(archive, kHoverColorKey));
}

QSize XHyperlinkButton::sizeHint() const {
    const QFontMetrics fm = fontMetrics();
    return QSize(fm.horizontalAdvance(text()) + 4, fm.height() + 2);
}

void XHyperlinkButton::paintEvent(QPaintEvent*) {
    guarded([this] {
        QPainter painter(this);
        QFont f = font();
        f.setUnderline(underlined_);
        painter.setFont(f);
        painter.setPen(titleColor());
        painter.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine, text());
        if (hasFocus()) paintFocusRing(painter, *this, rect(), 2);
    })();
}

void XHyperlinkButton::enterEvent(QEnterEvent* event) {
    guarded([&] {
        QAbstractButton::enterEvent(event);
        if (hoverColor_) {
            mouseInside_ = true;
            update();
        }
    })();
}

void XHyperlinkButton::leaveEvent(QEvent* event) {
    guarded([&] {
        QAbstractButton::leaveEvent(event);
        if (mouseInside_) {
            mouseInside_ = false;
            update();
        }
    })();
}

void XHyperlinkButton::changeEvent(QEvent* event) {
    QAbstractButton::changeEvent(event);
    if (event->type() == QEvent::EnabledChange) {
        updateCursor();
        update();
    }
}

void XHyperlinkButton::updateCursor() {
    if (isEnabled())
        setCursor(Qt::PointingHandCursor);
    else
        unsetCursor();
}

}  // namespace ostrelui
