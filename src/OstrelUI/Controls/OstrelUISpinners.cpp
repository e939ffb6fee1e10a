#include "OstrelUI/Controls/OstrelUISpinners.h"

#include <QMetaObject>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTransform>
#include <chrono>
#include <cmath>
#include <numbers>

namespace ostrelui {

namespace {

constexpr double kTwoPi = 2 * std::numbers::pi;
constexpr auto kRepaintInterval = std::chrono::milliseconds(1000 / 30);

double secondsBetween(platform::TimePoint from, platform::TimePoint to) {
    return std::chrono::duration<double>(to - from).count();
}

}  // namespace

OstrelUISpinnerView::OstrelUISpinnerView(QWidget* parent, std::shared_ptr<platform::Clock> clock)
    : QWidget(parent), clock_(clock ? std::move(clock) : platform::defaultClock()) {
    initLayers();
}

OstrelUISpinnerView::OstrelUISpinnerView(const QRect& frame, QWidget* parent,
                                         std::shared_ptr<platform::Clock> clock)
    : QWidget(parent), clock_(clock ? std::move(clock) : platform::defaultClock()) {
    setGeometry(frame);
    initLayers();
}

OstrelUISpinnerView::~OstrelUISpinnerView() {
    // Always unregister: a registration left behind after the flag was
    // turned off would call into a destroyed view on the next post.
    if (observing_) {
        platform::NotificationCenter::defaultCenter().removeObserver(this,
                                                                     kContentViewAnimationFinish);
    }
}

void OstrelUISpinnerView::initLayers() {
    QObject::connect(&repaintTimer_, &QTimer::timeout, this, [this] { update(); });
    repaintTimer_.setInterval(kRepaintInterval);
    initializing_ = true;
    const double w = width();
    setColor(Qt::black);
    setRadiusOfCircle(w / 8.666666984558105);
    setDistanceFromCenterOfView(w / 2 - radiusOfCircle_);
    setNumberOfCircles(8);
    setAnimationDuration(0.6);
    setHideWhenStopped(true);
    setAnimates(true);
    initializing_ = false;
    resetProgressIndicatorContents();
    restartAnimation();
}

void OstrelUISpinnerView::setAnimates(bool v) {
    animates_ = v;
    if (v) {
        resetProgressIndicatorContents();
        restartAnimation();
    }
    resetHidden();
}

void OstrelUISpinnerView::setHideWhenStopped(bool v) {
    hideWhenStopped_ = v;
    resetHidden();
}

void OstrelUISpinnerView::setNeedsMainWindowAnimationNotification(bool v) {
    needsNotification_ = v;
    if (!v || observing_) return;
    observing_ = true;
    platform::NotificationCenter::defaultCenter().addObserver(
        this, kContentViewAnimationFinish, [this](const platform::Notification&) {
            // Posted on any thread; the view is touched on its own thread.
            QMetaObject::invokeMethod(this, [this] { restartAnimation(); });
        });
}

void OstrelUISpinnerView::setRadiusOfCircle(double v) {
    radiusOfCircle_ = v;
    resetProgressIndicatorContents();
}

void OstrelUISpinnerView::setNumberOfCircles(unsigned v) {
    numberOfCircles_ = v;
    resetProgressIndicatorContents();
    restartAnimation();
}

void OstrelUISpinnerView::setDistanceFromCenterOfView(double v) {
    distanceFromCenter_ = v;
    resetProgressIndicatorContents();
}

void OstrelUISpinnerView::setAnimationDuration(double v) {
    animationDuration_ = v;
    restartAnimation();
}

void OstrelUISpinnerView::setColor(const QColor& c) {
    color_ = c;
    resetProgressIndicatorContents();
}

void OstrelUISpinnerView::resetProgressIndicatorContents() {
    if (initializing_) return;  // made once when the defaults are all set
    progressImage_ = makeProgressImage();
    update();
}

void OstrelUISpinnerView::restartAnimation() {
    if (initializing_) return;
    animationStart_.reset();
    if (animates_) animationStart_ = clock_->now();
    syncRepaintTimer();
    update();
}

void OstrelUISpinnerView::resetHidden() {
    const bool hide = hideWhenStopped_ && !animates_;
    if (hide != spinnerHidden_) {
        spinnerHidden_ = hide;
        setVisible(!hide);
    }
    syncRepaintTimer();
}

void OstrelUISpinnerView::syncRepaintTimer() {
    if (animationStart_ && !spinnerHidden_) {
        if (!repaintTimer_.isActive()) repaintTimer_.start();
    } else {
        repaintTimer_.stop();
    }
}

QImage OstrelUISpinnerView::makeProgressImage() const {
    const double w = width(), h = height();
    QImage image(size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    const unsigned n = numberOfCircles_;
    if (n == 0 || image.isNull()) return image;
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(0, h);  // origin at the bottom left, y up
    p.scale(1, -1);
    const double r = radiusOfCircle_, d = distanceFromCenter_;
    QPainterPath dot;
    dot.addEllipse(QRectF(w / 2 - r / 2, h / 2 - d - r, 2 * r, 2 * r));
    for (unsigned i = 0; i < n; ++i) {
        const float angle = static_cast<float>(kTwoPi / n * i + std::numbers::pi);
        QColor c = color_;
        c.setAlphaF(static_cast<float>(1.0 - static_cast<double>(i) / n));
        p.fillPath(rotatedBezierPath(dot, angle, QPointF(w / 2, h / 2)), c);
    }
    return image;
}

QPainterPath OstrelUISpinnerView::rotatedBezierPath(const QPainterPath& path, float angle,
                                                    QPointF center) {
    if (angle == 0) return path;
    QTransform t;
    t.translate(center.x(), center.y());
    t.rotateRadians(angle);
    t.translate(-center.x(), -center.y());
    return t.map(path);
}

double OstrelUISpinnerView::angleAt(double elapsed, double duration, unsigned n) {
    if (n == 0 || !(duration > 0) || !(elapsed >= 0)) return 0;
    const double f = std::fmod(elapsed, duration) / duration;
    const unsigned i = std::min(n - 1, static_cast<unsigned>(std::floor(f * n)));
    return -kTwoPi * i / n;
}

std::vector<float> OstrelUISpinnerView::keyFrameValues(unsigned n) {
    std::vector<float> values{0.0f};
    for (unsigned i = 0; i < n; ++i) {
        const float a = static_cast<float>(-kTwoPi * i / n);
        values.push_back(a);
        values.push_back(a);
    }
    values.push_back(static_cast<float>(-kTwoPi));
    return values;
}

std::vector<float> OstrelUISpinnerView::keyFrameTimes(unsigned n) {
    std::vector<float> times{0.0f};
    if (n == 0) return times;
    for (unsigned i = 0; i + 1 < n; ++i) {
        times.push_back(static_cast<float>(i) / n);
        times.push_back(static_cast<float>(i + 1) / n);
    }
    times.push_back(static_cast<float>(n - 1) / n);
    return times;
}

double OstrelUISpinnerView::currentAngle() const {
    if (!animationStart_) return 0;
    return angleAt(secondsBetween(*animationStart_, clock_->now()), animationDuration_,
                   numberOfCircles_);
}

void OstrelUISpinnerView::paintEvent(QPaintEvent*) {
    if (spinnerHidden_) return;
    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.translate(width() / 2.0, height() / 2.0);
    // A negative angle turns clockwise on screen.
    p.rotate(-currentAngle() * 180 / std::numbers::pi);
    p.translate(-width() / 2.0, -height() / 2.0);
    p.drawImage(QPointF(0, 0), progressImage_);
}

OstrelUISpinningImageView::OstrelUISpinningImageView(QWidget* parent,
                                                     std::shared_ptr<platform::Clock> clock)
    : QWidget(parent), clock_(clock ? std::move(clock) : platform::defaultClock()) {
    QObject::connect(&repaintTimer_, &QTimer::timeout, this, [this] { update(); });
    repaintTimer_.setInterval(kRepaintInterval);
}

void OstrelUISpinningImageView::setImage(const QImage& image) {
    image_ = image;
    update();
}

void OstrelUISpinningImageView::setImageBackgroundColor(const QColor& c) {
    background_ = c;
    update();
}

void OstrelUISpinningImageView::startRotationWithSpeed(float speed) {
    if (wanted_) return;
    wanted_ = true;
    speed_ = speed != 0 ? speed : 1.0f;
    if (!held_) beginTurning();
}

void OstrelUISpinningImageView::beginTurning() {
    running_ = true;
    start_ = clock_->now();
    repaintTimer_.start();
}

void OstrelUISpinningImageView::stopRotation() {
    wanted_ = false;
    running_ = false;
    repaintTimer_.stop();
    update();
}

void OstrelUISpinningImageView::animationDidStop(bool finished) {
    wanted_ = false;
    running_ = false;
    repaintTimer_.stop();
    if (finished) startRotation();
}

void OstrelUISpinningImageView::setHeld(bool held) {
    if (held_ == held) return;
    held_ = held;
    if (held) {
        running_ = false;
        repaintTimer_.stop();
        update();
    } else if (wanted_) {
        beginTurning();
    }
}

double OstrelUISpinningImageView::currentAngle() const {
    if (!running_) return 0;
    const double turns = secondsBetween(start_, clock_->now()) * speed_;
    return -kTwoPi * (turns - std::floor(turns));
}

void OstrelUISpinningImageView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (background_) p.fillRect(rect(), *background_);
    if (image_.isNull()) return;
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.translate(width() / 2.0, height() / 2.0);
    p.rotate(-currentAngle() * 180 / std::numbers::pi);
    p.translate(-width() / 2.0, -height() / 2.0);
    p.drawImage(QRectF(rect()), image_);
}

}  // namespace ostrelui
