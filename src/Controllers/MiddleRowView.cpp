#include "Controllers/MiddleRowView.h"

#include <QGraphicsOpacityEffect>
#include <QPropertyAnimation>
#include <QVBoxLayout>
#include <chrono>

#include "OstrelUI/Controls/OstrelUIAppearance.h"
#include "OstrelUI/Controls/OstrelUIGuard.h"
#include "OstrelUI/Controls/OstrelUISpinners.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Dispatch/Timer.h"

namespace {

constexpr double kTitleTransition = 0.5;
constexpr double kSubtitleTransition = 1.0;
constexpr double kDefaultTransition = 0.25;

platform::Duration seconds(double s) {
    return std::chrono::duration_cast<platform::Duration>(std::chrono::duration<double>(s));
}

}  // namespace

MiddleRowView::MiddleRowView(QWidget* parent, std::shared_ptr<platform::Clock> clock)
    : QWidget(parent), clock_(std::move(clock)) {
    setObjectName(QStringLiteral("MiddleRowView"));
    setFixedHeight(72);
    titleMessage = new QLabel(this);
    subTitle = new QLabel(this);
    statusImage = new ostrelui::OstrelUISpinningImageView(this, clock_);
    statusImage->setFixedSize(24, 24);
    styleLabel(titleMessage);
    styleLabel(subTitle);
    QFont font = titleMessage->font();
    // Sizes in points of the original look, one point per pixel.
    font.setPixelSize(16);
    titleMessage->setFont(font);
    font.setPixelSize(12);
    subTitle->setFont(font);
    regularFont_ = titleMessage->font();
    subTitle->hide();

    auto* text = new QVBoxLayout;
    text->setContentsMargins(0, 0, 0, 0);
    text->addStretch(1);
    text->addWidget(titleMessage);
    text->addWidget(subTitle);
    text->addStretch(1);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 12, 0);
    row->addLayout(text, 1);
    row->addWidget(statusImage, 0, Qt::AlignVCenter);
    QLabel* title = titleMessage;
    titleOffset_ = std::make_unique<ostrelui::LayoutConstant>(
        0.0, [title](double v) { title->setContentsMargins(0, static_cast<int>(v), 0, 0); });
    bottomSpaceToTitle_ = std::make_unique<ostrelui::LayoutConstant>(
        25.0, [text](double v) { text->setSpacing(static_cast<int>(v - 25.0)); });
    for (QWidget* w : {static_cast<QWidget*>(titleMessage), static_cast<QWidget*>(subTitle),
                       static_cast<QWidget*>(statusImage)}) {
        auto* effect = new QGraphicsOpacityEffect(w);
        effect->setOpacity(1.0);
        w->setGraphicsEffect(effect);
    }
}

void MiddleRowView::styleLabel(QLabel* label) {
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QFont font = label->font();
    font.setLetterSpacing(QFont::AbsoluteSpacing, 1.0);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::white);
    label->setPalette(palette);
}

ostrelui::AttributedText MiddleRowView::getAttributedString(const QString& text) {
    ostrelui::AttributedText result{text, {}};
    QTextLayout::FormatRange range;
    range.start = 0;
    range.length = static_cast<int>(text.size());
    range.format.setFontLetterSpacingType(QFont::AbsoluteSpacing);
    range.format.setFontLetterSpacing(1.0);
    result.formats.append(range);
    return result;
}

void MiddleRowView::after(double delay, std::function<void()> block) {
    QPointer<MiddleRowView> self(this);
    platform::dispatchAfter(
        platform::MainQueue::shared(), seconds(delay),
        [self, block = std::move(block)] {
            if (self) ostrelui::guarded(block)();
        },
        clock_);
}

void MiddleRowView::setRowViewObject(const InstallerUIMiddlePanelRowViewItem::Ptr& row) {
    if (!row) return;
    std::function<void()> handler = row->takeCompletionHandler();
    const bool subtitleChanges =
        subTitle && ((row->subtitle() && *row->subtitle() != subTitle->text()) ||
                     (!row->subtitle() && !subTitle->text().isEmpty()));
    const bool titleChanges = row->title() != titleMessage->text();
    const bool appears = titleMessage->text().isEmpty();
    setRowActive(row->isActive());
    setSubTitleString(row->subtitle());
    setTitleString(row->title());
    setImageForType(row->iconType());
    if (appears) {
        // A new row's icon comes in with its title, never on its own before.
        static_cast<QGraphicsOpacityEffect*>(statusImage->graphicsEffect())->setOpacity(0);
        after(animationDelay(), [this] {
            const bool complete = statusImageName_ == QLatin1String("ic-onboarding-complete");
            animateAlpha(statusImage, complete ? 1.0 : alpha_, kTitleTransition);
        });
    }
    if (!handler) return;
    // The handler does not hang on the text animations: it is due once the
    // row's delay and its transition are over, changed text or not, and it
    // runs even when the cell is gone by then (it may start the install).
    const double transition = subtitleChanges ? kSubtitleTransition
                              : titleChanges  ? kTitleTransition
                                              : 0.0;
    platform::dispatchAfter(platform::MainQueue::shared(), seconds(animationDelay() + transition),
                            ostrelui::guarded(std::move(handler)), clock_);
}

bool MiddleRowView::setTitleString(const QString& title) {
    if (title == titleMessage->text()) return false;
    ostrelui::TransitionType type = ostrelui::TransitionType::Fade;
    double duration = kDefaultTransition;
    const bool hasSubtitle = subTitle && !subTitle->text().isEmpty();
    if (titleMessage->text().isEmpty()) {
        type = ostrelui::TransitionType::PushFromTop;
        duration = kTitleTransition;
    } else if (!hasSubtitle) {
        titleMessage->hide();
        type = ostrelui::TransitionType::Reveal;
        duration = kTitleTransition;
    }
    QPointer<QLabel> label(titleMessage);
    after(animationDelay(), [label, title, type, duration] {
        if (!label) return;
        ostrelui::Transition::run(label, type, duration, [label, title] {
            label->setText(title);
            label->setToolTip(title);
            label->show();
        });
    });
    return true;
}

bool MiddleRowView::setSubTitleString(const std::optional<QString>& subtitle) {
    if (!subTitle) return false;
    const QString current = subTitle->text();
    if (subtitle) {
        if (*subtitle == current) return true;
        bottomSpaceToTitle_->setConstant(32.0);
        subTitle->setText(*subtitle);
        subTitle->setToolTip(*subtitle);
        titleOffset_->setConstant(0.0);
        performSubtitleAnimation(false, nullptr);
        return true;
    }
    if (!current.isEmpty()) {
        QPointer<MiddleRowView> self(this);
        performSubtitleAnimation(true, [self] {
            if (!self) return;
            self->subTitle->clear();
            // The title moves down 7 points into the freed line.
            self->titleOffset_->animateTo(7.0, 1.0);
        });
        return true;
    }
    bottomSpaceToTitle_->setConstant(25.0);
    performSubtitleAnimation(true, nullptr);
    return true;
}

void MiddleRowView::performSubtitleAnimation(bool hide, std::function<void()> completion) {
    const ostrelui::TransitionType type =
        hide ? ostrelui::TransitionType::Fade : ostrelui::TransitionType::Reveal;
    if (!hide) subTitle->hide();
    QPointer<QLabel> sub(subTitle);
    after(animationDelay(), [sub, hide, type, completion = std::move(completion)] {
        if (!sub) return;
        if (sub->isHidden() == hide) {
            if (completion) completion();
            return;
        }
        ostrelui::Transition::run(sub, type, kSubtitleTransition,
                                  [sub, hide] { sub->setHidden(hide); });
        if (completion) completion();
    });
}

void MiddleRowView::animateAlpha(QWidget* widget, double alpha, double duration) {
    auto* effect = static_cast<QGraphicsOpacityEffect*>(widget->graphicsEffect());
    if (!effect) return;
    const int ms = ostrelui::scaledMilliseconds(duration);
    if (ms <= 0) {
        effect->setOpacity(alpha);
        return;
    }
    auto* animation = new QPropertyAnimation(effect, "opacity", effect);
    animation->setDuration(ms);
    animation->setEndValue(alpha);
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

bool MiddleRowView::setRowActive(bool active) {
    if (!titleMessage || !subTitle || !statusImage) return false;
    alpha_ = active ? 1.0 : 0.5;
    animateAlpha(statusImage, alpha_, 0.0);
    const double alpha = alpha_;
    after(animationDelay(), [this, alpha] {
        animateAlpha(subTitle, alpha, 0.5);
        animateAlpha(titleMessage, alpha, 0.5);
    });
    return true;
}

bool MiddleRowView::setImageForType(std::uint64_t type) {
    if (!statusImage) return false;
    switch (type) {
        case kMiddlePanelRowIconWorking:
            statusImageName_ = QStringLiteral("ic-onboarding-working");
            break;
        case kMiddlePanelRowIconComplete:
            statusImageName_ = QStringLiteral("ic-onboarding-complete");
            break;
        case kMiddlePanelRowIconAlert:
            statusImageName_ = QStringLiteral("ic-onboarding-alert");
            break;
        default:
            statusImageName_ = QStringLiteral("ic-onboarding-next");
            break;
    }
    statusImage->setImage(ostrelui::imageNamed(statusImageName_).toImage());
    if (type == kMiddlePanelRowIconWorking) {
        statusImage->startRotation();
    } else {
        if (type == kMiddlePanelRowIconComplete) animateAlpha(statusImage, 1.0, 0.0);
        statusImage->stopRotation();
    }
    statusImage->setAccessibleName(statusImageName_);
    return true;
}

void MiddleRowView::setBoldFont() {
    QPointer<QLabel> label(titleMessage);
    QFont fallback = regularFont_;
    after(animationDelay(), [label, fallback] {
        if (!label) return;
        QFont font = ostrelui::kitFont(QStringLiteral("Helvetica Neue Medium"), 18.0, fallback);
        font.setPixelSize(18);
        font.setLetterSpacing(QFont::AbsoluteSpacing, 1.0);
        label->setFont(font);
    });
}

void MiddleRowView::setRegularFont() { titleMessage->setFont(regularFont_); }

bool MiddleRowView::isTitleBold() const {
    return titleMessage->font().pixelSize() == 18 && titleMessage->font().weight() >= QFont::Medium;
}
