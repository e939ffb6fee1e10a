#include "Controllers/MainWindowForm.h"

#include <QHBoxLayout>
#include <QVBoxLayout>
#include <algorithm>

#include "Controllers/ClosingScreens.h"
#include "Controllers/FSDViewController.h"
#include "Controllers/InstallProgressViewController.h"
#include "Controllers/ShellSupport.h"
#include "OstrelUI/Controls/OstrelUISpinners.h"
#include "OstrelUI/Controls/OstrelUITintedButton.h"
#include "OstrelUI/Controls/XTextFieldWithLinks.h"

namespace {

template <class W>
W* named(W* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QLabel* label(QWidget* parent, const char* name, int pointSize = 14, bool bold = false) {
    auto* l = named(new QLabel(parent), name);
    QFont font = l->font();
    font.setPointSize(pointSize);
    font.setBold(bold);
    l->setFont(font);
    return l;
}

QLabel* icon(QWidget* parent, const char* name) {
    auto* l = named(new QLabel(parent), name);
    l->setFixedSize(64, 64);
    l->setScaledContents(true);
    return l;
}

ostrelui::XTextFieldWithLinks* message(QWidget* parent, const char* name) {
    auto* field = named(new ostrelui::XTextFieldWithLinks(parent), name);
    QFont font = field->font();
    font.setPointSize(14);
    field->setFont(font);
    field->setAlignment(Qt::AlignHCenter);
    return field;
}

ostrelui::OstrelUITintedButton* button(QWidget* parent, const char* name, const char* title) {
    auto* b = named(new ostrelui::OstrelUITintedButton(shell::sharedText(title), parent), name);
    shell::styleButton(b, 180);
    return b;
}

// A centre screen: an icon, a title, a message and a row of buttons.
QVBoxLayout* screen(QWidget* page) {
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(60, 110, 60, 80);
    layout->setSpacing(20);
    return layout;
}

// A row of buttons centred in its screen; the caller adds the buttons, then
// closes the row with endRow().
QHBoxLayout* buttonRow(QVBoxLayout* layout) {
    layout->addStretch(1);
    auto* row = new QHBoxLayout;
    row->setSpacing(20);
    row->addStretch(1);
    layout->addLayout(row);
    return row;
}

// Ends a button row: the same space after the buttons as before them, and one
// width for all of them (the widest title's).
void endRow(QHBoxLayout* row) {
    int width = 0;
    for (int i = 0; i < row->count(); ++i)
        if (QWidget* w = row->itemAt(i)->widget()) width = std::max(width, w->minimumWidth());
    for (int i = 0; i < row->count(); ++i)
        if (QWidget* w = row->itemAt(i)->widget()) w->setFixedWidth(width);
    row->addStretch(1);
}

// A screen's title: centred, and wrapped onto a second line rather than cut.
void makeTitle(QLabel* title) {
    title->setWordWrap(true);
    title->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
}

}  // namespace

void MainWindowForm::setupUi(QWidget* content) {
    contentView = content;
    content->setObjectName(QStringLiteral("contentView"));
    content->setAutoFillBackground(true);
    QPalette palette = content->palette();
    palette.setColor(QPalette::Window, Qt::white);
    content->setPalette(palette);

    homeBox = named(new QStackedWidget(content), "homeBox");
    leftBox = named(new QStackedWidget(content), "leftBox");
    centerBox = named(new QStackedWidget(content), "centerBox");
    progressBarAnimationBox = named(new QStackedWidget(content), "progressBarAnimationBox");
    for (QStackedWidget* box : {homeBox, leftBox, centerBox}) box->setAutoFillBackground(true);
    leftBox->hide();
    centerBox->hide();
    progressBarAnimationBox->hide();

    leftBackgroundImage = named(new QLabel(leftBox), "leftBackgroundImage");
    leftBackgroundImage->setScaledContents(true);
    leftBackgroundImage->hide();

    // The welcome screen (the plug-in's centre view takes its place).
    welcomeView = named(new QWidget, "welcomeView");
    homeBox->addWidget(welcomeView);
    // The welcome's picture fills the welcome, behind its texts: its first
    // child, at the bottom.
    prepareToInstallImageView = named(new QLabel(welcomeView), "prepareToInstallImageView");
    prepareToInstallImageView->setScaledContents(true);
    prepareToInstallImageView->lower();
    prepareToInstallImageView->hide();
    auto* welcome = new QVBoxLayout(welcomeView);
    welcome->setContentsMargins(80, 160, 80, 80);
    welcome->setSpacing(12);
    welcomeTo = label(welcomeView, "welcomeTo", 18);
    welcomeTo->setText(shell::sharedText("Welcome to"));
    welcomeTo->hide();
    secondaryTitlePrepareToinstall = label(welcomeView, "secondaryTitlePrepareToinstall", 28, true);
    secondaryTitlePrepareToinstall->hide();
    prepareToinstall = label(welcomeView, "prepareToinstall", 18);
    prepareToinstall->setText(shell::sharedText("Preparing to install…"));
    prepareToInstallStatusImage =
        named(new ostrelui::OstrelUISpinningImageView(welcomeView), "prepareToInstallStatusImage");
    prepareToInstallStatusImage->setFixedSize(32, 32);
    welcome->addWidget(welcomeTo, 0, Qt::AlignHCenter);
    welcome->addWidget(secondaryTitlePrepareToinstall, 0, Qt::AlignHCenter);
    welcome->addWidget(prepareToinstall, 0, Qt::AlignHCenter);
    welcome->addWidget(prepareToInstallStatusImage, 0, Qt::AlignHCenter);
    welcome->addStretch(1);

    // Title row and logos, above the boxes.
    productLogoView = named(new QLabel(content), "productLogoView");
    productLogoView->setGeometry(30, 24, 112, 40);
    productLogoView->setScaledContents(true);
    qrbLogoView = named(new QLabel(content), "qrbLogoView");
    qrbLogoView->setScaledContents(true);
    productTitleText = label(content, "productTitleText", 22, true);
    productTitleText->hide();
    productSecondaryTitleText = label(content, "productSecondaryTitleText", 14);
    productSecondaryTitleText->hide();
    productFooterLogo = named(new QLabel(content), "productFooterLogo");
    productFooterLogo->setScaledContents(true);
    productFooterLogo->resize(120, 30);
    qrbLogoView->resize(84, 30);

    // The set-up overlay's content.
    progressView = named(new QWidget(content), "progressView");
    progressView->setFixedSize(400, 140);
    progressView->hide();
    {
        auto* layout = new QVBoxLayout(progressView);
        circularProgIndicator =
            named(new ostrelui::OstrelUISpinnerView(QRect(0, 0, 48, 48), progressView),
                  "circularProgIndicator");
        circularProgIndicator->setFixedSize(48, 48);
        auto* text = label(progressView, "progressViewText", 14);
        text->setText(shell::sharedText("Getting the installation files…"));
        layout->addWidget(circularProgIndicator, 0, Qt::AlignHCenter);
        layout->addWidget(text, 0, Qt::AlignHCenter);
    }

    // Error screen.
    errorView = named(new QWidget, "errorView");
    {
        auto* layout = screen(errorView);
        errorImageViewErrorScreen = icon(errorView, "errorImageViewErrorScreen");
        errorTitle = label(errorView, "errorTitle", 24, true);
        errorText = message(errorView, "errorText");
        closeButtonError = button(errorView, "closeButtonError", "Close");
        layout->addWidget(errorImageViewErrorScreen, 0, Qt::AlignHCenter);
        layout->addWidget(errorTitle);
        layout->addWidget(errorText);
        auto* row = buttonRow(layout);
        row->addWidget(closeButtonError);
        endRow(row);
    }
    // Warning screen.
    warningView = named(new QWidget, "warningView");
    {
        auto* layout = screen(warningView);
        errorImageView = icon(warningView, "errorImageView");
        warningTitle = label(warningView, "warningTitle", 24, true);
        warningText = message(warningView, "warningText");
        closeButton = button(warningView, "closeButton", "Close");
        tryAgainButton = button(warningView, "tryAgainButton", "Try Again");
        layout->addWidget(errorImageView, 0, Qt::AlignHCenter);
        layout->addWidget(warningTitle);
        layout->addWidget(warningText);
        auto* row = buttonRow(layout);
        row->addWidget(closeButton);
        row->addWidget(tryAgainButton);
        endRow(row);
    }
    // OK screen.
    okView = named(new QWidget, "okView");
    {
        auto* layout = screen(okView);
        errorImageViewOkScreen = icon(okView, "errorImageViewOkScreen");
        okTitleText = label(okView, "okTitleText", 24, true);
        okText = label(okView, "okText", 14);
        okText->setWordWrap(true);
        okText->setAlignment(Qt::AlignHCenter);
        okQuitButton = button(okView, "okQuitButton", "Quit");
        okTryAgainButton = button(okView, "okTryAgainButton", "Try Again");
        layout->addWidget(errorImageViewOkScreen, 0, Qt::AlignHCenter);
        layout->addWidget(okTitleText);
        layout->addWidget(okText);
        auto* row = buttonRow(layout);
        row->addWidget(okQuitButton);
        row->addWidget(okTryAgainButton);
        endRow(row);
    }
    // Competitive-product screen.
    competitiveErrorView = named(new QWidget, "competitiveErrorView");
    {
        auto* layout = screen(competitiveErrorView);
        competitiveErrorImageView = icon(competitiveErrorView, "competitiveErrorImageView");
        competitiveErrorTitle = label(competitiveErrorView, "competitiveErrorTitle", 24, true);
        competitiveErrorText = message(competitiveErrorView, "competitiveErrorText");
        competitiveCloseButton = button(competitiveErrorView, "competitiveCloseButton", "Close");
        layout->addWidget(competitiveErrorImageView, 0, Qt::AlignHCenter);
        layout->addWidget(competitiveErrorTitle);
        layout->addWidget(competitiveErrorText);
        auto* row = buttonRow(layout);
        row->addWidget(competitiveCloseButton);
        endRow(row);
    }
    // Closing overlay.
    closingErrorView = named(new QWidget(content), "closingErrorView");
    closingErrorView->hide();
    {
        auto* layout = screen(closingErrorView);
        errorImageViewClosingScreen = icon(closingErrorView, "errorImageViewClosingScreen");
        closingScreenTitleText = label(closingErrorView, "closingScreenTitleText", 24, true);
        closingScreenMessageText = label(closingErrorView, "closingScreenMessageText", 14);
        closingScreenMessageText->setWordWrap(true);
        closingScreenMessageText->setAlignment(Qt::AlignHCenter);
        closingScreenQuitButton = button(closingErrorView, "closingScreenQuitButton", "Quit");
        closingScreenButton =
            button(closingErrorView, "closingScreenButton", "Continue Installing");
        closingScreenButton->setFixedWidth(240);
        layout->addWidget(errorImageViewClosingScreen, 0, Qt::AlignHCenter);
        layout->addWidget(closingScreenTitleText);
        layout->addWidget(closingScreenMessageText);
        auto* row = buttonRow(layout);
        row->addWidget(closingScreenQuitButton);
        row->addWidget(closingScreenButton);
        endRow(row);
    }

    for (QLabel* title :
         {errorTitle, warningTitle, okTitleText, competitiveErrorTitle, closingScreenTitleText})
        makeTitle(title);
    // Return presses the screen's way forward, which takes the focus when its
    // screen shows. The OK screen's Try Again takes the focus and answers
    // Return too, without being the button's own default.
    for (ostrelui::OstrelUITintedButton* forward :
         {closeButtonError, tryAgainButton, competitiveCloseButton, closingScreenButton})
        shell::makeDefaultButton(forward);
    shell::markDefaultButton(okTryAgainButton);

    fsdViewController = new FSDViewController;
    installProgressViewController = new InstallProgressViewController;
    rebootViewController = new RebootViewController;
    logoutViewController = new LogoutViewController;
    closingViewController = new ClosingViewController;
    // Every centre screen lives in the centre box's stack, so that none is
    // ever a window of its own.
    for (QWidget* page :
         {errorView, warningView, okView, competitiveErrorView,
          static_cast<QWidget*>(fsdViewController),
          static_cast<QWidget*>(installProgressViewController),
          static_cast<QWidget*>(rebootViewController), static_cast<QWidget*>(logoutViewController),
          static_cast<QWidget*>(closingViewController)})
        centerBox->addWidget(page);

    layoutForHeight(kHeight);
}

void MainWindowForm::layoutForHeight(int height) {
    contentView->resize(kWidth, height);
    homeBox->setGeometry(0, 0, kWidth, height);
    leftBox->setGeometry(0, 0, kLeftWidth, height);
    leftBackgroundImage->setGeometry(0, 0, kLeftWidth, height);
    prepareToInstallImageView->setGeometry(0, 0, kWidth, height);
    centerBox->setGeometry(kLeftWidth, 0, kWidth - kLeftWidth, height);
    progressBarAnimationBox->setGeometry(kLeftWidth, height - 220, kWidth - kLeftWidth, 200);
    productTitleText->setGeometry(30, 80, kLeftWidth - 60, 36);
    productSecondaryTitleText->setGeometry(30, 118, kLeftWidth - 60, 24);
    // The logos keep the sizes they were given: the product's bottom left,
    // the partner's bottom right of the page (or of the centre panel).
    productFooterLogo->move(30, height - 24 - productFooterLogo->height());
    qrbLogoView->move(qrbLogoView->x(), height - 24 - qrbLogoView->height());
}

void MainWindowForm::setupMenu(QMenuBar* bar) {
    menuBar = bar;
    applicationMenu = bar->addMenu(shell::sharedText("Installer"));
    applicationMenu->setObjectName(QStringLiteral("applicationMenu"));
    aboutAction = applicationMenu->addAction(shell::sharedText("About…"));
    aboutAction->setObjectName(QStringLiteral("aboutAction"));
    quitAction = applicationMenu->addAction(shell::sharedText("Quit"));
    quitAction->setObjectName(QStringLiteral("quitAction"));
    quitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quitAction->setShortcutContext(Qt::ApplicationShortcut);
}
