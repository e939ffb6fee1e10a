// A pop-up button drawn in the kit's palette: a style (0-2) chooses one of
// three looks, and within it the look follows a state: 0 normal, 1 hovered,
// 2 pressed (menu open), 3 disabled. No arrow; an image, when set, is centred.
#pragma once

#include <QColor>
#include <QComboBox>
#include <QPixmap>
#include <optional>

namespace ostrelui {

class OstrelUITintedPopupButton : public QComboBox {
  public:
    enum UIState : unsigned { kNormal = 0, kHovered = 1, kPressed = 2, kDisabled = 3 };

    /// One entry of the shared style table; absent values fall back to a
    /// white fill, a clear border and square corners.
    struct Look {
        std::optional<QColor> backgroundColor;
        std::optional<QColor> borderColor;
        std::optional<double> cornerRadius;
    };
    /// The table's entry for (style, state); empty for unknown ones.
    static Look lookFor(unsigned style, unsigned state);

    explicit OstrelUITintedPopupButton(QWidget* parent = nullptr);

    unsigned buttonStyle() const { return style_; }
    /// Sets the style; the colours follow at the next state change.
    void setButtonStyle(unsigned style) { style_ = style; }

    /// Stores `state` and takes the colours of (style, state), or of state 3
    /// while disabled.
    void setUIState(unsigned state);
    unsigned uiState() const { return uistate_; }
    bool isMenuShown() const { return menuShown_; }
    void setMenuShown(bool shown);
    bool mouseInside() const { return mouseInside_; }

    const QColor& backgroundColor() const { return backgroundColor_; }
    const QColor& borderColor() const { return borderColor_; }
    /// 2 while hovered, else 1.
    double borderWidth() const { return uistate_ == kHovered ? 2 : 1; }

    const QPixmap& image() const { return image_; }
    void setImage(QPixmap p);
    const QPixmap& alternateImage() const { return alternateImage_; }
    void setAlternateImage(QPixmap p);
    /// alternateImage while the menu is open, else image.
    const QPixmap& currentImage() const { return menuShown_ ? alternateImage_ : image_; }

    void showPopup() override;
    void hidePopup() override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void paint();

    unsigned style_ = 0;
    unsigned uistate_ = kNormal;
    bool menuShown_ = false;
    bool mouseInside_ = false;
    QColor backgroundColor_ = Qt::white;
    QColor borderColor_ = Qt::transparent;
    bool roundCorner_ = false;
    double cornerRadius_ = 0;
    QPixmap image_, alternateImage_;
};

}  // namespace ostrelui
