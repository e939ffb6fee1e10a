// Runs a dialog or an alert as a sheet (window-modal) on a parent window and
// reports its end through a block; gives dialogs the kit's margins.
#pragma once

#include <functional>

class QDialog;
class QMessageBox;
class QWidget;

namespace ostrelui {

/// Called with the dialog (or alert) and the code given to done().
using SheetDidEndBlock = std::function<void(QWidget* sheet, int code)>;

/// Shows `dialog` window-modal on `parent` (null: application-modal) on a
/// later turn of the main queue, and calls `block` (may be null) once with
/// the code the dialog ends with. Callable from any thread; the dialog must
/// outlive the sheet. A later run replaces the block. Ending another dialog
/// on the same parent calls nothing.
void runModalForWindow(QDialog& dialog, QWidget* parent, SheetDidEndBlock block);

/// The same for an alert, shown at once. Main thread only.
void runModalForWindow(QMessageBox& alert, QWidget* parent, SheetDidEndBlock block);

/// The space between a dialog's edges and its content (its buttons too).
inline constexpr int kDialogMargin = 20;

/// Gives `dialog` (a dialog or an alert) kDialogMargin on every side, now
/// and each time it shows: an alert builds its layout anew as its parts are
/// set. Main thread only.
void setDialogMargins(QDialog& dialog);

}  // namespace ostrelui
