#include "OstrelUI/Controls/OstrelUISwitchButton.h"

#include <QPainter>
#include <QVariantAnimation>

#include "OstrelUI/Controls/OstrelUIAnimation.h"
#include "OstrelUI/Controls/OstrelUIAppearance.h"
#include "OstrelUI/Controls/OstrelUIGuard.h"

namespace ostrelui {

namespace {

QSizeF sizeOf(const QPixmap& p) { return p.isNull() ? QSizeF() : p.deviceIndependentSize(); }

}  // namespace

OstrelUISwitchButton::OstrelUISwitchButton(QWidget* parent) : QAbstractButton(parent) {
    setCheckable(true);
    setFocusPolicy(Qt::StrongFocus);
    QObject::connect(this, &QAbstractButton::toggled, this,
                     guarded([this](bool on) { stateChanged(on); }));
}

OstrelUISwitchButton::~OstrelUISwitchButton() {
    if (slide_) {
        slide_->disconnect();
        delete slide_.data();
    }
}

QFont OstrelUISwitchButton::labelFont() const {
    if (labelFont_) return *labelFont_;
    QFont f = font();
    f.setPointSizeF(13);
    return f;
}

const QPixmap& OstrelUISwitchButton::currentToggle() const {
    return isChecked() ? onStateToggle_ : offStateToggle_;
}

double OstrelUISwitchButton::knobWidth() const { return sizeOf(currentToggle()).width(); }

double OstrelUISwitchButton::knobEndX(bool on) const {
    return on ? sizeOf(offStateImage_).width() - knobWidth() - 1 : 1;
}

QPointF OstrelUISwitchButton::knobPosition() const {
    const double x = slidingX_ ? *slidingX_ : knobEndX(isChecked());
    return QPointF(x, (height() - sizeOf(currentToggle()).height()) / 2);
}

bool OstrelUISwitchButton::isSliding() const { return slidingX_.has_value(); }

void OstrelUISwitchButton::stateChanged(bool on) {
    const double from = slidingX_ ? *slidingX_ : knobEndX(!on);
    if (slide_) {
        slide_->disconnect();
        delete slide_.data();
    }
    slidingX_.reset();
    const int ms = scaledMilliseconds(kSlideSeconds);
    // A switch that is not on screen yet (being set up) shows its state at
    // once; so does one whose slide would take no time.
    if (!isVisible() || ms == 0) {
        update();
        return;
    }
    auto* animation = new QVariantAnimation(this);
    slide_ = animation;
    animation->setStartValue(from);
    animation->setEndValue(knobEndX(on));
    animation->setDuration(ms);
    slidingX_ = from;
    QObject::connect(animation, &QVariantAnimation::valueChanged, this,
                     guarded([this](const QVariant& v) {
                         slidingX_ = v.toDouble();
                         update();
                     }));
    QObject::connect(animation, &QVariantAnimation::finished, this, guarded([this] {
                         slidingX_.reset();
                         update();
                     }));
    animation->start(QAbstractAnimation::DeleteWhenStopped);
    update();
}

QRectF OstrelUISwitchButton::labelRect() const {
    const QString* label = nullptr;
    bool leftOfKnob = false;
    if (isChecked() && !onStateString_.isEmpty()) {
        label = &onStateString_;
        leftOfKnob = true;
    } else if (!offStateString_.isEmpty()) {
        label = &offStateString_;
    }
    if (!label) return {};
    const QFontMetricsF fm(labelFont());
    const QSizeF s(fm.horizontalAdvance(*label), fm.height());
    const double w = width(), h = height(), k = knobWidth();
    const double x = leftOfKnob ? (w - k - s.width()) / 2 : k + (w - k - s.width()) / 2;
    return QRectF(QPointF(x, (h - s.height()) / 2), s);
}

QSize OstrelUISwitchButton::sizeHint() const {
    const QSizeF track = sizeOf(offStateImage_).expandedTo(sizeOf(onStateImage_));
    return track.isEmpty() ? QSize(60, 24) : track.toSize();
}

void OstrelUISwitchButton::paintEvent(QPaintEvent*) {
    guarded([this] { paint(); })();
}

void OstrelUISwitchButton::paint() {
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const double w = width(), h = height();
    const QPixmap& track = isChecked() && !onStateImage_.isNull() ? onStateImage_ : offStateImage_;
    if (!track.isNull()) {
        const QSizeF s = sizeOf(track);
        painter.drawPixmap(QPointF((w - s.width()) / 2, (h - s.height()) / 2), track);
    }
    const QRectF label = labelRect();
    if (!label.isEmpty()) {
        painter.setFont(labelFont());
        painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                       QPalette::ButtonText));
        painter.drawText(
            label, Qt::AlignCenter | Qt::TextSingleLine,
            isChecked() && !onStateString_.isEmpty() ? onStateString_ : offStateString_);
    }
    const QPixmap& knob = currentToggle();
    if (!knob.isNull()) painter.drawPixmap(knobPosition(), knob);
    if (hasFocus()) paintFocusRing(painter, *this, rect(), h / 2);
}

}  // namespace ostrelui
