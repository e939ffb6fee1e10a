#include "OstrelUI/Controls/OstrelUIWindowUtilities.h"

#include <QDialog>
#include <QEvent>
#include <QLayout>
#include <QMessageBox>
#include <QPointer>

#include "OstrelUI/Controls/OstrelUIGuard.h"
#include "Platform/Dispatch/MainQueue.h"

namespace ostrelui {

namespace {

// The dialog's completion block, kept with the dialog as a child object and
// connected once to its finished signal.
class SheetState : public QObject {
  public:
    explicit SheetState(QDialog* dialog) : QObject(dialog) {
        setObjectName(QStringLiteral("_ostreluiSheetState"));
        QObject::connect(dialog, &QDialog::finished, this, guarded([this, dialog](int code) {
                             // Once per run: done() on an ended dialog
                             // reports nothing. The block stays set after it
                             // ran; a later run replaces it.
                             if (!running_) return;
                             running_ = false;
                             // The window under the sheet is the active one
                             // again, its focused control with its ring.
                             if (QWidget* parent = dialog->parentWidget())
                                 parent->window()->activateWindow();
                             SheetDidEndBlock block = block_;
                             if (block) block(dialog, code);
                         }));
    }
    void begin(SheetDidEndBlock block) {
        block_ = std::move(block);
        running_ = true;
    }

    static SheetState* of(QDialog* dialog) {
        auto* state = dialog->findChild<SheetState*>(QStringLiteral("_ostreluiSheetState"),
                                                     Qt::FindDirectChildrenOnly);
        return state ? state : new SheetState(dialog);
    }

  private:
    SheetDidEndBlock block_;
    bool running_ = false;
};

// Puts the kit's margins on a dialog's layout before each show, so that an
// alert measures itself with them.
class DialogMargins : public QObject {
  public:
    explicit DialogMargins(QDialog* dialog) : QObject(dialog) {
        setObjectName(QStringLiteral("_ostreluiDialogMargins"));
        dialog->installEventFilter(this);
        apply(dialog);
    }
    static void apply(QWidget* dialog) {
        if (QLayout* layout = dialog->layout())
            layout->setContentsMargins(kDialogMargin, kDialogMargin, kDialogMargin, kDialogMargin);
    }

  protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        if (event->type() == QEvent::Show && object == parent())
            apply(static_cast<QWidget*>(object));
        return false;
    }
};

void beginSheet(QDialog* dialog, QWidget* parent, SheetDidEndBlock block) {
    SheetState::of(dialog)->begin(std::move(block));
    QWidget* window = parent ? parent->window() : nullptr;
    if (window && dialog->parentWidget() != window) {
        dialog->setParent(window, dialog->windowFlags() | Qt::Dialog);
    }
    dialog->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
    dialog->open();
}

}  // namespace

void runModalForWindow(QDialog& dialog, QWidget* parent, SheetDidEndBlock block) {
    QPointer<QDialog> target(&dialog);
    QPointer<QWidget> onto(parent);
    const bool hadParent = parent != nullptr;
    platform::mainQueue()->async([target, onto, hadParent, block = std::move(block)]() mutable {
        guarded([&] {
            if (!target || (hadParent && !onto)) return;
            beginSheet(target.data(), onto.data(), std::move(block));
        })();
    });
}

void runModalForWindow(QMessageBox& alert, QWidget* parent, SheetDidEndBlock block) {
    beginSheet(&alert, parent, std::move(block));
}

void setDialogMargins(QDialog& dialog) {
    if (dialog.findChild<QObject*>(QStringLiteral("_ostreluiDialogMargins"),
                                   Qt::FindDirectChildrenOnly))
        DialogMargins::apply(&dialog);
    else
        new DialogMargins(&dialog);
}

}  // namespace ostrelui
