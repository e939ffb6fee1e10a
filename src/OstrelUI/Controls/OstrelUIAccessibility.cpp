#include "OstrelUI/Controls/OstrelUIAccessibility.h"

#include <QAccessibleWidget>
#include <mutex>

#include "OstrelUI/Controls/OstrelUIGuard.h"
#include "OstrelUI/Controls/XHyperlinkButton.h"

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

QAccessibleInterface* kitFactory(const QString&, QObject* object) {
    if (auto* button = dynamic_cast<XHyperlinkButton*>(object))
        return new HyperlinkButtonAccessible(button);
    return nullptr;
}

}  // namespace

void installAccessibilityFactory() {
    static std::once_flag once;
    std::call_once(once, [] { QAccessible::installFactory(kitFactory); });
}

}  // namespace ostrelui
