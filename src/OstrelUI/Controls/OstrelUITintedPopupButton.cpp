#include "OstrelUI/Controls/OstrelUITintedPopupButton.h"

#include <QEnterEvent>
#include <QPainter>
#include <QPainterPath>
#include <array>
#include <mutex>

#include "OstrelUI/Controls/OstrelUIAppearance.h"
#include "OstrelUI/Controls/OstrelUIGuard.h"
#include "OstrelUI/Controls/PelgraveUIColors.h"

namespace ostrelui {

namespace {

using StyleTable = std::array<std::array<OstrelUITintedPopupButton::Look, 4>, 3>;

// Built once for the process and shared by every button.
const StyleTable& styleTable() {
    static StyleTable table;
    static std::once_flag once;
    std::call_once(once, [] {
        const QColor white = QColor::fromRgbF(1, 1, 1, 1);
        const QColor fills[4] = {PelgraveUIButtonDefaultColor(), PelgraveUIButtonHoverColor(),
                                 PelgraveUIButtonClickedColor(), PelgraveUIButtonDisabledColor()};
        for (int state = 0; state < 4; ++state) {
            table[0][state].backgroundColor = fills[state];
            table[1][state] = {white, fills[state], std::nullopt};
        }
        table[2][0] = {white, QColor::fromRgbF(0.99f, 0.84f, 0.45f, 1), std::nullopt};
        table[2][1] = {white, PelgraveUIButtonHoverColor(), std::nullopt};
        table[2][2] = {QColor::fromRgbF(0.0f, 0.54f, 0.78f, 1),
                       QColor::fromRgbF(0.44f, 0.78f, 0.93f, 1), std::nullopt};
        table[2][3] = {white, PelgraveUIButtonDisabledColor(), std::nullopt};
    });
    return table;
}

}  // namespace

OstrelUITintedPopupButton::Look OstrelUITintedPopupButton::lookFor(unsigned style, unsigned state) {
    if (style >= 3 || state >= 4) return {};
    return styleTable()[style][state];
}

OstrelUITintedPopupButton::OstrelUITintedPopupButton(QWidget* parent) : QComboBox(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setUIState(kNormal);
}

void OstrelUITintedPopupButton::setUIState(unsigned state) {
    uistate_ = state;
    const Look look = lookFor(style_, isEnabled() ? state : kDisabled);
    backgroundColor_ = look.backgroundColor.value_or(QColor::fromRgbF(1, 1, 1, 1));
    borderColor_ = look.borderColor.value_or(QColor(Qt::transparent));
    roundCorner_ = look.cornerRadius.has_value();
    cornerRadius_ = look.cornerRadius.value_or(0);
}

void OstrelUITintedPopupButton::setMenuShown(bool shown) {
    menuShown_ = shown;
    setUIState(shown ? kPressed : kNormal);
    update();
}

void OstrelUITintedPopupButton::setImage(QPixmap p) {
    image_ = std::move(p);
    update();
}

void OstrelUITintedPopupButton::setAlternateImage(QPixmap p) {
    alternateImage_ = std::move(p);
    update();
}

void OstrelUITintedPopupButton::showPopup() {
    guarded([this] {
        QComboBox::showPopup();
        setMenuShown(true);
    })();
}

void OstrelUITintedPopupButton::hidePopup() {
    guarded([this] {
        QComboBox::hidePopup();
        setMenuShown(false);
    })();
}

void OstrelUITintedPopupButton::enterEvent(QEnterEvent* event) {
    guarded([&] {
        QComboBox::enterEvent(event);
        setUIState(kHovered);
        if (isEnabled()) {
            mouseInside_ = true;
            update();
        }
    })();
}

void OstrelUITintedPopupButton::leaveEvent(QEvent* event) {
    guarded([&] {
        QComboBox::leaveEvent(event);
        setUIState(menuShown_ ? kPressed : kNormal);
        if (isEnabled()) {
            mouseInside_ = false;
            update();
        }
    })();
}

void OstrelUITintedPopupButton::changeEvent(QEvent* event) {
    QComboBox::changeEvent(event);
    if (event->type() == QEvent::EnabledChange) {
        setUIState(uistate_);
        update();
    }
}

void OstrelUITintedPopupButton::paintEvent(QPaintEvent*) {
    guarded([this] { paint(); })();
}

void OstrelUITintedPopupButton::paint() {
    QPainter painter(this);
    const QRectF frame = rect();
    QPainterPath path;
    if (roundCorner_) {
        painter.setRenderHint(QPainter::Antialiasing);
        path.addRoundedRect(frame, cornerRadius_, cornerRadius_);
    } else {
        path.addRect(frame);
    }
    painter.fillPath(path, backgroundColor_);
    painter.strokePath(path, QPen(borderColor_, borderWidth()));

    // The re-styled title, then the image (if any) at its own size in the
    // middle: both are drawn.
    if (!currentText().isEmpty()) {
        painter.setFont(font());
        painter.setPen(isEnabled() ? PelgraveUIButtonTitleColor()
                                   : PelgraveUIButtonDisabledTitleColor());
        painter.drawText(frame, Qt::AlignCenter | Qt::TextSingleLine,
                         fontMetrics().elidedText(currentText(), Qt::ElideRight,
                                                  static_cast<int>(frame.width())));
    }
    const QPixmap& picture = currentImage();
    if (!picture.isNull()) {
        const QSizeF s = picture.deviceIndependentSize();
        painter.drawPixmap(
            QPointF((frame.width() - s.width()) / 2, (frame.height() - s.height()) / 2), picture);
    }
    if (hasFocus()) paintFocusRing(painter, *this, frame, 0);
}

}  // namespace ostrelui
