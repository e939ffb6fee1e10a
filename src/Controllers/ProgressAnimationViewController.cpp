#include "Controllers/ProgressAnimationViewController.h"

#include <QFileInfo>
#include <QPointer>
#include <QVBoxLayout>
#include <chrono>

#include "Controllers/InstallProgressViewController.h"
#include "Controllers/MainWindowController.h"
#include "Controllers/MainWindowForm.h"
#include "Controllers/ShellSupport.h"
#include "Foundation/PelLogging.h"
#include "OstrelUI/Controls/OstrelUIAnimation.h"
#include "OstrelUI/Controls/OstrelUIAppearance.h"
#include "OstrelUI/Controls/OstrelUIContainers.h"
#include "OstrelUI/Controls/OstrelUIGuard.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Dispatch/Timer.h"
#include "Platform/System/Bundle.h"

namespace {

using ostrelui::Transition;
using ostrelui::TransitionType;

constexpr double kPushSeconds = 0.5;

QString text(const char* key) {
    return QString::fromStdString(platform::Bundle::mainBundle()->localizedString(key, "", ""));
}

MainWindowController* mainWindow() {
    return MainWindowController::hasSharedInstance()
               ? MainWindowController::sharedMainMenuController()
               : nullptr;
}

/// Scale s applied to the translation (x, y): p -> s * p + (x, y).
QTransform scaledTranslation(double s, double x, double y) {
    QTransform t;
    t.translate(x, y);
    t.scale(s, s);
    return t;
}

using shell::makeLabel;

void showItem(QWidget* item, const std::function<void()>& change = {}) {
    Transition::run(item, TransitionType::PushFromTop, kPushSeconds, [item, change] {
        if (change) change();
        item->show();
    });
}

}  // namespace

ProgressAnimationViewController::ProgressAnimationViewController(
    std::shared_ptr<platform::Clock> clock)
    : clock_(std::move(clock)) {
    setObjectName(QStringLiteral("animationViewController"));
    buildPanels();
}

ProgressAnimationViewController::~ProgressAnimationViewController() {
    // The panels not taken into a box are still ours.
    for (const QPointer<QWidget>& page : pages_)
        if (page && !page->parentWidget()) delete page.data();
}

void ProgressAnimationViewController::buildPanels() {
    progressAnimationView = new QWidget;
    progressAnimationView->setObjectName(QStringLiteral("progressAnimationView"));
    progressAnimationView->resize(632, 200);
    auto* layout = new QVBoxLayout(progressAnimationView);
    didYouKnowBigText = makeLabel(progressAnimationView, "didYouKnowBigText", 28, true);
    didYouKnowBigText->setText(text("Did you know?"));
    phisingAnimationImage = new QLabel(progressAnimationView);
    phisingAnimationImage->setObjectName(QStringLiteral("phisingAnimationImage"));
    phisingAnimationImage->setAlignment(Qt::AlignCenter);
    phisingAnimationImage->setPixmap(ostrelui::imageNamed(QStringLiteral("img-phishing")));
    phisingScamText = makeLabel(progressAnimationView, "phisingScamText", 18, true);
    phisingScamText->setText(text("Phishing scams"));
    didYouInfoTextField = makeLabel(progressAnimationView, "didYouInfoTextField", 14);
    for (QWidget* w :
         {static_cast<QWidget*>(didYouKnowBigText), static_cast<QWidget*>(phisingAnimationImage),
          static_cast<QWidget*>(phisingScamText), static_cast<QWidget*>(didYouInfoTextField)}) {
        layout->addWidget(w);
        w->hide();
    }
    progressAnimationScrollView = new ostrelui::OrbEmbeddedScrollView;
    progressAnimationScrollView->setObjectName(QStringLiteral("progressAnimationScrollView"));
    progressAnimationScrollView->setWidgetResizable(true);
    progressAnimationScrollView->setFrameShape(QFrame::NoFrame);
    progressAnimationScrollView->setWidget(progressAnimationView);

    progressInstallView = new QWidget;
    progressInstallView->setObjectName(QStringLiteral("progressInstallView"));
    auto* install = new QVBoxLayout(progressInstallView);
    productNameTextField = makeLabel(progressInstallView, "productNameTextField", 24, true);
    install->addWidget(productNameTextField);
    progressInstallScrollView = new ostrelui::OrbEmbeddedScrollView;
    progressInstallScrollView->setObjectName(QStringLiteral("progressInstallScrollView"));
    progressInstallScrollView->setWidgetResizable(true);
    progressInstallScrollView->setFrameShape(QFrame::NoFrame);
    progressInstallScrollView->setWidget(progressInstallView);

    progressCompletedView = new QWidget;
    progressCompletedView->setObjectName(QStringLiteral("progressCompletedView"));
    auto* completed = new QVBoxLayout(progressCompletedView);
    productImageInProgress = new QLabel(progressCompletedView);
    productImageInProgress->setObjectName(QStringLiteral("productImageInProgress"));
    productImageInProgress->setAlignment(Qt::AlignCenter);
    continuingSetupTextField = makeLabel(progressCompletedView, "continuingSetupTextField", 16);
    completed->addWidget(productImageInProgress);
    completed->addWidget(continuingSetupTextField);
    pages_ = {progressAnimationScrollView, progressInstallScrollView, progressCompletedView};
}

QStackedWidget* ProgressAnimationViewController::animationBox() const {
    if (box_) return box_;
    auto* main = mainWindow();
    return main && main->isWindowLoaded() ? main->form().progressBarAnimationBox : nullptr;
}

QWidget* ProgressAnimationViewController::pageFor(QWidget* view) const {
    if (view == progressAnimationView) return progressAnimationScrollView;
    if (view == progressInstallView) return progressInstallScrollView;
    return view;
}

void ProgressAnimationViewController::after(double seconds, std::function<void()> block) {
    QPointer<ProgressAnimationViewController> self(this);
    platform::dispatchAfter(
        platform::MainQueue::shared(),
        std::chrono::duration_cast<platform::Duration>(std::chrono::duration<double>(seconds)),
        [self, block = std::move(block)] {
            if (self) ostrelui::guarded(block)();
        },
        clock_);
}

// Run conditions ------------------------------------------------------------

bool ProgressAnimationViewController::shouldShowAnimation() const {
    if (isUpdatingPreference_) return false;
    auto* main = mainWindow();
    if (!main) return false;
    auto status = main->installStatus();
    return status && (*status == kInstallStatusDownloading || *status == kInstallStatusInstalling);
}

bool ProgressAnimationViewController::shouldSkipAnimationWithSeq(std::uint64_t seq) const {
    return !shouldShowAnimation() || seq == skippedAnimationSeq_;
}

void ProgressAnimationViewController::skipPhishingAnimation() {
    skippedAnimationSeq_ = animationSeqNm_;
    ++animationSeqNm_;
}

bool ProgressAnimationViewController::stopIfDone() {
    if (shouldShowAnimation()) return false;
    PelLogging::logDebugMessage("Installation is completed. So stopping the animation.");
    return true;
}

// Entry points --------------------------------------------------------------

void ProgressAnimationViewController::showProgressViewAnimation() {
    if (stopIfDone()) return;
    QPointer<ProgressAnimationViewController> self(this);
    platform::MainQueue::shared()->async([self] {
        if (self) ostrelui::guarded([&] { self->showDidYouKnowAnimation(); })();
    });
}

void ProgressAnimationViewController::showDidYouKnowScreen() {
    switchProgressView(progressAnimationView, false);
}

void ProgressAnimationViewController::showProductNameScreen() {
    auto* main = mainWindow();
    productNameTextField->setText(
        main ? QString::fromStdString(platform::Bundle::mainBundle()->localizedString(
                   main->productName().toStdString(), "", ""))
             : QString());
    switchProgressView(progressInstallView, false);
}

void ProgressAnimationViewController::checkAndSkipPhishingScreen(std::function<void()> block) {
    if (!isPhishingAnimationRunning_) {
        if (block) block();
        return;
    }
    skipPhishingAnimation();
    // The block runs on every road out of the product step, so that an
    // install waiting for it never hangs.
    auto once = std::make_shared<std::function<void()>>(std::move(block));
    auto run = [once] {
        if (auto b = std::exchange(*once, nullptr)) b();
    };
    QPointer<ProgressAnimationViewController> self(this);
    animateProductDetailScreenAfter(
        0.0,
        [self, run] {
            run();
            if (self) self->showAnimationFromBegining();
        },
        run);
}

void ProgressAnimationViewController::showInstallCompleteScreen() {
    QPointer<ProgressAnimationViewController> self(this);
    platform::MainQueue::shared()->async([self] {
        if (!self) return;
        ostrelui::guarded([&] {
            auto* main = mainWindow();
            if (main) {
                QString logo = QFileInfo(main->productLogo()).completeBaseName();
                if (logo.isEmpty()) logo = main->productLogo();
                self->productImageInProgress->setPixmap(ostrelui::imageNamed(logo));
            }
            self->continuingSetupTextField->setText(
                text("Continuing setup to update your preferences\u2026"));
            if (main && main->isWindowLoaded() && main->installProgressViewController())
                main->installProgressViewController()->progressStatusText->hide();
            self->switchProgressView(self->progressCompletedView, true);
        })();
    });
}

// Steps ---------------------------------------------------------------------

bool ProgressAnimationViewController::showDidYouKnowAnimation() {
    if (stopIfDone()) return false;
    QPointer<ProgressAnimationViewController> self(this);
    animateDidYouKnowTextWith([self] {
        if (self) self->setupPhishingScreen();
    });
    return true;
}

bool ProgressAnimationViewController::setupPhishingScreen() {
    if (stopIfDone()) return false;
    QPointer<ProgressAnimationViewController> self(this);
    animatePhishingScreenSetupWith([self] {
        if (self) self->showPhishingInformation();
    });
    return true;
}

bool ProgressAnimationViewController::showPhishingInformation() {
    if (stopIfDone()) return false;
    QPointer<ProgressAnimationViewController> self(this);
    animatePhishingInfoTextAfter(1.0, [self] {
        if (self) self->showProductDetailScreen(5.0);
    });
    return true;
}

bool ProgressAnimationViewController::showProductDetailScreen(double delay) {
    if (stopIfDone()) return false;
    QPointer<ProgressAnimationViewController> self(this);
    animateProductDetailScreenAfter(delay, [self] {
        if (self) self->showAnimationFromBegining();
    });
    return true;
}

bool ProgressAnimationViewController::showAnimationFromBegining() {
    if (stopIfDone()) return false;
    QPointer<ProgressAnimationViewController> self(this);
    animateHidingFinalScreen(2.0, [self] {
        if (self) self->showDidYouKnowAnimation();
    });
    return true;
}

// Animations ----------------------------------------------------------------

void ProgressAnimationViewController::animateDidYouKnowTextWith(std::function<void()> completion) {
    ++animationSeqNm_;
    QPointer<QLabel> big(didYouKnowBigText);
    after(1.0, [big, completion] {
        if (!big) return;
        big->show();
        const double w = big->width(), h = big->height();
        Transition::animateTransform(
            big, scaledTranslation(1.3, -0.15 * w, -0.15 * h), 0.01, [big, completion, w, h] {
                if (!big) return;
                Transition::animateTransform(big, QTransform(), 1.0, [big, completion, w, h] {
                    if (!big) return;
                    Transition::animateTransform(big, scaledTranslation(0.01, 0.5 * w, 0.5 * h),
                                                 1.0, [big, completion] {
                                                     if (!big) return;
                                                     big->hide();
                                                     Transition::setTransform(big, QTransform());
                                                     completion();
                                                 });
                });
            });
    });
}

void ProgressAnimationViewController::animatePhishingScreenSetupWith(
    std::function<void()> completion) {
    showItem(phisingAnimationImage);
    isPhishingAnimationRunning_ = true;
    const std::uint64_t seq = animationSeqNm_;
    QPointer<ProgressAnimationViewController> self(this);
    after(1.0, [self, seq] {
        if (!self || self->shouldSkipAnimationWithSeq(seq)) return;
        showItem(self->phisingScamText);
    });
    after(2.0, [self, seq, completion] {
        if (!self || self->shouldSkipAnimationWithSeq(seq)) return;
        QLabel* line = self->didYouInfoTextField;
        showItem(line,
                 [line] { line->setText(text("use websites or emails that look legitimate.")); });
        completion();
    });
}

void ProgressAnimationViewController::animatePhishingInfoTextAfter(
    double delay, std::function<void()> completion) {
    const std::uint64_t seq = animationSeqNm_;
    const double d = static_cast<double>(static_cast<long>(delay + 5));
    QPointer<ProgressAnimationViewController> self(this);
    auto setLine = [self](const char* key) {
        QLabel* line = self->didYouInfoTextField;
        line->clear();
        showItem(line, [line, key] { line->setText(text(key)); });
    };
    after(d, [self, seq, setLine] {
        if (!self || self->shouldSkipAnimationWithSeq(seq)) return;
        setLine("prompt you to enter your logins and passwords.");
    });
    after(d + 5, [self, seq, setLine, completion] {
        if (!self || self->shouldSkipAnimationWithSeq(seq)) return;
        setLine("then allow cybercriminals to access your private accounts.");
        completion();
    });
}

void ProgressAnimationViewController::animateProductDetailScreenAfter(
    double delay, std::function<void()> completion, std::function<void()> onStop) {
    const std::uint64_t seq = animationSeqNm_;
    QPointer<ProgressAnimationViewController> self(this);
    after(delay, [self, seq, completion, onStop] {
        if (!self) {
            if (onStop) onStop();
            return;
        }
        // A product step of a cycle that was cut short has been replaced by
        // the skip's own.
        if (seq == self->skippedAnimationSeq_ && self->animationSeqNm_ != seq) {
            if (onStop) onStop();
            return;
        }
        self->isPhishingAnimationRunning_ = false;
        if (!self->shouldShowAnimation()) {
            if (onStop) onStop();
            return;
        }
        auto* main = mainWindow();
        const bool maxHeight = main && main->isWindowAtMaxHeight();
        self->progressAnimationScrollView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        self->progressInstallScrollView->setVerticalScrollBarPolicy(
            maxHeight ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded);
        QWidget* panel = self->progressAnimationView;
        const double w = panel->width(), h = panel->height();
        Transition::animateTransform(
            panel, scaledTranslation(0.2, 0.4 * w, 0.4 * h), 0.5,
            [self, completion, maxHeight, onStop] {
                if (!self) {
                    if (onStop) onStop();
                    return;
                }
                self->progressAnimationScrollView->setVerticalScrollBarPolicy(
                    maxHeight ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded);
                self->showProductNameScreen();
                QWidget* install = self->progressInstallView;
                const double iw = install->width(), ih = install->height();
                Transition::animateTransform(install, scaledTranslation(2.0, -0.5 * iw, -0.5 * ih),
                                             0.01, [self, install, completion, onStop] {
                                                 if (!self) {
                                                     if (onStop) onStop();
                                                     return;
                                                 }
                                                 Transition::animateTransform(install, QTransform(),
                                                                              0.5, completion);
                                             });
            });
    });
}

void ProgressAnimationViewController::animateHidingFinalScreen(double delay,
                                                               std::function<void()> completion) {
    QPointer<ProgressAnimationViewController> self(this);
    after(delay, [self, completion] {
        if (!self) return;
        self->progressInstallScrollView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        self->phisingAnimationImage->hide();
        self->phisingScamText->hide();
        self->didYouInfoTextField->hide();
        Transition::setTransform(self->progressAnimationView, QTransform());
        QWidget* install = self->progressInstallView;
        const double w = install->width(), h = install->height();
        Transition::animateTransform(
            install, scaledTranslation(0.2, 0.4 * w, 0.4 * h), 0.5, [self, completion] {
                if (!self) return;
                auto* main = mainWindow();
                const bool maxHeight = main && main->isWindowAtMaxHeight();
                self->progressInstallScrollView->setVerticalScrollBarPolicy(
                    maxHeight ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded);
                Transition::setTransform(self->progressInstallView, QTransform());
                self->showDidYouKnowScreen();
                completion();
            });
    });
}

void ProgressAnimationViewController::switchProgressView(QWidget* view, bool animated) {
    QStackedWidget* box = animationBox();
    QWidget* page = pageFor(view);
    if (!box || !page) return;
    if (box->indexOf(page) < 0) box->addWidget(page);
    if (!animated) {
        box->setCurrentWidget(page);
        return;
    }
    QPointer<QStackedWidget> target(box);
    QPointer<QWidget> content(page);
    Transition::animateTransform(
        box, QTransform::fromTranslate(-(box->width() + 10), 0), 0.5, [target, content] {
            if (!target) return;
            Transition::animateTransform(target, QTransform(), 0.01, [target, content] {
                if (!target) return;
                target->hide();
                Transition::run(target, TransitionType::Reveal, 0.25, [target, content] {
                    if (content) target->setCurrentWidget(content);
                    // Once the install has ended (closing, failure or quit
                    // screen) the box stays away.
                    auto* main = mainWindow();
                    const auto status = main ? main->installStatus() : std::nullopt;
                    if (status == kInstallStatusFailed || status == kInstallStatusFinished ||
                        status == kInstallStatusQuitting)
                        return;
                    target->show();
                });
            });
        });
}
