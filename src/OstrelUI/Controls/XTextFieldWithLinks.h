// A short, read-only text in which parts are clickable links, written with
// the anchor markup of LinkMarkup.h. Address links open a web address;
// action links send a named action to a target (or to the view's delegate).
//
// Keyboard: Tab and Shift+Tab step through the links (and out of the field
// after the last one); Space or Return presses the focused link, which is
// drawn with a focus ring. Accessibility clients see the field as a button
// whose children are its links (role link, press action).
//
// XTextFieldWithLinks_ph stands in a form (a plain label) and puts the real
// view in its place with nibInstantiate().
#pragma once

#include <QColor>
#include <QCursor>
#include <QFont>
#include <QLabel>
#include <QList>
#include <QPointer>
#include <QSpacerItem>
#include <QString>
#include <QTextDocument>
#include <QTextLayout>
#include <QUrl>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "OstrelUI/Controls/AttributedText.h"

namespace ostrelui {

class XTextFieldWithLinks;
class XTextFieldWithLinks_ph;

/// Something that can perform a named action ("showEULA:") sent by a link.
class XTextFieldActionTarget {
  public:
    virtual ~XTextFieldActionTarget() = default;
    /// Performs `action` with `sender` as argument; false when the action is
    /// unknown to this target.
    virtual bool performLinkAction(const std::string& action, XTextFieldWithLinks* sender) = 0;
};

/// An action link: the action, its target (kept alive; null means the view's
/// delegate) and the view it belongs to (not owned).
class XTextFieldSelectorLink {
  public:
    XTextFieldSelectorLink(std::shared_ptr<XTextFieldActionTarget> target, std::string action,
                           XTextFieldWithLinks* parent = nullptr)
        : target_(std::move(target)), action_(std::move(action)), parent_(parent) {}
    const std::shared_ptr<XTextFieldActionTarget>& target() const { return target_; }
    const std::string& action() const { return action_; }
    XTextFieldWithLinks* parent() const { return parent_; }

  private:
    std::shared_ptr<XTextFieldActionTarget> target_;
    std::string action_;
    XTextFieldWithLinks* parent_;
};

/// The object behind a link: an address or an action link (compared by
/// identity).
using XTextFieldLinkObject = std::variant<QUrl, std::shared_ptr<XTextFieldSelectorLink>>;

/// The view's delegate. Every method is optional: implementedMethods() says
/// which ones the delegate answers, and only those are called. It also
/// receives the actions of action links that have no target.
class XTextFieldWithLinksDelegate : public XTextFieldActionTarget {
  public:
    enum Method : unsigned {
        kCursorForLink = 1u << 0,
        kTextDidChange = 1u << 1,
    };
    virtual unsigned implementedMethods() const = 0;

    virtual std::optional<QCursor> cursorForLink(const XTextFieldLinkObject&, std::int64_t,
                                                 XTextFieldWithLinks*) {
        return std::nullopt;
    }
    virtual void textDidChange(XTextFieldWithLinks*) {}
    bool performLinkAction(const std::string&, XTextFieldWithLinks*) override { return false; }
};

/// The link text field. Main thread only.
class XTextFieldWithLinks : public QWidget {
  public:
    static constexpr std::int64_t kNotFound = std::numeric_limits<std::int64_t>::max();

    explicit XTextFieldWithLinks(QWidget* parent = nullptr,
                                 XTextFieldWithLinksDelegate* delegate = nullptr);

    // Class-wide defaults for new views.
    static std::optional<QColor> defaultLinkColor();
    static bool defaultLinkColorIsNone();
    /// A colour (or nullopt) clears the "no colour" setting.
    static void setDefaultLinkColor(std::optional<QColor> color);
    /// New views show links without a colour of their own.
    static void setDefaultLinkColorNone();
    static int defaultLinkUnderline();
    static void setDefaultLinkUnderline(int underline);

    /// Parses `markup` and shows it. Returns false, leaving the shown text
    /// and the links as they were, when the markup is malformed.
    bool parseAndSetString(const QString& markup,
                           std::shared_ptr<XTextFieldActionTarget> target = nullptr);
    /// The same for text with formats; the formats are kept.
    bool parseAndSetAttributedString(const AttributedText& markup,
                                     std::shared_ptr<XTextFieldActionTarget> target = nullptr);

    QString stringValue() const { return value_.text; }
    /// Shows `s` as it is (no markup), in the view's font.
    void setStringValue(const QString& s);
    AttributedText attributedStringValue() const { return value_; }
    void setAttributedStringValue(const AttributedText& s);

    // isEnabled() / setEnabled() are the widget's own: a disabled field
    // shows its text in the disabled colour without links and ignores clicks.
    std::int64_t tag() const { return tag_; }
    void setTag(std::int64_t tag) { tag_ = tag; }

    std::optional<QColor> linkColor() const { return linkColor_; }
    void setLinkColor(std::optional<QColor> color);
    int linkUnderline() const { return linkUnderline_; }
    void setLinkUnderline(int underline);

    XTextFieldWithLinksDelegate* delegate() const { return delegate_; }
    /// Replaces the delegate (not owned; must outlive the view or be reset).
    void setDelegate(XTextFieldWithLinksDelegate* d) { delegate_ = d; }
    /// How address links are opened (the desktop's handler by default).
    void setUrlOpener(std::function<bool(const QUrl&)> opener) { urlOpener_ = std::move(opener); }

    /// The links of the last successful parse, in text order.
    const std::vector<XTextFieldLinkObject>& linkObjects() const { return links_; }
    /// First character index of the link's text, or kNotFound.
    std::int64_t indexOfLink(const XTextFieldLinkObject& link) const;
    /// The link's text, or nullopt.
    std::optional<QString> stringForLink(const XTextFieldLinkObject& link) const;
    /// The link run under `point` (view coordinates), or -1.
    int linkIndexAt(QPointF point) const;

    /// One line rectangle of a link (view coordinates, clipped to the view),
    /// with the link's first character index and its index in linkObjects().
    /// A link that wraps has one rectangle per line.
    struct LinkRect {
        std::int64_t charIndex;
        int link;
        QRectF rect;
    };
    /// The rectangles of every link, in text order.
    std::vector<LinkRect> linkRects() const;
    /// Changes whenever the link list is rebuilt.
    std::uint64_t linkGeneration() const { return linkGeneration_; }

    /// The link that has the keyboard focus, or -1.
    int focusedLink() const { return focusedLink_; }
    /// The identifier accessibility clients know the view by (its object
    /// name); a link's is "<view identifier>_<action without colons>", empty
    /// when the view has none or the link is an address.
    QString accessibilityIdentifier() const { return objectName(); }
    QString accessibilityIdentifierOfLink(const XTextFieldLinkObject& link) const;

    Qt::Alignment alignment() const { return alignment_; }
    void setAlignment(Qt::Alignment alignment);
    /// The text colour of setStringValue() (set from a placeholder).
    std::optional<QColor> placeholderTextColor() const { return placeholderTextColor_; }
    void setPlaceholderTextColor(std::optional<QColor> color) { placeholderTextColor_ = color; }

    // Height tracking (turned on by a placeholder whose height the form does
    // not fix): the minimum height follows the text height + 4, 0 while the
    // text is empty, and the zeroable spacer collapses and comes back with it.
    bool tracksHeight() const { return tracksHeight_; }
    /// The tracked height (the minimum height while tracking).
    double heightConstant() const { return heightConstant_; }
    QSpacerItem* zeroableSpacer() const { return zeroableSpacer_; }
    void setZeroableSpacer(QSpacerItem* spacer) { zeroableSpacer_ = spacer; }

    /// Routes a click on a link: actions to their target (or the delegate),
    /// addresses to the URL opener. Answers whether someone took it.
    bool clickedOnLink(const XTextFieldLinkObject& link, std::int64_t charIndex);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    bool focusNextPrevChild(bool next) override;

  private:
    friend class XTextFieldWithLinks_ph;
    struct LinkRun {
        int start;
        int length;
        XTextFieldLinkObject object;
    };
    bool applyParse(const AttributedText& source, std::shared_ptr<XTextFieldActionTarget> target);
    void showValue();
    void updateCursor(QPointF point);
    void linksChanged();
    void setFocusedLink(int index);
    void trackHeight();
    void startTrackingHeight(double height);

    AttributedText value_;
    std::vector<LinkRun> runs_;
    std::vector<XTextFieldLinkObject> links_;
    XTextFieldWithLinksDelegate* delegate_;
    bool enabled_ = true;
    std::int64_t tag_ = 0;
    std::optional<QColor> linkColor_;
    int linkUnderline_ = 1;
    QTextDocument document_;
    int pressedLink_ = -1;
    std::function<bool(const QUrl&)> urlOpener_;
    std::uint64_t linkGeneration_ = 0;
    int focusedLink_ = -1;
    Qt::Alignment alignment_ = Qt::AlignLeft;
    std::optional<QColor> placeholderTextColor_;
    bool tracksHeight_ = false;
    double heightConstant_ = 0;
    double savedSpacerHeight_ = 0;
    QSpacerItem* zeroableSpacer_ = nullptr;
};

/// A plain label that stands in a form for an XTextFieldWithLinks: its text
/// (link markup), font, colours, alignment and flags describe the real view.
class XTextFieldWithLinks_ph : public QLabel {
  public:
    explicit XTextFieldWithLinks_ph(const QString& markup = QString(), QWidget* parent = nullptr)
        : QLabel(markup, parent) {}

    std::int64_t tag() const { return tag_; }
    void setTag(std::int64_t tag) { tag_ = tag; }
    /// The spacing next to the placeholder that collapses while the real
    /// view's text is empty; when none is set, a fixed-height spacer right
    /// after it in its box layout is taken.
    QSpacerItem* zeroableSpacer() const { return zeroableSpacer_; }
    void setZeroableSpacer(QSpacerItem* spacer) { zeroableSpacer_ = spacer; }
    /// The view made by nibInstantiate(), until the placeholder goes away.
    XTextFieldWithLinks* realView() const { return realView_; }

    /// Makes the real view in the placeholder's frame (1 point off the top
    /// and the bottom) with its alignment, font, text and background colours,
    /// background drawing, enabled and hidden state and tag; puts it in the
    /// placeholder's place (in its layout, else at its geometry and z-order);
    /// keeps the sizes the form fixes and adds minimums from the frame for
    /// the others (the height one turns on height tracking); parses the
    /// placeholder's text. The placeholder is then removed and deleted on
    /// the next event-loop turn.
    XTextFieldWithLinks* nibInstantiate();

  private:
    std::int64_t tag_ = 0;
    QSpacerItem* zeroableSpacer_ = nullptr;
    QPointer<XTextFieldWithLinks> realView_;
};

}  // namespace ostrelui
