// Small services of the installer's screens: texts of the "SharedInstaller"
// table, the brand word, opening addresses, the main screen's height and
// the review pictures.
#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QLabel;
class QWidget;
namespace ostrelui {
class OstrelUITintedButton;
}
namespace platform {
class Clock;
}

class QPushButton;

namespace shell {

/// `key` looked up in the main bundle's "SharedInstaller" table (empty
/// default value, so a missing key gives the key itself).
QString sharedText(const std::string& key);
/// The brand word: Info.plist PEL_BRAND, "Ostrel" when absent, itself
/// looked up in the "SharedInstaller" table.
QString brandWord();

/// Runs `block` on the main queue soon, with exceptions reported, not
/// thrown, and only while `alive` still holds true.
void onMainWhileAlive(std::weak_ptr<bool> alive, std::function<void()> block);

/// Runs `block` on the main queue `seconds` from now by `clock` (the
/// default clock when null), with exceptions reported, not thrown, and only
/// while `alive` still holds true.
void afterSeconds(double seconds, const std::shared_ptr<platform::Clock>& clock,
                  std::weak_ptr<bool> alive, std::function<void()> block);

/// The screens' one button look: the kit's tinted button, filled in the
/// brand's yellow with a dark title (contrast above 9:1), `width` x 40.
void styleButton(ostrelui::OstrelUITintedButton* button, int width);

/// A centred, word-wrapping label named `name` with the default font at
/// `points` points.
QLabel* makeLabel(QWidget* parent, const char* name, double points, bool bold = false);

/// The property a screen that reveals its parts one after the other sets
/// while it does: its review picture waits until the reveal is over.
inline constexpr const char* kRevealingProperty = "pelRevealing";

/// The property that marks a screen's default button: the one that gets the
/// keyboard focus when the screen shows, so that Return presses it.
inline constexpr const char* kDefaultButtonProperty = "pelDefaultButton";
/// Marks `button` as its screen's default button (Return presses it when
/// focused: auto-default on).
void markDefaultButton(QPushButton* button);
/// Makes `button` its screen's default button: marked as above, and the
/// button's own default (setDefault) whichever control has the focus. Return
/// on its screen (its parent now) that no control there takes presses it.
void makeDefaultButton(QPushButton* button);

}  // namespace shell

/// Opens web addresses and folders in the user's applications. Tests install
/// a recorder, so no browser or file manager is ever started by them.
class UrlOpener {
  public:
    using Opener = std::function<bool(const std::string& url)>;
    /// Opens `url` ("https://…" or "file:///…"); false when it could not.
    static bool open(const std::string& url);
    /// Replaces the opener; null returns to the desktop's.
    static void setOpener(Opener opener);
};

/// Facts about the screen the window opens on.
class ScreenInfo {
  public:
    /// The main screen's height in points: PEL_UI_SCREEN_HEIGHT when set to a
    /// number, else the primary screen's height (800 without a screen).
    static double mainScreenHeight();
    /// Overrides the height (tests); nullopt returns to the above.
    static void setMainScreenHeight(std::optional<double> height);
};

/// Review pictures: with PEL_UI_GRAB_DIR set (or a folder set here), each
/// call saves `<seq>-<status>-<name>.png` of `window` in that folder.
class ReviewPictures {
  public:
    /// The property set on a window once a picture of it is taken: a dialog
    /// its own code saved is not saved again.
    static constexpr const char* kTakenProperty = "pelReviewPictureTaken";
    static void capture(QWidget* window, const std::optional<int>& status, const QString& name);
    /// From now on every dialog and alert of the application is saved once
    /// it shows (named by its objectName), unless its own code saved it
    /// already; `status` gives the install status for the file name.
    static void watchDialogs(std::function<std::optional<int>()> status);
    /// The folder ("" when pictures are off).
    static QString folder();
    /// Overrides the folder; nullopt returns to PEL_UI_GRAB_DIR.
    static void setFolder(std::optional<QString> folder);
};
