// The cell of one step-list row: title, subtitle and status icon, whose
// changes animate after a delay that grows with the row's position.
#pragma once

#include <QLabel>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

#include "Controllers/InstallerUIMiddlePanelRowViewItem.h"
#include "OstrelUI/Controls/AttributedText.h"
#include "OstrelUI/Controls/OstrelUIAnimation.h"
#include "Platform/Dispatch/Clock.h"

namespace ostrelui {
class OstrelUISpinningImageView;
}

class MiddleRowView : public QWidget {
  public:
    /// `clock` drives the delayed steps (the default clock when null).
    explicit MiddleRowView(QWidget* parent = nullptr,
                           std::shared_ptr<platform::Clock> clock = nullptr);

    QLabel* titleMessage = nullptr;
    QLabel* subTitle = nullptr;
    ostrelui::OstrelUISpinningImageView* statusImage = nullptr;
    /// Space below the title: 32 with a subtitle, 25 without.
    ostrelui::LayoutConstant& bottomSpaceToTitle() { return *bottomSpaceToTitle_; }
    /// How far the title has moved down (7 once its subtitle went away).
    ostrelui::LayoutConstant& titleOffset() { return *titleOffset_; }

    std::int64_t rowNumber() const { return rowNumber_; }
    void setRowNumber(std::int64_t row) { rowNumber_ = row; }
    /// (rowNumber + 1) x 0.5 s.
    double animationDelay() const { return (rowNumber_ + 1) * 0.5; }

    /// Shows `row`: takes its completion handler (one-shot), then active
    /// look, subtitle, title and icon. The handler runs once, after the
    /// row's delay and its text transition, whether or not the text changed.
    void setRowViewObject(const InstallerUIMiddlePanelRowViewItem::Ptr& row);

    /// Changes the title (animated) when it differs from the shown one;
    /// false when it is the same.
    bool setTitleString(const QString& title);
    /// False when there is no subtitle field.
    bool setSubTitleString(const std::optional<QString>& subtitle);
    bool setRowActive(bool active);
    bool setImageForType(std::uint64_t type);
    /// Bold title ("Helvetica Neue Medium" 18) after the row's delay.
    void setBoldFont();
    /// Back to the regular title font (a reused cell of an unselected row).
    void setRegularFont();
    void performSubtitleAnimation(bool hide, std::function<void()> completion);
    /// `text` with kerning 1.0.
    static ostrelui::AttributedText getAttributedString(const QString& text);

    /// The name of the icon shown.
    const QString& statusImageName() const { return statusImageName_; }
    /// The target opacity of the row's title, subtitle and icon.
    double rowAlpha() const { return alpha_; }
    /// Whether the title is bold.
    bool isTitleBold() const;

  private:
    void after(double seconds, std::function<void()> block);
    void styleLabel(QLabel* label);
    void animateAlpha(QWidget* widget, double alpha, double seconds);

    std::shared_ptr<platform::Clock> clock_;
    std::unique_ptr<ostrelui::LayoutConstant> bottomSpaceToTitle_;
    std::unique_ptr<ostrelui::LayoutConstant> titleOffset_;
    std::int64_t rowNumber_ = 0;
    QString statusImageName_;
    double alpha_ = 1.0;
    QFont regularFont_;
};
