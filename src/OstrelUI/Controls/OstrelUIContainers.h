// The kit's window with a transparent title bar, the transparent table view
// and the scroll view that switches itself off on tall screens.
#pragma once

#include <QScrollArea>
#include <QTableView>
#include <QWidget>
#include <cstdint>

namespace ostrelui {

/// The kit's window: transparent title bar, hidden title, content under the
/// title bar (style bit 0x8000) and an empty toolbar without a separator.
/// The window manager draws the title bar, so the style is kept as state for
/// the screens that lay themselves out around it, and applied as far as Qt
/// can: content edge to edge in the window's colour, only the standard
/// buttons in the bar.
class OstrelUIWindow : public QWidget {
  public:
    static constexpr std::uint64_t kFullSizeContentViewMask = 0x8000;

    explicit OstrelUIWindow(QWidget* parent = nullptr);
    /// A window showing `content` (reparented into it), styled as above.
    static OstrelUIWindow* windowWithContentViewController(QWidget* content);

    void setUIStyle();
    void setupStandardWindowButtons();

    bool titlebarAppearsTransparent() const { return titlebarTransparent_; }
    bool titleVisible() const { return titleVisible_; }
    std::uint64_t styleMask() const { return styleMask_; }
    void setStyleMask(std::uint64_t mask) { styleMask_ = mask; }
    bool hasToolbar() const { return hasToolbar_; }
    bool toolbarShowsBaselineSeparator() const { return toolbarSeparator_; }

  private:
    bool titlebarTransparent_ = false;
    bool titleVisible_ = true;
    std::uint64_t styleMask_ = 0;
    bool hasToolbar_ = false;
    bool toolbarSeparator_ = true;
};

/// A table view with a clear background and no focus ring. Put into a plain
/// QScrollArea (exactly that class, not a subclass), it turns that area's
/// background off so what lies behind shows through.
class OstrelUIClearTableView : public QTableView {
  public:
    explicit OstrelUIClearTableView(QWidget* parent = nullptr);
    void setUIStyle();

    double rowGap() const { return rowGap_; }
    void setRowGap(double g) { rowGap_ = g; }
    /// 1 = no focus ring (the only value this view uses).
    int focusRingType() const { return focusRingType_; }

  protected:
    bool event(QEvent* event) override;

  private:
    double rowGap_ = 0;
    int focusRingType_ = 0;
};

/// Whether a scroll area paints its own background.
bool scrollAreaDrawsBackground(const QScrollArea& area);

/// A scroll area that switches scrolling off on screens taller than 800
/// points. The decision is made once, by awakeFromNib().
class OrbEmbeddedScrollView : public QScrollArea {
  public:
    explicit OrbEmbeddedScrollView(QWidget* parent = nullptr);

    /// Decides from the primary screen's height (0 without a screen).
    void awakeFromNib();
    /// The same decision for a given screen height.
    void configureForScreenHeight(double height);

    bool disableScrolling() const { return disableScrolling_; }
    /// Changes only the wheel handling, not the scroll bars.
    void setDisableScrolling(bool v) { disableScrolling_ = v; }

  protected:
    void wheelEvent(QWheelEvent* event) override;

  private:
    bool disableScrolling_ = false;
};

}  // namespace ostrelui
