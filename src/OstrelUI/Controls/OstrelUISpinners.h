// Busy indicators: a ring of fading dots that turns in steps, and an image
// that turns continuously. Both read time from a platform::Clock (the
// default clock unless given), so a fake clock drives them in tests; a
// QTimer only schedules repaints while they turn.
#pragma once

#include <QColor>
#include <QImage>
#include <QPainterPath>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <optional>
#include <vector>

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/NotificationCenter.h"

namespace ostrelui {

/// The notification after which spinners that ask for it restart.
inline constexpr const char* kContentViewAnimationFinish = "contentView_animation_finish";

/// A ring of dots that fade from opaque to transparent, turned in steps of
/// one dot position; one full turn takes animationDuration. Main thread only.
class OstrelUISpinnerView : public QWidget {
  public:
    explicit OstrelUISpinnerView(QWidget* parent = nullptr,
                                 std::shared_ptr<platform::Clock> clock = nullptr);
    /// A spinner in `frame`; the defaults depend on the frame's width.
    OstrelUISpinnerView(const QRect& frame, QWidget* parent = nullptr,
                        std::shared_ptr<platform::Clock> clock = nullptr);
    ~OstrelUISpinnerView() override;

    void awakeFromNib() { restartAnimation(); }

    bool animates() const { return animates_; }
    void setAnimates(bool v);
    bool hideWhenStopped() const { return hideWhenStopped_; }
    void setHideWhenStopped(bool v);
    bool needsMainWindowAnimationNotification() const { return needsNotification_; }
    void setNeedsMainWindowAnimationNotification(bool v);
    double radiusOfCircle() const { return radiusOfCircle_; }
    void setRadiusOfCircle(double v);
    unsigned numberOfCircles() const { return numberOfCircles_; }
    void setNumberOfCircles(unsigned v);
    double distanceFromCenterOfView() const { return distanceFromCenter_; }
    void setDistanceFromCenterOfView(double v);
    double animationDuration() const { return animationDuration_; }
    void setAnimationDuration(double v);
    const QColor& color() const { return color_; }
    void setColor(const QColor& c);

    /// Whether the spinner hides itself now (hideWhenStopped and not animates).
    bool isSpinnerHidden() const { return spinnerHidden_; }
    /// Whether an animation is installed (it keeps running after animates is
    /// turned off, as only hiding follows that switch).
    bool hasAnimation() const { return animationStart_.has_value(); }

    /// The dot image shown (rebuilt by the setters that change its look).
    const QImage& progressImage() const { return progressImage_; }
    /// Renders the dot image for the current settings.
    QImage makeProgressImage() const;
    void resetProgressIndicatorContents();
    void restartAnimation();
    void resetHidden();

    /// The ring's current rotation in radians (0 when not animating).
    double currentAngle() const;

    /// The key-frame rotation values: 0, each -2 pi i / n twice, -2 pi.
    static std::vector<float> keyFrameValues(unsigned n);
    /// The key times: 0, the pairs i / n and (i + 1) / n, then (n - 1) / n.
    static std::vector<float> keyFrameTimes(unsigned n);
    /// `path` rotated by `angle` radians (counter-clockwise, y up) about
    /// `center`; the path itself for angle 0.
    static QPainterPath rotatedBezierPath(const QPainterPath& path, float angle, QPointF center);

    /// The rotation `elapsed` seconds into a turn of `duration` seconds over
    /// n positions: each position is held for 1/n of the turn.
    static double angleAt(double elapsed, double duration, unsigned n);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void initLayers();
    void syncRepaintTimer();

    std::shared_ptr<platform::Clock> clock_;
    bool animates_ = true;
    bool hideWhenStopped_ = true;
    bool needsNotification_ = false;
    bool observing_ = false;
    double radiusOfCircle_ = 0;
    unsigned numberOfCircles_ = 8;
    double distanceFromCenter_ = 0;
    double animationDuration_ = 0.6;
    QColor color_ = Qt::black;
    bool spinnerHidden_ = false;
    bool initializing_ = true;
    QImage progressImage_;
    std::optional<platform::TimePoint> animationStart_;
    QTimer repaintTimer_;
};

/// An image that turns continuously, one turn per second (times the speed),
/// while started. Main thread only.
class OstrelUISpinningImageView : public QWidget {
  public:
    explicit OstrelUISpinningImageView(QWidget* parent = nullptr,
                                       std::shared_ptr<platform::Clock> clock = nullptr);

    /// Whether the image turns now (started and not held).
    bool isRunning() const { return running_; }
    void setImage(const QImage& image);
    const QImage& image() const { return image_; }
    void setImageBackgroundColor(const QColor& c);

    void startRotation() { startRotationWithSpeed(0); }
    /// Starts turning unless already running; a non-zero speed scales the
    /// turn rate (0 keeps one turn per second).
    void startRotationWithSpeed(float speed);
    void stopRotation();
    /// The animation ended: restarts it when it finished by itself.
    void animationDidStop(bool finished);
    /// Holds the image still, upright, while `held` (a busy indicator
    /// nearby speaks for it); a rotation started meanwhile begins on release.
    void setHeld(bool held);
    bool isHeld() const { return held_; }

    /// The current rotation in radians (clockwise turns are negative).
    double currentAngle() const;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void beginTurning();

    std::shared_ptr<platform::Clock> clock_;
    bool wanted_ = false;  // started, held or not
    bool held_ = false;
    bool running_ = false;
    float speed_ = 1;
    platform::TimePoint start_{};
    QImage image_;
    std::optional<QColor> background_;
    QTimer repaintTimer_;
};

}  // namespace ostrelui
