#include "OstrelUI/Controls/OstrelUIProgressIndicator.h"

#include <QLinearGradient>
#include <QPaintEvent>
#include <QPainter>
#include <chrono>
#include <cmath>

#include "OstrelUI/Controls/PelgraveUIColors.h"

namespace ostrelui {

namespace {

QColor deviceGrey(int level) {
    const float g = static_cast<float>(level) / 255.0f;
    return QColor::fromRgbF(g, g, g, 1.0f);
}

// A vertical gradient over `rect` (y up) from `top` to `bottom`: the kit's
// gradients drawn at -90 degrees.
QLinearGradient topToBottom(const QRectF& rect) {
    return QLinearGradient(QPointF(0, rect.bottom()), QPointF(0, rect.top()));
}

}  // namespace

OstrelUIProgressIndicator::OstrelUIProgressIndicator(QWidget* parent) : QWidget(parent) {}

OstrelUIProgressIndicator::OstrelUIProgressIndicator(const QRect& frame, QWidget* parent)
    : QWidget(parent) {
    setGeometry(frame);
    takeGeometry(frame, 0);
}

void OstrelUIProgressIndicator::takeGeometry(const QRect& frame, long heightLoss) {
    width_ = frame.width();
    height_ = frame.height() - heightLoss;
    valueX_ = frame.x();
    valueY_ = frame.y();
    radius_ = shape_ == 1 ? 0.0f : static_cast<float>(height_ / 2);
    percentComplete_ = 0;
    range_ = static_cast<float>(maxValue_ - minValue_);
    pointsToRightBezel_ = static_cast<float>(width_) - radius_ - 4;
}

void OstrelUIProgressIndicator::setDoubleValue(double v) {
    value_ = v;
    if (!displayedWhenStopped_ && v == maxValue_) stopAnimation(this);
    update();
}

void OstrelUIProgressIndicator::setIndeterminate(bool v) {
    indeterminate_ = v;
    update();
}

void OstrelUIProgressIndicator::startAnimation(const void*) {
    if (animatorTimer_) return;
    animatorTimer_ = new QTimer(this);
    animatorTimer_->setTimerType(Qt::PreciseTimer);
    animatorTimer_->setInterval(std::chrono::milliseconds(1000 / 30));
    QObject::connect(animatorTimer_, &QTimer::timeout, this, [this] { activateAnimation(); });
    animatorTimer_->start();
}

void OstrelUIProgressIndicator::stopAnimation(const void* sender) {
    if (sender == this && value_ != maxValue_) return;
    delete animatorTimer_;
    animatorTimer_ = nullptr;
}

void OstrelUIProgressIndicator::activateAnimation() {
    if (window() && window()->isMinimized()) return;
    update();
}

double OstrelUIProgressIndicator::prepareFrame() {
    if (!initialized_ || size() != takenSize_) {
        takeGeometry(geometry(), 2);
        takenSize_ = size();
        initialized_ = true;
    }
    range_ = static_cast<float>(maxValue_ - minValue_);
    // The bar stays where it was first drawn.
    if (pos() != QPoint(static_cast<int>(valueX_), static_cast<int>(valueY_))) {
        move(static_cast<int>(valueX_), static_cast<int>(valueY_));
    }
    if (indeterminate_) {
        progressOffset_ = progressOffset_ > 23 ? 0 : progressOffset_ + 1;
        return static_cast<double>(width_);
    }
    // An empty or inverted range has no meaningful fraction; show none
    // rather than dividing by zero.
    percentComplete_ =
        range_ > 0 ? static_cast<float>((value_ - minValue_) / static_cast<double>(range_)) : 0.0f;
    return static_cast<double>(static_cast<float>(width_) * percentComplete_);
}

std::optional<ProgressFill> OstrelUIProgressIndicator::progressFill(double w, double h) const {
    ProgressFill fill;
    if (indeterminate_) {
        fill.path.addRoundedRect(QRectF(0, 0, w, h), radius_, radius_);
        fill.rounded = true;
        return fill;
    }
    if (value_ <= 0 || w <= 0) return std::nullopt;
    if (w < pointsToRightBezel_) {
        fill.path.addRect(QRectF(radius_, 1, w, h));
        return fill;
    }
    const double fillWidth = std::min(w + radius_, static_cast<double>(width_));
    fill.path.addRoundedRect(QRectF(0, 1, fillWidth, h), radius_, radius_);
    fill.rounded = true;
    return fill;
}

int OstrelUIProgressIndicator::stripeCount(double w) {
    const float n = static_cast<float>(w) / 24.0f + 24.0f;
    return n < 0 ? 0 : static_cast<int>(std::floor(n)) + 1;
}

QPainterPath OstrelUIProgressIndicator::stripeWithOrigin(QPointF o) const {
    const double h = static_cast<double>(height_);
    QPainterPath stripe;
    stripe.moveTo(o);
    stripe.lineTo(o.x() + 12, o.y());
    stripe.lineTo(o.x() + 4, o.y() + h);
    stripe.lineTo(o.x() - 8, o.y() + h);
    stripe.closeSubpath();
    return stripe;
}

QPainterPath OstrelUIProgressIndicator::stripesPath(double w) const {
    QPainterPath stripes;
    const int count = stripeCount(w);
    for (int k = 0; k < count; ++k) {
        stripes.addPath(stripeWithOrigin(QPointF(w - (progressOffset_ + 24.0 * k), 1)));
    }
    return stripes;
}

void OstrelUIProgressIndicator::drawBackground(QPainter& p) {
    QPainterPath track;
    const QRectF rect(0, indeterminate_ ? 0 : 1, static_cast<double>(width_),
                      static_cast<double>(height_));
    track.addRoundedRect(rect, radius_, radius_);
    if (gradientStyle_ == 1) {
        p.fillRect(track.boundingRect(), deviceGrey(226));
        return;
    }
    QLinearGradient g = topToBottom(rect);
    g.setColorAt(0, deviceGrey(180));
    g.setColorAt(1, deviceGrey(230));
    p.fillPath(track, g);
}

void OstrelUIProgressIndicator::fillProgress(QPainter& p, const ProgressFill& fill) {
    if (gradientStyle_ == 1) {
        p.fillRect(fill.path.boundingRect(), colorWithDeviceHex(0x36ADE1));
        return;
    }
    QLinearGradient g = topToBottom(fill.path.boundingRect());
    g.setColorAt(0.0, colorWithDeviceHex(0x208BC4));
    g.setColorAt(0.7, colorWithDeviceHex(0x32B2D8));
    g.setColorAt(1.0, colorWithDeviceHex(0x1898CA));
    p.fillPath(fill.path, g);
}

void OstrelUIProgressIndicator::drawStripes(QPainter& p, double w, double h) {
    QPainterPath clip;
    clip.addRoundedRect(QRectF(0, 0, w, h), radius_, radius_);
    p.save();
    p.setClipPath(clip, Qt::IntersectClip);
    p.fillPath(stripesPath(w), QColor::fromRgbF(1.0f, 1.0f, 1.0f, 0.25f));
    p.restore();
}

void OstrelUIProgressIndicator::paintEvent(QPaintEvent*) {
    const double fillWidth = prepareFrame();
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    // Draw with the origin at the bottom left and y up.
    p.translate(0, height());
    p.scale(1, -1);
    const double h = static_cast<double>(height_);
    if (indeterminate_) {
        if (auto fill = progressFill(fillWidth, h)) fillProgress(p, *fill);
        drawStripes(p, fillWidth, h);
        return;
    }
    drawBackground(p);
    if (auto fill = progressFill(fillWidth, h)) fillProgress(p, *fill);
}

OstrelUIProgressBarBezelBorder::OstrelUIProgressBarBezelBorder(QWidget* parent) : QWidget(parent) {}

OstrelUIProgressBarBezelBorder::OstrelUIProgressBarBezelBorder(const QRect& frame, QWidget* parent)
    : QWidget(parent) {
    setGeometry(frame);
    computeGeometry();
}

void OstrelUIProgressBarBezelBorder::computeGeometry() {
    height_ = height() - 3;
    width_ = width() - 3;
    valueX_ = 2;
    valueY_ = 2;
    radius_ = static_cast<float>(height_ / 2);
}

void OstrelUIProgressBarBezelBorder::paintEvent(QPaintEvent*) {
    if (!initialized_) {
        computeGeometry();
        initialized_ = true;
    }
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(0, height());
    p.scale(1, -1);
    const QRectF rect(static_cast<double>(valueX_), static_cast<double>(valueY_),
                      static_cast<double>(width_), static_cast<double>(height_));
    QPainterPath path;
    path.addRoundedRect(rect, radius_, radius_);
    // A white shadow one point below the stroke.
    QPainterPath shifted = path.translated(0, -1);
    p.setPen(QPen(Qt::white, 2));
    p.setOpacity(0.5);
    p.drawPath(shifted);
    p.setOpacity(1.0);
    p.setPen(QPen(deviceGrey(200), 1));
    p.drawPath(path);
    QLinearGradient g(QPointF(0, rect.top()), QPointF(0, rect.bottom()));
    g.setColorAt(0, Qt::white);
    g.setColorAt(1, deviceGrey(243));
    p.fillPath(path, g);
}

}  // namespace ostrelui
