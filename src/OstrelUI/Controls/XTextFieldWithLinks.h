// A short, read-only text in which parts are clickable links, written with
// the anchor markup of LinkMarkup.h. Address links open a web address;
// action links send a named action to a target (or to the view's delegate).
#pragma once

#include <QColor>
#include <QCursor>
#include <QFont>
#include <QList>
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

  private:
    struct LinkRun {
        int start;
        int length;
        XTextFieldLinkObject object;
    };
    bool applyParse(const AttributedText& source, std::shared_ptr<XTextFieldActionTarget> target);
    void showValue();
    void updateCursor(QPointF point);

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
};

}  // namespace ostrelui
