#include "OstrelUI/Controls/OstrelUITintedButton.h"

#include <QEnterEvent>
#include <QKeyEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>
#include <string>

#include "OstrelUI/Controls/OstrelUIAppearance.h"
#include "OstrelUI/Controls/OstrelUIGuard.h"
#include "OstrelUI/Controls/PelgraveUIColors.h"
#include "Platform/Values/Exception.h"

namespace ostrelui {

namespace {

enum Gradient {
    kBlueNormal,
    kBlueHover,
    kSteelAltNormal,
    kSteelHover,
    kSteelNormal,
    kOrangeNormal,
    kOrangeHover,
    kWhiteNormal,
    kWhiteHover,
    kRedOrangeNormal,
    kRedOrangeHover,
    kRedNormal,
    kRedHover,
    kGradientCount
};

// The gradient set, made once for the process and shared by every button.
const std::array<QGradientStops, kGradientCount>& gradients() {
    static std::array<QGradientStops, kGradientCount> set;
    static std::once_flag once;
    std::call_once(once, [] {
        auto two = [](std::uint32_t from, std::uint32_t to) {
            return QGradientStops{{0.0, colorWithDeviceHex(from)}, {1.0, colorWithDeviceHex(to)}};
        };
        set[kBlueNormal] = two(0x1F8AC3, 0x37BEDE);
        set[kBlueHover] = two(0x37BEDE, 0x1F8AC3);
        set[kSteelAltNormal] = two(0x5C8BC3, 0x86B0D6);
        set[kSteelHover] = two(0x6594C7, 0x7BBAD1);
        set[kSteelNormal] = two(0x5C8CC3, 0x86B0D6);
        set[kOrangeNormal] = {{0.0, colorWithDeviceHex(0xFF9514)},
                              {0.7, colorWithDeviceHex(0xFFBC21)},
                              {1.0, colorWithDeviceHex(0xFFB41A)}};
        set[kOrangeHover] = two(0xFFC424, 0xFF9414);
        set[kWhiteNormal] = two(0xF3F3F3, 0xFFFFFF);
        set[kWhiteHover] = two(0xFFFFFF, 0xF3F3F3);
        set[kRedOrangeNormal] = two(0xFF8911, 0xFF590B);
        set[kRedOrangeHover] = two(0xFF590B, 0xFF8911);
        set[kRedNormal] = two(0xFF000A, 0xFF000A);
        set[kRedHover] = two(0xED1919, 0xED1919);
    });
    return set;
}

bool validTint(unsigned tint) { return tint != 1 && tint <= OstrelUITintedButton::kMaxTint; }

QPainterPath roundedRect(const QRectF& frame, double rx, double ry) {
    QPainterPath path;
    rx = std::min(rx, frame.width() / 2);
    ry = std::min(ry, frame.height() / 2);
    path.addRoundedRect(frame, rx, ry);
    return path;
}

}  // namespace

OstrelUITintedButton::OstrelUITintedButton(QWidget* parent)
    : OstrelUITintedButton(QString(), parent) {}

OstrelUITintedButton::OstrelUITintedButton(const QString& title, QWidget* parent)
    : QPushButton(title, parent) {
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_Hover);
}

OstrelUITintedButton* OstrelUITintedButton::dialogButton(const QString& title, QWidget* parent) {
    auto* button = new OstrelUITintedButton(title, parent);
    button->setButtonTint(9);
    button->setButtonShape(4);
    button->setFixedSize(std::max(96, button->fontMetrics().horizontalAdvance(title) + 32), 32);
    return button;
}

void OstrelUITintedButton::matchWidths(const std::vector<QPushButton*>& buttons) {
    int width = 0;
    for (QPushButton* b : buttons)
        if (b) width = std::max(width, b->minimumWidth());
    for (QPushButton* b : buttons)
        if (b) b->setFixedWidth(width);
}

void OstrelUITintedButton::setButtonShape(unsigned shape) {
    shape_ = shape;
    updateGeometry();
    update();
}

void OstrelUITintedButton::setButtonTint(unsigned tint) {
    tint_ = tint;
    update();
}

void OstrelUITintedButton::setXPadding(float padding) {
    xPadding_ = padding;
    updateGeometry();
}

void OstrelUITintedButton::setWraps(bool wraps) {
    wraps_ = wraps;
    updateGeometry();
}

void OstrelUITintedButton::setMouseDown(bool down) {
    mouseDown_ = down;
    mouseDownOutside_ = false;
    update();
}

void OstrelUITintedButton::pointerEntered() {
    if (mouseInside_) return;
    if (isEnabled()) {
        mouseInside_ = true;
        mouseDown_ = mouseDownOutside_;
        update();
    }
}

void OstrelUITintedButton::pointerExited() {
    if (!mouseInside_) return;
    if (isEnabled()) {
        mouseInside_ = false;
        mouseDownOutside_ = mouseDown_;
        mouseDown_ = false;
        update();
    }
}

void OstrelUITintedButton::resetHover() { pointerExited(); }

void OstrelUITintedButton::enterEvent(QEnterEvent* event) {
    guarded([&] {
        QPushButton::enterEvent(event);
        if (!tracking_) pointerEntered();
    })();
}

void OstrelUITintedButton::leaveEvent(QEvent* event) {
    guarded([&] {
        QPushButton::leaveEvent(event);
        if (!tracking_) pointerExited();
    })();
}

void OstrelUITintedButton::mousePressEvent(QMouseEvent* event) {
    guarded([&] {
        QPushButton::mousePressEvent(event);
        if (event->button() != Qt::LeftButton || !isEnabled()) return;
        tracking_ = true;
        pointerEntered();
        setMouseDown(true);
    })();
}

void OstrelUITintedButton::mouseMoveEvent(QMouseEvent* event) {
    guarded([&] {
        QPushButton::mouseMoveEvent(event);
        if (!tracking_) return;
        // While the button is held the pointer's crossings arrive here.
        if (rect().contains(event->position().toPoint()))
            pointerEntered();
        else
            pointerExited();
    })();
}

void OstrelUITintedButton::mouseReleaseEvent(QMouseEvent* event) {
    guarded([&] {
        const bool wasTracking = tracking_ && event->button() == Qt::LeftButton;
        if (wasTracking) {
            tracking_ = false;
            mouseDown_ = false;
            mouseDownOutside_ = false;
            if (!rect().contains(event->position().toPoint())) mouseInside_ = false;
            update();
        }
        QPushButton::mouseReleaseEvent(event);
    })();
}

void OstrelUITintedButton::keyPressEvent(QKeyEvent* event) {
    guarded([&] {
        if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
            event->modifiers() == Qt::NoModifier && !autoDefault() && !isDefault()) {
            click();
            return;
        }
        QPushButton::keyPressEvent(event);
    })();
}

void OstrelUITintedButton::changeEvent(QEvent* event) {
    QPushButton::changeEvent(event);
    // The focus ring follows the window's activation too: Qt repaints on
    // activation only when the palette's groups differ.
    if (event->type() == QEvent::EnabledChange || event->type() == QEvent::ActivationChange)
        update();
}

QPainterPath OstrelUITintedButton::bezelPath(const QRectF& frame) const {
    switch (shape_) {
        case 0: {
            const double r = tint_ == 3 ? 8 : 5;
            return roundedRect(frame, r, r);
        }
        case 1:
            return tint_ == 3 || tint_ == 5 ? roundedRect(frame, 5, 5) : roundedRect(frame, 8, 5);
        case 2:
            return roundedRect(frame, 15, 15);
        case 3:
            return roundedRect(frame, 12, 12);
        case 4:
        case 5: {
            QPainterPath path;
            path.addRect(frame);
            return path;
        }
        case 6:
            return roundedRect(frame, frame.height() / 2, frame.height() / 2);
        default:
            return {};
    }
}

QColor OstrelUITintedButton::titleColor() const {
    switch (tint_) {
        case 4:
            return colorWithDeviceHex(0x91B5D9);
        case 9:
            if (!isEnabled()) return colorWithDeviceHex(0xA0A0A0);
            return pressedLook() ? colorWithDeviceHex(0xFFFFFF) : colorWithDeviceHex(0x333333);
        case 10:
            return colorWithDeviceHex(0x333333);
        default:
            return QColor::fromRgbF(1, 1, 1, 1);
    }
}

void OstrelUITintedButton::paintBezel(QPainter& painter, const QRectF& frame) {
    if (!validTint(tint_)) {
        // The look of this tint is undefined: no bezel, reported once.
        if (!reportedInvalidTint_) {
            reportedInvalidTint_ = true;
            reportException(platform::Exception("Invalid button tint for button kind",
                                                "button tint " + std::to_string(tint_)));
        }
        return;
    }
    const QPainterPath path = bezelPath(frame);
    if (path.isEmpty()) return;
    const bool hover = mouseInside_;

    if (tint_ == 10) {
        QColor border;
        if (!isEnabled())
            border = colorWithDeviceHex(0xFDF4D8);
        else if (pressedLook())
            border = colorWithDeviceHex(0xF8994E);
        else if (hover)
            border = colorWithDeviceHex(0xFDBE2F);
        else
            border = colorWithDeviceHex(0xFEE189);
        painter.fillPath(path, colorWithDeviceHex(0xFFFFFF));
        painter.strokePath(path, QPen(border, 2));
        return;
    }
    if (tint_ == 9) {
        QColor fill;
        if (!isEnabled())
            fill = colorWithDeviceHex(0xDADADA);
        else if (pressedLook())
            fill = colorWithDeviceHex(0xFDBB30);
        else if (hover)
            fill = colorWithDeviceHex(0xFCC34F);
        else if (shape_ == 5)
            fill = colorWithDeviceHex(0xF8F8F8);
        else if (shape_ == 4)
            fill = colorWithDeviceHex(0xFDD572);
        else
            fill = colorWithDeviceHex(0xFFFFFF);
        painter.fillPath(path, fill);
        return;
    }

    Gradient g;
    switch (tint_) {
        case 0:
            g = hover ? kBlueHover : kBlueNormal;
            break;
        case 2:
        case 6:
        case 7:
            g = hover ? kOrangeHover : kOrangeNormal;
            break;
        case 3:
            g = hover ? kSteelHover : (shape_ == 0 ? kSteelAltNormal : kSteelNormal);
            break;
        case 4:
            g = hover ? kWhiteHover : kWhiteNormal;
            break;
        case 5:
            g = hover ? kRedOrangeHover : kRedOrangeNormal;
            break;
        default:
            g = hover ? kRedHover : kRedNormal;
            break;  // 8
    }
    // -90 degrees: from the top edge down to the bottom edge.
    const QRectF bounds = path.boundingRect();
    QLinearGradient gradient(bounds.center().x(), bounds.top(), bounds.center().x(),
                             bounds.bottom());
    gradient.setStops(gradients()[g]);
    painter.fillPath(path, gradient);
    if (tint_ == 3) {
        painter.strokePath(path, QPen(colorWithDeviceHex(0x779FC3), 1));
    } else if (tint_ == 4) {
        QColor grey = QColor::fromRgbF(0.027451f, 0.027451f, 0.027451f, 0.21f);
        painter.strokePath(path, QPen(grey, 1));
    }
}

void OstrelUITintedButton::paintEvent(QPaintEvent*) {
    guarded([this] { paint(); })();
}

void OstrelUITintedButton::paint() {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = rect();
    paintBezel(painter, frame);

    if (!icon().isNull()) {
        const QSize size = iconSize();
        const QPixmap pixmap =
            icon().pixmap(size, devicePixelRatioF(), isEnabled() ? QIcon::Normal : QIcon::Disabled);
        const QSizeF shown = pixmap.deviceIndependentSize();
        QPointF origin((frame.width() - shown.width()) / 2, (frame.height() - shown.height()) / 2);
        if (objectName() != QLatin1String("OrbDashboardArrowButton")) origin.setX(9);
        painter.drawPixmap(origin, pixmap);
    }

    if (!text().isEmpty()) {
        QRectF titleFrame = frame;
        if (shape_ == 1 || shape_ == 2)
            titleFrame.translate(0, -3);
        else if (shape_ == 3)
            titleFrame.translate(0, -1);
        painter.setFont(font());
        painter.setPen(titleColor());
        const QString shown =
            fontMetrics().elidedText(text(), Qt::ElideRight, static_cast<int>(titleFrame.width()));
        painter.drawText(titleFrame, Qt::AlignCenter | Qt::TextSingleLine, shown);
    }

    if (hasFocus()) {
        const double radius = shape_ == 4 || shape_ == 5 ? 0 : std::min(5.0, frame.height() / 2);
        paintFocusRing(painter, *this, frame, radius);
    }
}

QSize OstrelUITintedButton::sizeHint() const {
    if (wraps_) {
        double width = fontMetrics().horizontalAdvance(text());
        if (!icon().isNull()) width += iconSize().width() + 4;
        const float padded = static_cast<float>(width) + (xPadding_ == 0 ? 20.0f : xPadding_);
        return QSize(static_cast<int>(std::ceil(padded)), height());
    }
    QSize size = QPushButton::sizeHint();
    if (shape_ == 1 || shape_ == 3) size.rwidth() += 3;
    return size;
}

QSize OstrelUITintedButton::minimumSizeHint() const {
    if (wraps_) return sizeHint();
    return QPushButton::minimumSizeHint();
}

}  // namespace ostrelui
