// The welcome screen's agreement view: product name, licence sentence and
// links, the opt-in check box and the Install button. It owns the
// "ui options clicked" bits of the user's actions.
#pragma once

#include <QPointer>
#include <QPushButton>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>

class QLabel;
#include "OstrelUI/Controls/OstrelUIEULAController.h"

namespace ostrelui {
class XTextFieldWithLinks;
class XTextFieldActionTarget;
}  // namespace ostrelui

/// Bits of MainWindowController::uiOptionsClicked().
enum UIOptionsClickedMask : std::uint64_t {
    kUIOptionOptInAccepted = 0x1,
    kUIOptionEULAOpened = 0x4,
    kUIOptionPrivacyPolicyOpened = 0x80,
    kUIOptionKextSetupShown = 0x100,
    kUIOptionKextOpenNow = 0x200,
    kUIOptionKextContinue = 0x400,
    kUIOptionKextRetry = 0x800,
    kUIOptionKextRetryLink = 0x1000,
    kUIOptionOptInLearnMore = 0x4000,
};

class AgreeInstallViewController : public QWidget {
  public:
    explicit AgreeInstallViewController(QWidget* parent = nullptr);
    ~AgreeInstallViewController() override;

    // Outlets (object names as here).
    QPushButton* optIn = nullptr;
    QLabel* productNameText = nullptr;
    ostrelui::XTextFieldWithLinks* agreeAndInstallText = nullptr;
    ostrelui::XTextFieldWithLinks* agreeAndInstallKeenwatchOptInText = nullptr;
    QLabel* prodTypeText = nullptr;
    ostrelui::XTextFieldWithLinks* installEulaText = nullptr;
    ostrelui::XTextFieldWithLinks* installPrivacyNoticesText = nullptr;
    ostrelui::XTextFieldWithLinks* installOfgOptInText = nullptr;
    QPushButton* installButton = nullptr;

    /// The target the link texts send their actions to.
    const std::shared_ptr<ostrelui::XTextFieldActionTarget>& linkTarget() const {
        return linkTarget_;
    }

    // Actions.
    void showEULA();
    /// The licence window while it runs (null otherwise).
    ostrelui::OstrelUIEULAController* eulaController() const { return eula_; }
    void showOstrelFellowguard();
    void showThirdPartyNotices();
    void showOFGPrivacy();
    void showPrivacyPolicy();
    /// Starts the install road: only at the launched status and when no road
    /// is in flight; the button stays disabled until the road returns.
    void install();
    void optInClicked();

    /// Whether a second copy of the installer holds the installer's lock;
    /// shows the OK screen then.
    bool shouldBlockInstall();
    /// The "already running" screen, whose Try Again checks again.
    void showAlreadyRunning();
    void runFellowguardIfRequired();
    /// Runs an action by its link name ("showEULA:"); false when unknown.
    bool performAction(const std::string& action);

    /// Whether another copy of the installer runs on this path root: the
    /// installer's lock (InstallerInstanceLock) is taken when free, so the
    /// first copy keeps it for its life; a lock file that cannot be opened
    /// blocks nothing. Replaceable for tests (null restores the lock).
    using InstanceCheck = std::function<bool()>;
    static void setInstanceCheck(InstanceCheck check);
    static bool anotherCopyRuns();

    /// The opt-in dialog: answers 1 (join) or 0 (later) and sets
    /// `learnMoreClicked`. Replaceable for tests; by default the
    /// Fellowguard window runs over `base`.
    using OptInDialog = std::function<int(QWidget* base, bool* learnMoreClicked)>;
    static void setOptInDialog(OptInDialog dialog);
    /// Shows the check box image for `checked` ("btn_checkbox-checked",
    /// "btn_checkbox").
    static void setCheckboxImage(QPushButton* box, bool checked);

  private:
    void orMask(std::uint64_t bits);
    std::shared_ptr<ostrelui::XTextFieldActionTarget> linkTarget_;
    bool roadInFlight_ = false;
    QPointer<ostrelui::OstrelUIEULAController> eula_;
};

/// The second product family's agreement view; the same behaviour.
class JHWInstallViewController : public AgreeInstallViewController {
  public:
    using AgreeInstallViewController::AgreeInstallViewController;
};
