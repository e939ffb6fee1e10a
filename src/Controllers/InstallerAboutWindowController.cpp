#include "Controllers/InstallerAboutWindowController.h"

#include <QApplication>
#include <QStyle>
#include <QVBoxLayout>

#include "Controllers/MainWindowController.h"
#include "Controllers/ShellSupport.h"
#include "OstrelUI/Controls/OstrelUIAnimation.h"
#include "Platform/System/Bundle.h"

namespace {

QString text(const platform::Dictionary& dictionary, std::string_view key) {
    auto found = dictionary.find(key);
    if (found == dictionary.end()) return {};
    const platform::Value& value = found->second;
    if (const std::string* s = value.asString()) return QString::fromStdString(*s);
    if (value.isNumber()) return QString::fromStdString(value.description());
    return {};
}

bool has(const platform::Dictionary& dictionary, std::string_view key) {
    return dictionary.find(key) != dictionary.end();
}

}  // namespace

void AboutWindowForm::setupUi(QWidget* window) {
    window->setObjectName(QStringLiteral("AboutWindow"));
    window->setFixedSize(320, 260);
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(10);
    iconImageView = new QLabel(window);
    iconImageView->setObjectName(QStringLiteral("iconImageView"));
    iconImageView->setFixedSize(64, 64);
    iconImageView->setScaledContents(true);
    auto field = [window](const char* name, int size, bool bold) {
        auto* label = new QLabel(window);
        label->setObjectName(QString::fromLatin1(name));
        QFont font = label->font();
        font.setPointSize(size);
        font.setBold(bold);
        label->setFont(font);
        label->setAlignment(Qt::AlignHCenter);
        label->setWordWrap(true);
        return label;
    };
    appNameField = field("appNameField", 16, true);
    appVersionField = field("appVersionField", 12, false);
    appCopyrightField = field("appCopyrightField", 10, false);
    layout->addWidget(iconImageView, 0, Qt::AlignHCenter);
    layout->addWidget(appNameField);
    layout->addWidget(appVersionField);
    layout->addStretch(1);
    layout->addWidget(appCopyrightField);
}

InstallerAboutWindowController::InstallerAboutWindowController(QWidget* parent) : QDialog(parent) {
    form_.setupUi(this);
    auto bundle = platform::Bundle::mainBundle();
    infoDictionary_ = bundle->infoDictionary();
    infoLocalizedDictionary_ = bundle->localizedInfoDictionary();
    windowDidLoad();
}

void InstallerAboutWindowController::windowDidLoad() {
    if (has(infoDictionary_, "PEL_PRODUCT_LOGO"))
        form_.iconImageView->setPixmap(
            QApplication::style()->standardIcon(QStyle::SP_ComputerIcon).pixmap(64, 64));
    if (has(infoLocalizedDictionary_, "CFBundleName")) {
        form_.appNameField->setText(text(infoLocalizedDictionary_, "CFBundleName"));
        setWindowTitle(form_.appNameField->text());
    }
    const QString build = text(infoDictionary_, "BuildVersion");
    if (!build.isEmpty())
        form_.appVersionField->setText(
            QStringLiteral("Version %1 (%2)")
                .arg(text(infoDictionary_, "CFBundleShortVersionString"), build));
    else
        form_.appVersionField->setText(QStringLiteral("%1 %2").arg(
            shell::sharedText("Version"), text(infoDictionary_, "CFBundleVersion")));
    if (has(infoLocalizedDictionary_, "NSHumanReadableCopyright"))
        form_.appCopyrightField->setText(
            text(infoLocalizedDictionary_, "NSHumanReadableCopyright"));
}

int InstallerAboutWindowController::runModal() {
    setWindowModality(Qt::ApplicationModal);
    QPointer<InstallerAboutWindowController> self(this);
    ostrelui::runOnNextTurn([self] {
        if (self && self->isVisible())
            ReviewPictures::capture(
                self,
                MainWindowController::hasSharedInstance()
                    ? MainWindowController::sharedMainMenuController()->installStatus()
                    : std::nullopt,
                QStringLiteral("AboutWindow"));
    });
    return exec();
}
