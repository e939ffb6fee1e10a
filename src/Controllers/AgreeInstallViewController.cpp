#include "Controllers/AgreeInstallViewController.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionButton>
#include <QVBoxLayout>
#include <mutex>
#include <vector>

#include "Controllers/Core/InstallerInstanceLock.h"
#include "Controllers/Core/ProductPluginConfig.h"
#include "Controllers/FellowguardUI.h"
#include "Controllers/MainWindowController.h"
#include "Controllers/MainWindowForm.h"
#include "Controllers/ShellSupport.h"
#include "Foundation/PelLogging.h"
#include "OstrelUI/Controls/OstrelUIAppearance.h"
#include "OstrelUI/Controls/OstrelUIEULAController.h"
#include "OstrelUI/Controls/OstrelUIGuard.h"
#include "OstrelUI/Controls/OstrelUITintedButton.h"
#include "OstrelUI/Controls/OstrelUIWindowUtilities.h"
#include "OstrelUI/Controls/XTextFieldWithLinks.h"
#include "Platform/System/Bundle.h"

using ostrelui::XTextFieldActionTarget;
using ostrelui::XTextFieldWithLinks;

namespace {

std::mutex& seamMutex() {
    static std::mutex mutex;
    return mutex;
}
AgreeInstallViewController::InstanceCheck& instanceCheckSeam() {
    static AgreeInstallViewController::InstanceCheck check;
    return check;
}
AgreeInstallViewController::OptInDialog& dialogSeam() {
    static AgreeInstallViewController::OptInDialog dialog;
    return dialog;
}

QString text(const char* key, const char* table = "") {
    auto bundle = platform::Bundle::mainBundle();
    if (!bundle) return QString::fromUtf8(key);
    return QString::fromStdString(bundle->localizedString(key, "", table));
}

std::string endpointURL(const char* scheme, const std::string& rest) {
    return std::string(scheme) + productconfig::kHelpRedirectHost + rest;
}

class AgreeLinkTarget : public XTextFieldActionTarget {
  public:
    explicit AgreeLinkTarget(AgreeInstallViewController* owner) : owner_(owner) {}
    bool performLinkAction(const std::string& action, XTextFieldWithLinks*) override {
        return owner_ && owner_->performAction(action);
    }

  private:
    QPointer<AgreeInstallViewController> owner_;
};

// The page's margins: the top one keeps the window's title block clear.
constexpr int kPageTop = 170;
constexpr int kPageSide = 80;
constexpr int kPageBottom = 96;
constexpr int kColumnWidth = 560;

// A push button that always shows the keyboard focus ring while it has the
// focus (the flat check box draws none of its own when the focus did not
// come from Tab), so that Space acts on something the user can see.
class FocusRingButton : public QPushButton {
  public:
    using QPushButton::QPushButton;

  protected:
    void changeEvent(QEvent* event) override {
        QPushButton::changeEvent(event);
        if (event->type() == QEvent::ActivationChange) update();
    }
    void paintEvent(QPaintEvent* event) override {
        QPushButton::paintEvent(event);
        if (!hasFocus()) return;
        ostrelui::guarded([this] {
            QPainter painter(this);
            ostrelui::paintFocusRing(painter, *this, QRectF(rect()), 4);
        })();
    }
};

XTextFieldWithLinks* linkField(QWidget* parent, const char* name) {
    auto* field = new XTextFieldWithLinks(parent);
    field->setObjectName(QString::fromLatin1(name));
    return field;
}

}  // namespace

void AgreeInstallViewController::setCheckboxImage(QPushButton* box, bool checked) {
    QPixmap image = ostrelui::imageNamed(checked ? QStringLiteral("btn_checkbox-checked")
                                                 : QStringLiteral("btn_checkbox"));
    if (image.isNull()) {
        // Without the bundle's images, the style's own check box.
        image = QPixmap(16, 16);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        QStyleOptionButton option;
        option.rect = image.rect();
        option.state = QStyle::State_Enabled | (checked ? QStyle::State_On : QStyle::State_Off);
        box->style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &option, &painter, box);
    }
    box->setIcon(QIcon(image));
}

AgreeInstallViewController::AgreeInstallViewController(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("agreeAndInstallViewController"));
    linkTarget_ = std::make_shared<AgreeLinkTarget>(this);
    auto* layout = new QVBoxLayout(this);
    // One composed page: the window's title block stays clear above, the
    // agreement sits as one centred column, its button under it.
    layout->setContentsMargins(kPageSide, kPageTop, kPageSide, kPageBottom);
    layout->setSpacing(0);
    productNameText = new QLabel(this);
    productNameText->setObjectName(QStringLiteral("productNameText"));
    prodTypeText = new QLabel(this);
    prodTypeText->setObjectName(QStringLiteral("prodTypeText"));
    agreeAndInstallText = linkField(this, "agreeAndInstallText");
    installEulaText = linkField(this, "installEulaText");
    installPrivacyNoticesText = linkField(this, "installPrivacyNoticesText");
    optIn = new FocusRingButton(this);
    optIn->setObjectName(QStringLiteral("optIn"));
    optIn->setCheckable(true);
    optIn->setFlat(true);
    optIn->setFocusPolicy(Qt::StrongFocus);
    setCheckboxImage(optIn, false);
    optIn->setIconSize(QSize(16, 16));
    optIn->setFixedSize(22, 22);
    agreeAndInstallKeenwatchOptInText = linkField(this, "agreeAndInstallKeenwatchOptInText");
    installOfgOptInText = linkField(this, "installOfgOptInText");
    auto* tinted = new ostrelui::OstrelUITintedButton(text("Install"), this);
    shell::styleButton(tinted, 180);
    installButton = tinted;
    installButton->setObjectName(QStringLiteral("installButton"));
    shell::makeDefaultButton(installButton);
    for (XTextFieldWithLinks* field :
         {agreeAndInstallText, installEulaText, installPrivacyNoticesText,
          agreeAndInstallKeenwatchOptInText, installOfgOptInText}) {
        QFont font = field->font();
        font.setPointSize(13);
        field->setFont(font);
        field->setAlignment(Qt::AlignHCenter);
        field->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
    }
    agreeAndInstallKeenwatchOptInText->setAlignment(Qt::AlignLeft);

    auto* column = new QWidget(this);
    column->setObjectName(QStringLiteral("agreementColumn"));
    column->setFixedWidth(kColumnWidth);
    auto* stack = new QVBoxLayout(column);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(10);
    stack->addWidget(productNameText);
    stack->addWidget(prodTypeText);
    stack->addWidget(agreeAndInstallText);
    auto* optRow = new QHBoxLayout;
    optRow->setSpacing(10);
    optRow->addWidget(optIn, 0, Qt::AlignTop);
    optRow->addWidget(agreeAndInstallKeenwatchOptInText, 1);
    stack->addLayout(optRow);
    stack->addWidget(installOfgOptInText);
    stack->addSpacing(8);
    stack->addWidget(installEulaText);
    stack->addWidget(installPrivacyNoticesText);
    stack->addSpacing(18);
    stack->addWidget(installButton, 0, Qt::AlignHCenter);
    for (QLabel* empty : {productNameText, prodTypeText}) empty->hide();

    layout->addStretch(1);
    layout->addWidget(column, 0, Qt::AlignHCenter);
    layout->addStretch(2);

    // The opt-in parts show only when the plug-in allows the opt-in, and the
    // second opt-in sentence not even then: the box's own sentence says it,
    // so the welcome reads it once, next to its box.
    for (QWidget* hidden : std::initializer_list<QWidget*>{optIn, agreeAndInstallKeenwatchOptInText,
                                                           installOfgOptInText, installEulaText,
                                                           installPrivacyNoticesText})
        hidden->hide();

    // Tab follows the page as it reads: the box and its sentence, the
    // licence and privacy links, then Install.
    QWidget* chain[] = {optIn, agreeAndInstallKeenwatchOptInText, installEulaText,
                        installPrivacyNoticesText, installButton};
    // Qt orders only focusable widgets, and the link fields take the focus
    // only once they hold links: they count as focusable while ordered.
    std::vector<std::pair<QWidget*, Qt::FocusPolicy>> policies;
    for (QWidget* w : chain) {
        policies.emplace_back(w, w->focusPolicy());
        if (w->focusPolicy() == Qt::NoFocus) w->setFocusPolicy(Qt::TabFocus);
    }
    for (std::size_t i = 1; i < std::size(chain); ++i) setTabOrder(chain[i - 1], chain[i]);
    for (const auto& [w, policy] : policies) w->setFocusPolicy(policy);

    connect(optIn, &QPushButton::clicked, this, ostrelui::guarded([this] { optInClicked(); }));
    connect(installButton, &QPushButton::clicked, this, ostrelui::guarded([this] { install(); }));
}

AgreeInstallViewController::~AgreeInstallViewController() = default;

bool AgreeInstallViewController::performAction(const std::string& action) {
    if (action == "showEULA:")
        showEULA();
    else if (action == "showOstrelFellowguard:")
        showOstrelFellowguard();
    else if (action == "showThirdPartyNotices:")
        showThirdPartyNotices();
    else if (action == "showOFGPrivacy:")
        showOFGPrivacy();
    else if (action == "showPrivacyPolicy:")
        showPrivacyPolicy();
    else if (action == "install:")
        install();
    else if (action == "optInClicked:")
        optInClicked();
    else
        return false;
    return true;
}

void AgreeInstallViewController::orMask(std::uint64_t bits) {
    auto* main = MainWindowController::sharedMainMenuController();
    main->setUiOptionsClicked(main->uiOptionsClicked() | bits);
}

void AgreeInstallViewController::showEULA() {
    orMask(kUIOptionEULAOpened);
    if (eula_) return;  // one licence window at a time
    auto* main = MainWindowController::sharedMainMenuController();
    eula_ = new ostrelui::OstrelUIEULAController(main->window());
    QPointer<AgreeInstallViewController> self(this);
    ostrelui::runModalForWindow(*eula_, main->window(), [self](QWidget* sheet, int) {
        // Dropped once the sheet has ended, so the next click makes a new one.
        if (sheet) sheet->deleteLater();
        if (self) self->eula_ = nullptr;
    });
}

void AgreeInstallViewController::showOstrelFellowguard() {
    std::string key = endpointURL("http://", "/932743328?ssdcat=134&displang=iso3:eng");
    UrlOpener::open(text(key.c_str()).toStdString());
}

void AgreeInstallViewController::showThirdPartyNotices() {
    UrlOpener::open(endpointURL("http://", std::string("/932743328/?ssdcat=115&product=") +
                                               productconfig::kNoticesProductCode));
}

void AgreeInstallViewController::showOFGPrivacy() {
    orMask(kUIOptionOptInLearnMore);
    std::string key = endpointURL("http://", "/932743328?ssdcat=134&displang=iso3:eng");
    UrlOpener::open(text(key.c_str(), "Fellowguard").toStdString());
}

void AgreeInstallViewController::showPrivacyPolicy() {
    orMask(kUIOptionPrivacyPolicyOpened);
    std::string key =
        endpointURL("https://", "/932743328?ssdcat=150&product=mac&displang=iso3:eng");
    UrlOpener::open(text(key.c_str()).toStdString());
}

void AgreeInstallViewController::setInstanceCheck(InstanceCheck check) {
    std::lock_guard lock(seamMutex());
    instanceCheckSeam() = std::move(check);
}

void AgreeInstallViewController::setOptInDialog(OptInDialog dialog) {
    std::lock_guard lock(seamMutex());
    dialogSeam() = std::move(dialog);
}

bool AgreeInstallViewController::anotherCopyRuns() {
    InstanceCheck check;
    {
        std::lock_guard lock(seamMutex());
        check = instanceCheckSeam();
    }
    if (check) return check();
    auto main = platform::Bundle::mainBundle();
    if (!main) return false;
    platform::Error error;
    switch (InstallerInstanceLock::acquireShared(main->bundleIdentifier(), &error)) {
        case InstanceLockState::kHeld:
            return false;
        case InstanceLockState::kHeldByAnotherCopy:
            return true;
        case InstanceLockState::kUnavailable:
            PelLogging::logErrorMessageWithFormat(
                "The installer's lock cannot be taken, so other copies go unseen: %@",
                error.description());
            return false;
    }
    return false;
}

bool AgreeInstallViewController::shouldBlockInstall() {
    if (!anotherCopyRuns()) return false;
    showAlreadyRunning();
    return true;
}

void AgreeInstallViewController::showAlreadyRunning() {
    QPointer<AgreeInstallViewController> self(this);
    // Try Again checks again: once the other copy is gone the welcome screen
    // comes back with Install focused; until then the screen stays.
    MainWindowController::sharedMainMenuController()->showOKScreen(
        text("MISC_BOA_title"), text("MISC_BOA_body"), [self] {
            auto* main = MainWindowController::sharedMainMenuController();
            if (anotherCopyRuns()) {
                if (self) self->showAlreadyRunning();
                return;
            }
            main->showWelcomeScreen();
        });
}

void AgreeInstallViewController::install() {
    auto* main = MainWindowController::sharedMainMenuController();
    // One road at a time, and only from the welcome screen: a double click or
    // a second Return while the first switch runs does nothing.
    if (roadInFlight_ || main->installStatus() != kInstallStatusLaunched || main->isTerminating())
        return;
    if (shouldBlockInstall()) return;
    roadInFlight_ = true;
    installButton->setEnabled(false);
    QPointer<AgreeInstallViewController> self(this);
    runFellowguardIfRequired();
    if (self && !main->isTerminating()) main->performFSDAndInstall();
    if (!self) return;
    roadInFlight_ = false;
    installButton->setEnabled(true);
}

void AgreeInstallViewController::runFellowguardIfRequired() {
    auto* main = MainWindowController::sharedMainMenuController();
    if (!optIn || optIn->isHidden()) return;
    if (optIn->isChecked()) {
        orMask(kUIOptionOptInAccepted);
        return;
    }
    OptInDialog dialog;
    {
        std::lock_guard lock(seamMutex());
        dialog = dialogSeam();
    }
    bool learnMore = false;
    QPointer<AgreeInstallViewController> self(this);
    int answer = 0;
    if (dialog) {
        answer = dialog(window(), &learnMore);
    } else {
        auto bundle = platform::Bundle::mainBundle();
        QPixmap logo =
            ostrelui::imageNamed(QStringLiteral("logo-ostrel-by-pelgrave-logo-large-color"));
        if (logo.isNull()) logo = main->form().productLogoView->pixmap();
        std::string product =
            bundle ? bundle->objectForInfoDictionaryKey("PEL_PRODUCT_NAME").stringValue()
                   : std::string();
        answer = FellowguardUI::runWindowFromBaseWindow(window(), QString::fromStdString(product),
                                                        bundle, logo, &learnMore);
    }
    if (!self) return;
    if (learnMore) orMask(kUIOptionOptInLearnMore);
    if (answer == 1) {
        orMask(kUIOptionOptInAccepted);
        optIn->setChecked(true);
        setCheckboxImage(optIn, true);
    }
}

void AgreeInstallViewController::optInClicked() {
    auto* main = MainWindowController::sharedMainMenuController();
    if (optIn->isChecked()) {
        main->setUiOptionsClicked(main->uiOptionsClicked() | kUIOptionOptInAccepted);
        setCheckboxImage(optIn, true);
    } else {
        main->setUiOptionsClicked(main->uiOptionsClicked() &
                                  ~std::uint64_t(kUIOptionOptInAccepted));
        setCheckboxImage(optIn, false);
    }
}
