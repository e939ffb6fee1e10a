#include "Controllers/ClosingScreens.h"

#include <QVBoxLayout>

#include "Controllers/MainWindowController.h"
#include "Controllers/ShellSupport.h"
#include "Foundation/PelGenericUtils.h"
#include "Foundation/PelLogging.h"
#include "OstrelUI/Controls/OstrelUIGuard.h"
#include "OstrelUI/Controls/OstrelUITintedButton.h"

namespace {

QLabel* makeLabel(QWidget* parent, const char* name, int pointSize, bool wrap) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    QFont font = label->font();
    font.setPointSize(pointSize);
    label->setFont(font);
    label->setWordWrap(wrap);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    return label;
}

ostrelui::OstrelUITintedButton* makeButton(QWidget* parent, const char* name,
                                           const std::string& title) {
    auto* button = new ostrelui::OstrelUITintedButton(shell::sharedText(title), parent);
    button->setObjectName(QString::fromLatin1(name));
    shell::styleButton(button, 200);
    // The screen's one way forward answers Return.
    shell::makeDefaultButton(button);
    return button;
}

QVBoxLayout* screenLayout(QWidget* screen) {
    auto* layout = new QVBoxLayout(screen);
    layout->setContentsMargins(60, 120, 60, 80);
    layout->setSpacing(24);
    return layout;
}

void endInstaller(int result, const char* request) {
    if (result != 0)
        PelLogging::logErrorMessageWithFormat("%s: the %s request failed with %d. Quitting anyway.",
                                              __func__, request, result);
    MainWindowController::sharedMainMenuController()->quitInstaller();
}

}  // namespace

RebootViewController::RebootViewController(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("rebootView"));
    auto* layout = screenLayout(this);
    restartTitle = makeLabel(this, "restartTitle", 24, false);
    restartTitle->setText(shell::sharedText("Installation Complete"));
    restartText = makeLabel(this, "restartText", 14, true);
    restartButton = makeButton(this, "restartButton", "Restart Now");
    layout->addWidget(restartTitle);
    layout->addWidget(restartText);
    layout->addStretch(1);
    layout->addWidget(restartButton, 0, Qt::AlignHCenter);
    connect(restartButton, &QPushButton::clicked, this, ostrelui::guarded([this] { rebootNow(); }));
}

void RebootViewController::rebootNow() { restart(); }

void RebootViewController::restart() {
    endInstaller(PelGenericUtils::sharedGenUtils().performRestart(), "restart");
}

LogoutViewController::LogoutViewController(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("logoutView"));
    auto* layout = screenLayout(this);
    logoutTitle = makeLabel(this, "logoutTitle", 24, false);
    logoutTitle->setText(shell::sharedText("Installation Complete"));
    logoutText = makeLabel(this, "logoutText", 14, true);
    logoutButton = makeButton(this, "logoutButton", "Log Out");
    layout->addWidget(logoutTitle);
    layout->addWidget(logoutText);
    layout->addStretch(1);
    layout->addWidget(logoutButton, 0, Qt::AlignHCenter);
    connect(logoutButton, &QPushButton::clicked, this, ostrelui::guarded([this] { logoutNow(); }));
}

void LogoutViewController::logoutNow() {
    endInstaller(PelGenericUtils::sharedGenUtils().performLogout(), "log-out");
}

ClosingViewController::ClosingViewController(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("closingView"));
    auto* layout = screenLayout(this);
    closingText = makeLabel(this, "closingText", 16, true);
    quitButton = makeButton(this, "closingQuitButton", "Close");
    layout->addWidget(closingText);
    layout->addStretch(1);
    layout->addWidget(quitButton, 0, Qt::AlignHCenter);
    connect(quitButton, &QPushButton::clicked, this,
            ostrelui::guarded([this] { quitInstaller(); }));
}

void ClosingViewController::showClosingScreen(const QString& text) {
    closingText->setText(text);
    MainWindowController::sharedMainMenuController()->switchCenterBoxView(this, true, nullptr);
}

void ClosingViewController::quitInstaller() {
    MainWindowController::sharedMainMenuController()->quitInstaller();
}
