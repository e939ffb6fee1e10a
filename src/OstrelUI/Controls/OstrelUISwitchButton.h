// An on/off switch built from images: a track image per state, centred; a
// knob image per state that slides between the two ends when the state
// changes; and an optional label per state, centred in the part of the track
// the knob leaves free.
#pragma once

#include <QAbstractButton>
#include <QFont>
#include <QPixmap>
#include <QPointer>
#include <optional>

class QVariantAnimation;

namespace ostrelui {

class OstrelUISwitchButton : public QAbstractButton {
  public:
    /// Seconds the knob takes from one end to the other (times the
    /// animation scale).
    static constexpr double kSlideSeconds = 0.3;

    explicit OstrelUISwitchButton(QWidget* parent = nullptr);
    ~OstrelUISwitchButton() override;

    // Images and labels; the setters only store (call update() after).
    const QPixmap& onStateImage() const { return onStateImage_; }
    void setOnStateImage(QPixmap p) { onStateImage_ = std::move(p); }
    const QPixmap& offStateImage() const { return offStateImage_; }
    void setOffStateImage(QPixmap p) { offStateImage_ = std::move(p); }
    const QPixmap& onStateToggle() const { return onStateToggle_; }
    void setOnStateToggle(QPixmap p) { onStateToggle_ = std::move(p); }
    const QPixmap& offStateToggle() const { return offStateToggle_; }
    void setOffStateToggle(QPixmap p) { offStateToggle_ = std::move(p); }
    const QString& onStateString() const { return onStateString_; }
    void setOnStateString(QString s) { onStateString_ = std::move(s); }
    const QString& offStateString() const { return offStateString_; }
    void setOffStateString(QString s) { offStateString_ = std::move(s); }
    /// The labels' font: the widget's family at 13 points unless set.
    QFont labelFont() const;
    void setLabelFont(std::optional<QFont> font) { labelFont_ = std::move(font); }

    /// The knob image of the current state.
    const QPixmap& currentToggle() const;
    /// The knob's top-left corner now: sliding, or at the end of its state
    /// (x = 1 off; width of offStateImage - knob width - 1 on).
    QPointF knobPosition() const;
    /// The knob's x at the end of `on`.
    double knobEndX(bool on) const;
    bool isSliding() const;
    /// Where the label of the current state is drawn; empty when none is.
    QRectF labelRect() const;

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void stateChanged(bool on);
    void paint();
    double knobWidth() const;

    QPixmap onStateImage_, offStateImage_, onStateToggle_, offStateToggle_;
    QString onStateString_, offStateString_;
    std::optional<QFont> labelFont_;
    std::optional<double> slidingX_;  // while a slide runs
    QPointer<QVariantAnimation> slide_;
};

}  // namespace ostrelui
