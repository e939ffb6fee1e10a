// The slideshow shown in the main window's animation box while the packages
// are downloaded or installed: a teaser, three lines about phishing and the
// product screen, in cycles, until the install ends or the preferences phase
// begins. Each timed step asks first whether the slideshow should still run.
#pragma once

#include <QLabel>
#include <QPointer>
#include <QStackedWidget>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "Platform/Dispatch/Clock.h"

namespace ostrelui {
class OrbEmbeddedScrollView;
}

class ProgressAnimationViewController : public QObject {
  public:
    /// `clock` drives the timed steps (the default clock when null).
    explicit ProgressAnimationViewController(std::shared_ptr<platform::Clock> clock = nullptr);
    ~ProgressAnimationViewController() override;

    // Panels and their parts.
    QWidget* progressAnimationView = nullptr;
    QWidget* progressInstallView = nullptr;
    QWidget* progressCompletedView = nullptr;
    ostrelui::OrbEmbeddedScrollView* progressAnimationScrollView = nullptr;
    ostrelui::OrbEmbeddedScrollView* progressInstallScrollView = nullptr;
    QLabel* didYouKnowBigText = nullptr;
    QLabel* phisingScamText = nullptr;
    QLabel* phisingAnimationImage = nullptr;
    QLabel* didYouInfoTextField = nullptr;
    QLabel* productNameTextField = nullptr;
    QLabel* continuingSetupTextField = nullptr;
    QLabel* productImageInProgress = nullptr;

    /// The box the panels are shown in (the main window's animation box
    /// unless set).
    QStackedWidget* animationBox() const;
    void setAnimationBox(QStackedWidget* box) { box_ = box; }

    std::uint64_t animationSeqNm() const { return animationSeqNm_; }
    std::uint64_t skippedAnimationSeq() const { return skippedAnimationSeq_; }
    bool isPhishingAnimationRunning() const { return isPhishingAnimationRunning_; }
    bool isUpdatingPreference() const { return isUpdatingPreference_; }
    void setIsUpdatingPreference(bool updating) { isUpdatingPreference_ = updating; }

    void showProgressViewAnimation();
    void showDidYouKnowScreen();
    void showProductNameScreen();
    /// While the phishing lines run, cuts them short and moves to the
    /// product screen, then runs `block` before the slideshow starts over;
    /// otherwise runs `block` at once. `block` always runs exactly once.
    void checkAndSkipPhishingScreen(std::function<void()> block);
    void showInstallCompleteScreen();

    // Steps of one cycle; false when the slideshow should no longer run.
    bool showDidYouKnowAnimation();
    bool setupPhishingScreen();
    bool showPhishingInformation();
    bool showProductDetailScreen(double delay);
    bool showAnimationFromBegining();

    bool shouldShowAnimation() const;
    bool shouldSkipAnimationWithSeq(std::uint64_t seq) const;
    void skipPhishingAnimation();
    void switchProgressView(QWidget* view, bool animated);

  private:
    void after(double seconds, std::function<void()> block);
    void animateDidYouKnowTextWith(std::function<void()> completion);
    void animatePhishingScreenSetupWith(std::function<void()> completion);
    void animatePhishingInfoTextAfter(double delay, std::function<void()> completion);
    void animateProductDetailScreenAfter(double delay, std::function<void()> completion,
                                         std::function<void()> onStop = {});
    void animateHidingFinalScreen(double delay, std::function<void()> completion);
    bool stopIfDone();
    QWidget* pageFor(QWidget* view) const;
    void buildPanels();

    std::shared_ptr<platform::Clock> clock_;
    QStackedWidget* box_ = nullptr;
    std::vector<QPointer<QWidget>> pages_;
    std::uint64_t animationSeqNm_ = 0;
    std::uint64_t skippedAnimationSeq_ = 0;
    bool isPhishingAnimationRunning_ = false;
    bool isUpdatingPreference_ = false;
};
