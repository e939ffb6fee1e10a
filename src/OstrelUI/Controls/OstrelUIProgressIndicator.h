// The kit's horizontal progress bar: a rounded grey track with a blue fill
// for determinate progress, and a blue bar with moving translucent diagonal
// stripes for indeterminate progress; plus the rounded bezel around it.
//
// Geometry follows the kit's drawing convention (origin at the bottom left,
// y up); painting flips to Qt's coordinates in one place.
#pragma once

#include <QPainterPath>
#include <QRectF>
#include <QTimer>
#include <QWidget>
#include <optional>

namespace ostrelui {

/// The path that fills the bar's progress, and the radius of its corners.
struct ProgressFill {
    QPainterPath path;
    bool rounded = false;
};

/// Progress bar. Main thread only; the animation timer fires on the main
/// thread's event loop and only schedules a repaint.
class OstrelUIProgressIndicator : public QWidget {
  public:
    /// Takes its geometry from `frame` at once (as a bar made in code).
    explicit OstrelUIProgressIndicator(const QRect& frame, QWidget* parent = nullptr);
    /// A bar placed by a layout: its geometry is taken at the first draw.
    explicit OstrelUIProgressIndicator(QWidget* parent = nullptr);

    // The ordinary progress-indicator interface.
    double minValue() const { return minValue_; }
    void setMinValue(double v) { minValue_ = v; }
    double maxValue() const { return maxValue_; }
    void setMaxValue(double v) { maxValue_ = v; }
    double doubleValue() const { return value_; }
    /// Sets the value; a bar that is not displayed while stopped stops its
    /// own animation when the value reaches the maximum.
    void setDoubleValue(double v);
    bool isIndeterminate() const { return indeterminate_; }
    void setIndeterminate(bool v);
    bool isDisplayedWhenStopped() const { return displayedWhenStopped_; }
    void setDisplayedWhenStopped(bool v) { displayedWhenStopped_ = v; }

    /// Starts the 1/30 s animation timer unless one runs.
    void startAnimation(const void* sender);
    /// Stops the timer, except when sent by the bar itself while the value is
    /// below the maximum.
    void stopAnimation(const void* sender);
    /// A timer tick: schedules a repaint unless the window is minimised.
    void activateAnimation();
    const QTimer* animatorTimer() const { return animatorTimer_; }

    // Geometry and drawing state.
    float radius() const { return radius_; }
    float range() const { return range_; }
    float percentComplete() const { return percentComplete_; }
    float pointsToRightBezel() const { return pointsToRightBezel_; }
    bool initialized() const { return initialized_; }
    long barHeight() const { return height_; }
    long barWidth() const { return width_; }
    long valueX() const { return valueX_; }
    long valueY() const { return valueY_; }
    double progressOffset() const { return progressOffset_; }
    void setProgressOffset(double v) { progressOffset_ = v; }
    unsigned progressBarShape() const { return shape_; }
    void setProgressBarShape(unsigned s) { shape_ = s; }
    unsigned progressBarGradientStyle() const { return gradientStyle_; }
    void setProgressBarGradientStyle(unsigned s) { gradientStyle_ = s; }

    /// The per-frame state update of a draw (first-draw geometry, range,
    /// stripe phase, percent); returns the width of the progress fill.
    double prepareFrame();
    /// The progress fill for a fill of width w and height h; nullopt when a
    /// determinate bar has nothing to fill.
    std::optional<ProgressFill> progressFill(double w, double h) const;
    /// The stripes of an indeterminate bar of width w, as one path.
    QPainterPath stripesPath(double w) const;
    /// Number of stripes drawn for a bar of width w.
    static int stripeCount(double w);
    /// One stripe: a 12-point-wide parallelogram leaning 8 points left.
    QPainterPath stripeWithOrigin(QPointF origin) const;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void takeGeometry(const QRect& frame, long heightLoss);
    void drawBackground(QPainter& p);
    void fillProgress(QPainter& p, const ProgressFill& fill);
    void drawStripes(QPainter& p, double w, double h);

    double minValue_ = 0;
    double maxValue_ = 100;
    double value_ = 0;
    bool indeterminate_ = false;
    bool displayedWhenStopped_ = true;

    float radius_ = 0;
    float range_ = 0;
    float percentComplete_ = 0;
    float pointsToRightBezel_ = 0;
    bool initialized_ = false;
    // The widget's size when the geometry was taken: a bar its layout gives
    // another size takes it again, so the track never runs past its edge.
    QSize takenSize_;
    long height_ = 0, width_ = 0, valueX_ = 0, valueY_ = 0;
    QTimer* animatorTimer_ = nullptr;
    double progressOffset_ = 0;
    unsigned shape_ = 0;
    unsigned gradientStyle_ = 0;
};

/// The rounded frame drawn around a progress bar.
class OstrelUIProgressBarBezelBorder : public QWidget {
  public:
    explicit OstrelUIProgressBarBezelBorder(QWidget* parent = nullptr);
    /// Computes the geometry from the frame (as a view made in code).
    explicit OstrelUIProgressBarBezelBorder(const QRect& frame, QWidget* parent = nullptr);

    float radius() const { return radius_; }
    bool initialized() const { return initialized_; }
    long borderHeight() const { return height_; }
    long borderWidth() const { return width_; }
    long valueX() const { return valueX_; }
    long valueY() const { return valueY_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void computeGeometry();
    float radius_ = 0;
    bool initialized_ = false;
    long height_ = 0, width_ = 0, valueX_ = 0, valueY_ = 0;
};

}  // namespace ostrelui
