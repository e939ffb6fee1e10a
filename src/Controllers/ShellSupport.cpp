#include "Controllers/ShellSupport.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <chrono>
#include <cstdlib>
#include <mutex>

#include "OstrelUI/Controls/OstrelUIGuard.h"
#include "OstrelUI/Controls/OstrelUITintedButton.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Dispatch/Timer.h"
#include "Platform/System/Bundle.h"

namespace {

std::mutex& supportMutex() {
    static std::mutex mutex;
    return mutex;
}
UrlOpener::Opener& openerSlot() {
    static UrlOpener::Opener opener;
    return opener;
}
/// Presses a screen's default button on Return that no control of the
/// screen took (a check box, a text): what a dialog does for its default
/// button, done for a screen of the main window. A child of the button.
class ReturnPressesDefault : public QObject {
  public:
    ReturnPressesDefault(QPushButton* button, QWidget* screen)
        : QObject(button), button_(button), screen_(screen) {
        setObjectName(QStringLiteral("_pelReturnPressesDefault"));
        screen->installEventFilter(this);
    }
    ~ReturnPressesDefault() override {
        if (screen_) screen_->removeEventFilter(this);
    }

  protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        if (object != screen_ || event->type() != QEvent::KeyPress) return false;
        auto* key = static_cast<QKeyEvent*>(event);
        const bool returnKey = (key->key() == Qt::Key_Return && !key->modifiers()) ||
                               (key->key() == Qt::Key_Enter &&
                                (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier);
        if (!returnKey || !button_ || !button_->isVisible() || !button_->isEnabled() ||
            !button_->isDefault())
            return false;
        key->accept();
        ostrelui::guarded([button = button_] { button->click(); })();
        return true;
    }

  private:
    QPointer<QPushButton> button_;
    QPointer<QWidget> screen_;
};

std::optional<double>& heightOverride() {
    static std::optional<double> height;
    return height;
}
std::optional<QString>& folderOverride() {
    static std::optional<QString> folder;
    return folder;
}
int& pictureSequence() {
    static int sequence = 0;
    return sequence;
}

// Saves each dialog of the application once it has shown and laid itself out.
class DialogWatcher : public QObject {
  public:
    explicit DialogWatcher(std::function<std::optional<int>()> status)
        : QObject(qApp), status_(std::move(status)) {}
    void setStatus(std::function<std::optional<int>()> status) { status_ = std::move(status); }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Show) return false;
        auto* dialog = qobject_cast<QDialog*>(watched);
        if (!dialog || !dialog->isWindow()) return false;
        QPointer<QDialog> target(dialog);
        // Two turns later: the dialog has its size, and code that saves its
        // own picture of it has done so.
        QMetaObject::invokeMethod(
            this,
            [this, target] {
                QMetaObject::invokeMethod(
                    this, [this, target] { captureOnceActive(target, kActivationLooks); },
                    Qt::QueuedConnection);
            },
            Qt::QueuedConnection);
        return false;
    }

  private:
    // A dialog draws its focused button's ring once it is the active window:
    // the picture waits for that, a little while at most.
    static constexpr int kActivationLooks = 20;
    static constexpr int kActivationLookMs = 25;
    void captureOnceActive(QPointer<QDialog> target, int looksLeft) {
        if (!target || !target->isVisible() ||
            target->property(ReviewPictures::kTakenProperty).toBool())
            return;
        if (!target->isActiveWindow() && looksLeft > 0) {
            QTimer::singleShot(kActivationLookMs, this, [this, target, looksLeft] {
                captureOnceActive(target, looksLeft - 1);
            });
            return;
        }
        QString name = target->objectName();
        if (name.isEmpty()) name = QString::fromLatin1(target->metaObject()->className());
        ReviewPictures::capture(target, status_ ? status_() : std::nullopt, name);
    }

    std::function<std::optional<int>()> status_;
};

}  // namespace

namespace shell {

QString sharedText(const std::string& key) {
    return QString::fromStdString(
        platform::Bundle::mainBundle()->localizedString(key, "", "SharedInstaller"));
}

QString brandWord() {
    platform::Value brand = platform::Bundle::mainBundle()->objectForInfoDictionaryKey("PEL_BRAND");
    std::string word = brand.asString() ? *brand.asString() : std::string("Ostrel");
    return sharedText(word);
}

void onMainWhileAlive(std::weak_ptr<bool> alive, std::function<void()> block) {
    platform::MainQueue::shared()->async([alive = std::move(alive), block = std::move(block)] {
        if (auto a = alive.lock(); a && *a) ostrelui::guarded(block)();
    });
}

void afterSeconds(double seconds, const std::shared_ptr<platform::Clock>& clock,
                  std::weak_ptr<bool> alive, std::function<void()> block) {
    platform::dispatchAfter(
        platform::MainQueue::shared(),
        std::chrono::duration_cast<platform::Duration>(std::chrono::duration<double>(seconds)),
        [alive = std::move(alive), block = std::move(block)] {
            if (auto a = alive.lock(); a && *a) ostrelui::guarded(block)();
        },
        clock);
}

void styleButton(ostrelui::OstrelUITintedButton* button, int width) {
    button->setButtonTint(9);
    button->setButtonShape(4);
    button->setFixedSize(width, 40);
    button->setFocusPolicy(Qt::StrongFocus);
}

QLabel* makeLabel(QWidget* parent, const char* name, double points, bool bold) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    QFont font = label->font();
    font.setPointSizeF(points);
    font.setBold(bold);
    label->setFont(font);
    return label;
}

void markDefaultButton(QPushButton* button) {
    if (!button) return;
    button->setProperty(kDefaultButtonProperty, true);
    button->setAutoDefault(true);
}

void makeDefaultButton(QPushButton* button) {
    if (!button) return;
    button->setProperty(kDefaultButtonProperty, true);
    // Outside a dialog Qt takes the default away from an auto-default button
    // as soon as the focus leaves it; a plain default button stays one, and
    // answers Return when it has the focus all the same.
    button->setAutoDefault(false);
    button->setDefault(true);
    QWidget* screen = button->parentWidget();
    if (screen && !button->findChild<QObject*>(QStringLiteral("_pelReturnPressesDefault"),
                                               Qt::FindDirectChildrenOnly))
        new ReturnPressesDefault(button, screen);
}

}  // namespace shell

bool UrlOpener::open(const std::string& url) {
    Opener opener;
    {
        std::lock_guard<std::mutex> lock(supportMutex());
        opener = openerSlot();
    }
    if (opener) return opener(url);
    return QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
}

void UrlOpener::setOpener(Opener opener) {
    std::lock_guard<std::mutex> lock(supportMutex());
    openerSlot() = std::move(opener);
}

double ScreenInfo::mainScreenHeight() {
    {
        std::lock_guard<std::mutex> lock(supportMutex());
        if (heightOverride()) return *heightOverride();
    }
    if (const char* text = std::getenv("PEL_UI_SCREEN_HEIGHT")) {
        char* end = nullptr;
        double height = std::strtod(text, &end);
        if (end != text && height > 0) return height;
    }
    if (auto* screen = QGuiApplication::primaryScreen()) return screen->geometry().height();
    return 800;
}

void ScreenInfo::setMainScreenHeight(std::optional<double> height) {
    std::lock_guard<std::mutex> lock(supportMutex());
    heightOverride() = height;
}

QString ReviewPictures::folder() {
    {
        std::lock_guard<std::mutex> lock(supportMutex());
        if (folderOverride()) return *folderOverride();
    }
    const char* dir = std::getenv("PEL_UI_GRAB_DIR");
    return dir ? QString::fromLocal8Bit(dir) : QString();
}

void ReviewPictures::setFolder(std::optional<QString> folder) {
    std::lock_guard<std::mutex> lock(supportMutex());
    folderOverride() = std::move(folder);
}

void ReviewPictures::capture(QWidget* window, const std::optional<int>& status,
                             const QString& name) {
    QString dir = folder();
    if (dir.isEmpty() || !window) return;
    QDir().mkpath(dir);
    int sequence = ++pictureSequence();
    QString file = QStringLiteral("%1-%2-%3.png")
                       .arg(sequence, 3, 10, QLatin1Char('0'))
                       .arg(status ? QString::number(*status) : QStringLiteral("none"))
                       .arg(name.isEmpty() ? QStringLiteral("window") : name);
    window->setProperty(ReviewPictures::kTakenProperty, true);
    // Layouts still settling (a text's height follows its width, which the
    // layout gives it) finish first, so the picture shows what the user sees.
    for (int pass = 0; pass < 4; ++pass)
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    window->grab().save(QDir(dir).filePath(file));
}

void ReviewPictures::watchDialogs(std::function<std::optional<int>()> status) {
    if (!qApp || folder().isEmpty()) return;
    static QPointer<DialogWatcher> watcher;
    if (watcher) {
        watcher->setStatus(std::move(status));
        return;
    }
    watcher = new DialogWatcher(std::move(status));
    qApp->installEventFilter(watcher);
}
