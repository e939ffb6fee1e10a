// The kit's plain views: the rounded white panel and the translucent overlay
// that leaves one view uncovered, with the window that carries the overlay.
#pragma once

#include <QColor>
#include <QPointer>
#include <QWidget>
#include <optional>

#include "OstrelUI/Controls/PelPathAdditions.h"

namespace ostrelui {

/// A white rounded panel with a 10-point margin on every side where its
/// border shadow falls. The shadow is made on the first paint unless set.
class OstrelUIWhiteView : public QWidget {
  public:
    explicit OstrelUIWhiteView(QWidget* parent = nullptr);

    float cornerRadius() const { return cornerRadius_; }
    void setCornerRadius(float r) { cornerRadius_ = r; }
    const std::optional<PelShadow>& borderShadow() const { return borderShadow_; }
    void setBorderShadow(std::optional<PelShadow> s) { borderShadow_ = std::move(s); }

    /// The panel's rectangle: the bounds less 10 points on every side.
    QRectF panelRect() const;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    float cornerRadius_ = 0;
    std::optional<PelShadow> borderShadow_;
};

/// A translucent fill with a rounded (radius 10) transparent hole over
/// viewToBeClipped.
class OstrelUIGrayedOutView : public QWidget {
  public:
    explicit OstrelUIGrayedOutView(QWidget* parent = nullptr);

    float backgroundColorAlpha() const { return backgroundColorAlpha_; }
    void setBackgroundColorAlpha(float a) { backgroundColorAlpha_ = a; }
    QWidget* viewToBeClipped() const { return viewToBeClipped_; }
    void setViewToBeClipped(QWidget* v) { viewToBeClipped_ = v; }
    const std::optional<QColor>& backgroundColor() const { return backgroundColor_; }
    void setBackgroundColor(std::optional<QColor> c) { backgroundColor_ = std::move(c); }

    /// The colour the overlay fills with: the background colour with its
    /// alpha replaced by backgroundColorAlpha unless that is 0; black (the
    /// default fill colour) when no background colour is set.
    QColor fillColor() const;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    float backgroundColorAlpha_ = 0;
    QPointer<QWidget> viewToBeClipped_;
    std::optional<QColor> backgroundColor_;
};

/// The borderless, see-through window that carries an overlay; it can take
/// the keyboard so the overlay's controls work.
class OstrelUIGrayedOutWindow : public QWidget {
  public:
    explicit OstrelUIGrayedOutWindow(QWidget* parent = nullptr);
    bool canBecomeKeyWindow() const { return true; }
};

}  // namespace ostrelui
