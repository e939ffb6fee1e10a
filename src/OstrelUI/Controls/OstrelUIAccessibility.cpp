#include "OstrelUI/Controls/OstrelUIAccessibility.h"

#include <QAccessibleWidget>
#include <QGuiApplication>
#include <QPointer>
#include <QWindow>
#include <mutex>
#include <vector>

#include "OstrelUI/Controls/OstrelUIGuard.h"
#include "OstrelUI/Controls/XHyperlinkButton.h"
#include "OstrelUI/Controls/XTextFieldWithLinks.h"

namespace ostrelui {

namespace {

// The hyperlink button: a link whose press action clicks it.
class HyperlinkButtonAccessible : public QAccessibleWidget {
  public:
    explicit HyperlinkButtonAccessible(XHyperlinkButton* button)
        : QAccessibleWidget(button, QAccessible::Link) {
        addControllingSignal(QStringLiteral("clicked(bool)"));
    }
    XHyperlinkButton* button() const { return static_cast<XHyperlinkButton*>(widget()); }

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name) {
            const QString name = QAccessibleWidget::text(t);
            return name.isEmpty() ? button()->text() : name;
        }
        return QAccessibleWidget::text(t);
    }
    QStringList actionNames() const override {
        QStringList names = QAccessibleWidget::actionNames();
        if (button()->isEnabled()) names.prepend(pressAction());
        return names;
    }
    void doAction(const QString& action) override {
        if (action == pressAction() && button()->isEnabled()) {
            guarded([this] { button()->click(); })();
            return;
        }
        QAccessibleWidget::doAction(action);
    }
};

// One link of a text field with inline links: role link; name, value and
// description are the link's text; one action, press.
class TextLinkAccessible : public QAccessibleInterface, public QAccessibleActionInterface {
  public:
    TextLinkAccessible(XTextFieldWithLinks* field, XTextFieldLinkObject link)
        : field_(field), link_(std::move(link)) {}

    bool isValid() const override { return field_ && index() >= 0; }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return field_ ? field_->window()->windowHandle() : nullptr; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* parent() const override {
        return field_ ? QAccessible::queryAccessibleInterface(field_.data()) : nullptr;
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }

    QString text(QAccessible::Text t) const override {
        if (!field_) return {};
        switch (t) {
            case QAccessible::Name:
            case QAccessible::Value:
            case QAccessible::Description:
                return field_->stringForLink(link_).value_or(QString());
            case QAccessible::UserText:  // the identifier
                return field_->accessibilityIdentifierOfLink(link_);
            default:
                return {};
        }
    }
    void setText(QAccessible::Text, const QString&) override {}  // nothing is settable

    QRect rect() const override {
        if (!field_) return {};
        QRectF united;
        const int i = index();
        for (const auto& r : field_->linkRects()) {
            if (r.link == i) united = united.united(r.rect);
        }
        if (united.isEmpty()) return {};
        return QRect(field_->mapToGlobal(united.topLeft().toPoint()), united.size().toSize());
    }
    QAccessible::Role role() const override { return QAccessible::Link; }
    QAccessible::State state() const override {
        QAccessible::State st;
        if (!field_) {
            st.invalid = true;
            return st;
        }
        st.focusable = field_->isEnabled();
        st.focused = field_->hasFocus() && field_->focusedLink() == index();
        st.linked = true;
        st.disabled = !field_->isEnabled();
        st.invisible = !field_->isVisible();
        return st;
    }
    void* interface_cast(QAccessible::InterfaceType type) override {
        return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this)
                                                    : nullptr;
    }

    QStringList actionNames() const override { return {pressAction()}; }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }
    void doAction(const QString& action) override {
        if (action != pressAction() || !field_) return;
        guarded([this] { field_->clickedOnLink(link_, field_->indexOfLink(link_)); })();
    }

    // The link's place in the field's link list, or -1 when it left it.
    int index() const {
        if (!field_) return -1;
        const auto& links = field_->linkObjects();
        for (std::size_t i = 0; i < links.size(); ++i) {
            if (links[i] == link_) return static_cast<int>(i);
        }
        return -1;
    }

  private:
    QPointer<XTextFieldWithLinks> field_;
    XTextFieldLinkObject link_;
};

// The text field with inline links: a button whose children are its links,
// in text order.
class TextFieldAccessible : public QAccessibleWidget {
  public:
    explicit TextFieldAccessible(XTextFieldWithLinks* field)
        : QAccessibleWidget(field, QAccessible::Button) {}
    ~TextFieldAccessible() override { dropChildren(); }

    XTextFieldWithLinks* field() const { return static_cast<XTextFieldWithLinks*>(widget()); }

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name && QAccessibleWidget::text(t).isEmpty())
            return field()->stringValue();
        if (t == QAccessible::UserText) return field()->accessibilityIdentifier();
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override {
        QAccessible::State st = QAccessibleWidget::state();
        st.invisible = !field()->isVisible();  // never ignored otherwise
        return st;
    }
    int childCount() const override { return static_cast<int>(field()->linkObjects().size()); }
    QAccessibleInterface* child(int index) const override {
        syncChildren();
        if (index < 0 || index >= static_cast<int>(children_.size())) return nullptr;
        return QAccessible::accessibleInterface(children_[static_cast<std::size_t>(index)]);
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        syncChildren();
        for (std::size_t i = 0; i < children_.size(); ++i) {
            if (QAccessible::accessibleInterface(children_[i]) == child) return static_cast<int>(i);
        }
        return -1;
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        const QPointF point = field()->mapFromGlobal(QPointF(x, y));
        for (const auto& r : field()->linkRects()) {
            if (r.rect.contains(point)) return child(r.link);
        }
        return nullptr;  // the view itself
    }
    QAccessibleInterface* focusChild() const override {
        if (field()->hasFocus() && field()->focusedLink() >= 0) {
            return child(field()->focusedLink());
        }
        return nullptr;
    }
    QStringList actionNames() const override { return {}; }

  private:
    // One registered interface per link, made again when the links change.
    void syncChildren() const {
        if (generation_ == field()->linkGeneration() && !children_.empty()) return;
        dropChildren();
        generation_ = field()->linkGeneration();
        for (const auto& link : field()->linkObjects()) {
            children_.push_back(
                QAccessible::registerAccessibleInterface(new TextLinkAccessible(field(), link)));
        }
    }
    void dropChildren() const {
        for (QAccessible::Id id : children_) QAccessible::deleteAccessibleInterface(id);
        children_.clear();
    }

    mutable std::vector<QAccessible::Id> children_;
    mutable std::uint64_t generation_ = 0;
};

QAccessibleInterface* kitFactory(const QString&, QObject* object) {
    if (auto* button = dynamic_cast<XHyperlinkButton*>(object))
        return new HyperlinkButtonAccessible(button);
    if (auto* field = dynamic_cast<XTextFieldWithLinks*>(object))
        return new TextFieldAccessible(field);
    return nullptr;
}

}  // namespace

void installAccessibilityFactory() {
    static std::once_flag once;
    std::call_once(once, [] { QAccessible::installFactory(kitFactory); });
}

}  // namespace ostrelui
