// The kit's push button: a shape (outline and corner radius) and a tint
// (gradient or colours, border, title colour) choose its look; it follows
// the pointer (hover) and the mouse button (pressed).
#pragma once

#include <QPainterPath>
#include <QPushButton>
#include <optional>
#include <vector>

namespace ostrelui {

class OstrelUITintedButton : public QPushButton {
  public:
    /// Shapes: 0 rounded 5, 1 rounded 8 x 5, 2 rounded 15, 3 rounded 12,
    /// 4 and 5 square, 6 capsule; above 6 no bezel.
    static constexpr unsigned kMaxShape = 6;
    /// Tints 0 and 2-10 are drawn; 1 and above 10 are invalid.
    static constexpr unsigned kMaxTint = 10;

    explicit OstrelUITintedButton(QWidget* parent = nullptr);
    explicit OstrelUITintedButton(const QString& title, QWidget* parent = nullptr);

    /// The kit's button for dialogs and alerts, in the screens' look: brand
    /// yellow (tint 9, shape 4) with a dark title, 32 high and at least 96
    /// wide (its title and 32 of padding).
    static OstrelUITintedButton* dialogButton(const QString& title, QWidget* parent = nullptr);
    /// Gives every button of `buttons` the width of the widest.
    static void matchWidths(const std::vector<QPushButton*>& buttons);

    unsigned buttonShape() const { return shape_; }
    void setButtonShape(unsigned shape);
    unsigned buttonTint() const { return tint_; }
    void setButtonTint(unsigned tint);
    /// Extra width added to a wrapping title's width; 0 means 20.
    float xPadding() const { return xPadding_; }
    void setXPadding(float padding);
    /// Whether the title wraps; a wrapping button's size hint is its title's
    /// one-line width plus the padding, at its current height.
    bool wraps() const { return wraps_; }
    void setWraps(bool wraps);

    // Pointer state.
    bool mouseInside() const { return mouseInside_; }
    bool mouseDown() const { return mouseDown_; }
    bool mouseDownOutside() const { return mouseDownOutside_; }
    /// Stores the pressed state, clears mouseDownOutside and repaints.
    void setMouseDown(bool down);
    /// Ends hovering as if the pointer had just left (for screens that swap
    /// the view under a still pointer).
    void resetHover();

    /// The outline of the bezel in `frame` for the current shape and tint;
    /// empty for shapes above 6.
    QPainterPath bezelPath(const QRectF& frame) const;
    /// The title colour for the current tint and state.
    QColor titleColor() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void pointerEntered();
    void pointerExited();
    bool pressedLook() const { return mouseDown_ || isDown(); }
    void paint();
    void paintBezel(QPainter& painter, const QRectF& frame);

    unsigned shape_ = 0;
    unsigned tint_ = 0;
    float xPadding_ = 0;
    bool wraps_ = false;
    bool mouseInside_ = false;
    bool mouseDown_ = false;
    bool mouseDownOutside_ = false;
    bool tracking_ = false;
    bool reportedInvalidTint_ = false;
};

}  // namespace ostrelui
