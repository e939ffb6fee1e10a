#include "Controllers/FellowguardUI.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <functional>

#include "Controllers/Core/ProductPluginConfig.h"
#include "Controllers/ShellSupport.h"
#include "OstrelUI/Controls/OstrelUIGuard.h"
#include "OstrelUI/Controls/OstrelUITintedButton.h"
#include "Platform/System/Bundle.h"

namespace {

std::function<void(FellowguardWindowController&)>& shownHook() {
    static std::function<void(FellowguardWindowController&)> hook;
    return hook;
}

QString fromTable(const std::shared_ptr<const platform::Bundle>& bundle, const char* key) {
    if (!bundle) return QString::fromUtf8(key);
    return QString::fromStdString(bundle->localizedString(key, "", "Fellowguard"));
}

}  // namespace

FellowguardWindowController::FellowguardWindowController(
    const QString& windowTitle, QWidget* baseWindow, const QString& heading, const QString& message,
    const QString& okTitle, const QString& laterTitle, const QString& learnMoreTitle,
    FellowguardWindowControllerProtocol* delegate, const QPixmap& image)
    : QDialog(baseWindow), baseWindow_(baseWindow), delegate_(delegate) {
    setObjectName(QStringLiteral("FellowguardWindow"));
    setWindowTitle(windowTitle);
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(28, 24, 28, 24);
    layout->setSpacing(12);
    imageView = new QLabel(this);
    imageView->setObjectName(QStringLiteral("imageView"));
    imageView->setPixmap(
        image.scaled(QSize(200, 60), Qt::KeepAspectRatio, Qt::SmoothTransformation));
    imageView->setAlignment(Qt::AlignCenter);
    headingText = new QLabel(heading, this);
    headingText->setObjectName(QStringLiteral("heading"));
    QFont font = headingText->font();
    font.setPointSizeF(font.pointSizeF() * 1.4);
    font.setBold(true);
    headingText->setFont(font);
    headingText->setAlignment(Qt::AlignCenter);
    messageText = new QLabel(message, this);
    messageText->setObjectName(QStringLiteral("message"));
    messageText->setWordWrap(true);
    messageText->setAlignment(Qt::AlignCenter);
    // The kit's buttons, as on the installer's screens, one width for all.
    learnMoreButton = ostrelui::OstrelUITintedButton::dialogButton(learnMoreTitle, this);
    learnMoreButton->setObjectName(QStringLiteral("learnMoreButton"));
    learnMoreButton->setAutoDefault(false);
    laterButton = ostrelui::OstrelUITintedButton::dialogButton(laterTitle, this);
    laterButton->setObjectName(QStringLiteral("laterButton"));
    laterButton->setAutoDefault(false);
    okButton = ostrelui::OstrelUITintedButton::dialogButton(okTitle, this);
    okButton->setObjectName(QStringLiteral("okButton"));
    okButton->setDefault(true);
    ostrelui::OstrelUITintedButton::matchWidths({learnMoreButton, laterButton, okButton});
    layout->addWidget(imageView);
    layout->addWidget(headingText);
    layout->addWidget(messageText);
    layout->addSpacing(8);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(12);
    buttons->addWidget(learnMoreButton);
    buttons->addStretch(1);
    buttons->addWidget(laterButton);
    buttons->addWidget(okButton);
    layout->addLayout(buttons);
    setFixedWidth(460);
    connect(okButton, &QPushButton::clicked, this, ostrelui::guarded([this] { ok(); }));
    connect(laterButton, &QPushButton::clicked, this, ostrelui::guarded([this] { later(); }));
    connect(learnMoreButton, &QPushButton::clicked, this,
            ostrelui::guarded([this] { learnMoreClicked(); }));
    if (baseWindow_) {
        baseWindow_->installEventFilter(this);
        observing_ = true;
    }
}

FellowguardWindowController::~FellowguardWindowController() { stopObserving(); }

void FellowguardWindowController::stopObserving() {
    if (observing_ && baseWindow_) baseWindow_->removeEventFilter(this);
    observing_ = false;
}

int FellowguardWindowController::runModal() { return exec(); }

void FellowguardWindowController::ok() { done(1); }
void FellowguardWindowController::later() { done(0); }

void FellowguardWindowController::done(int result) {
    // Every way out (buttons, Escape, the window's close) ends the modal
    // loop and stops following the base window; anything but Join is Later.
    stopObserving();
    QDialog::done(result == 1 ? 1 : 0);
}

void FellowguardWindowController::learnMoreClicked() {
    if (delegate_) delegate_->learnMore(learnMoreButton);
}

QPointF FellowguardWindowController::optimalPointForBaseRect(const QRectF& base,
                                                             const QRectF& top) {
    const double x = base.width() > top.width() ? base.x() + (base.width() - top.width()) * 0.5 : 0;
    const double y =
        base.height() > top.height() ? base.y() + (base.height() - top.height()) * 0.5 : 0;
    return {x, y};
}

void FellowguardWindowController::followBaseWindow() {
    QRectF base = baseWindow_ ? QRectF(baseWindow_->frameGeometry()) : QRectF();
    QPointF point = optimalPointForBaseRect(base, QRectF(frameGeometry()));
    move(point.toPoint());
}

bool FellowguardWindowController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == baseWindow_ &&
        (event->type() == QEvent::Move || event->type() == QEvent::Resize))
        ostrelui::guarded([this] { followBaseWindow(); })();
    return QDialog::eventFilter(watched, event);
}

void FellowguardWindowController::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    adjustSize();
    followBaseWindow();
    if (shownHook()) {
        QPointer<FellowguardWindowController> self(this);
        QMetaObject::invokeMethod(
            this,
            [self] {
                if (self && shownHook()) ostrelui::guarded([&] { shownHook()(*self); })();
            },
            Qt::QueuedConnection);
    }
}

void FellowguardUI::setDialogShownHook(std::function<void(FellowguardWindowController&)> hook) {
    shownHook() = std::move(hook);
}

void FellowguardUI::learnMore(QObject*) {
    learnMoreGotClicked = true;
    std::string key = std::string("http://") + productconfig::kHelpRedirectHost +
                      "/932743328?ssdcat=134&displang=iso3:eng";
    learnMoreGotLaunched = UrlOpener::open(fromTable(stringsBundle, key.c_str()).toStdString());
}

int FellowguardUI::runWindowFromBaseWindow(QWidget* base, const QString& productName,
                                           std::shared_ptr<const platform::Bundle> stringsBundle,
                                           const QPixmap& logo, bool* learnMoreGotClicked) {
    FellowguardUI launcher;
    launcher.stringsBundle = stringsBundle;
    auto main = platform::Bundle::mainBundle();
    QString title =
        main ? QString::fromStdString(main->localizedString(productName.toStdString(), "", ""))
             : productName;
    FellowguardWindowController controller(
        title, base, fromTable(stringsBundle, "Help Us Fight Cybercrime"),
        fromTable(stringsBundle,
                  "Join Ostrel Fellowguard and provide critical data that helps us identify and "
                  "block new security risks and threats. You can cancel your participation at any "
                  "time."),
        fromTable(stringsBundle, "Join Now"), fromTable(stringsBundle, "Maybe Later"),
        fromTable(stringsBundle, "Learn More"), &launcher, logo);
    int result = controller.runModal();
    // The installer's window is the active one again, as the dialog found
    // it: its focused button answers the keyboard and shows its ring.
    if (base) base->window()->activateWindow();
    if (learnMoreGotClicked) *learnMoreGotClicked = launcher.learnMoreGotLaunched;
    return result;
}
