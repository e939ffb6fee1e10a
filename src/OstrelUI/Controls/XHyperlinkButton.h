// A push button drawn as a text link: only its title, in a colour that
// follows its state, optionally underlined, with the pointing-hand cursor
// while enabled. Accessibility clients see a link whose press action clicks.
#pragma once

#include <QAbstractButton>
#include <QColor>
#include <optional>

#include "Platform/Values/Value.h"

namespace ostrelui {

class XHyperlinkButton : public QAbstractButton {
  public:
    // Archive keys.
    static constexpr const char* kUnderlineKey = "XHyperlinkUnderline";
    static constexpr const char* kEnabledColorKey = "XHyperlinkEnabledColor";
    static constexpr const char* kDisabledColorKey = "XHyperlinkDisabledColor";
    static constexpr const char* kClickedColorKey = "XHyperlinkClickedColor";
    static constexpr const char* kHoverColorKey = "XHyperlinkHoverColor";

    explicit XHyperlinkButton(QWidget* parent = nullptr);
    explicit XHyperlinkButton(const QString& title, QWidget* parent = nullptr);

    std::optional<QColor> enabledColor() const { return enabledColor_; }
    void setEnabledColor(std::optional<QColor> color);
    /// The colour set, or the palette's disabled text colour when none is.
    QColor disabledColor() const;
    bool hasDisabledColor() const { return disabledColor_.has_value(); }
    void setDisabledColor(std::optional<QColor> color);
    std::optional<QColor> clickedColor() const { return clickedColor_; }
    void setClickedColor(std::optional<QColor> color) { clickedColor_ = std::move(color); }
    /// A hover colour also turns on pointer tracking.
    std::optional<QColor> hoverColor() const { return hoverColor_; }
    void setHoverColor(std::optional<QColor> color);
    bool underlined() const { return underlined_; }
    void setUnderlined(bool underlined);

    /// Whether the pointer is over the button (tracked only with a hover
    /// colour).
    bool mouseInside() const { return mouseInside_; }
    /// The title colour now: clicked (while pressed), then hover (pointer
    /// inside), then the enabled or disabled colour, then the palette's text.
    QColor titleColor() const;

    /// Writes the underline flag and every colour that is set ("#AARRGGBB").
    void encode(platform::Dictionary& archive) const;
    /// Reads what encode() writes: the underline flag (false when absent),
    /// the enabled colour (none when absent) and each other colour only when
    /// its key is present.
    void decode(const platform::Dictionary& archive);

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void updateCursor();

    std::optional<QColor> enabledColor_;
    std::optional<QColor> disabledColor_;
    std::optional<QColor> clickedColor_;
    std::optional<QColor> hoverColor_;
    bool underlined_ = false;
    bool mouseInside_ = false;
};

}  // namespace ostrelui
