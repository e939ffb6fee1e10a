#include "Controllers/LeftNavigationViewController.h"

#include <QVBoxLayout>

#include "Controllers/MiddleRowView.h"
#include "Engine/PelInstallAppUtilities.h"
#include "OstrelUI/Controls/OstrelUIAppearance.h"
#include "OstrelUI/Controls/OstrelUISpinners.h"

namespace {

using Item = InstallerUIMiddlePanelRowViewItem;
constexpr int kMaxRows = 2;
constexpr double kOneRowPosition = 381.0;
constexpr double kRowsPosition = 309.0;

}  // namespace

LeftNavigationViewController::LeftNavigationViewController(QWidget* parent,
                                                           std::shared_ptr<platform::Clock> clock)
    : QWidget(parent), clock_(std::move(clock)) {
    setObjectName(QStringLiteral("leftNavigationViewController"));
    resize(392, 640);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, QColor(0x1d, 0x2b, 0x4f));
    setPalette(palette);
    centerBarImage = new QLabel(this);
    centerBarImage->setObjectName(QStringLiteral("centerBarImage"));
    centerBarImage->setGeometry(340, 0, 12, 640);
    centerBarImage->setScaledContents(true);
    centerBarProgressTableView = new QWidget(this);
    centerBarProgressTableView->setObjectName(QStringLiteral("centerBarProgressTableView"));
    auto* layout = new QVBoxLayout(centerBarProgressTableView);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addStretch(1);
    QWidget* table = centerBarProgressTableView;
    positioning_ = std::make_unique<ostrelui::LayoutConstant>(kRowsPosition, [table](double y) {
        table->setGeometry(0, static_cast<int>(y), 336, 72 * kMaxRows);
    });
    positioning_->setConstant(kRowsPosition);
}

LeftNavigationViewController::~LeftNavigationViewController() = default;

void LeftNavigationViewController::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    centerBarImage->setGeometry(centerBarImage->x(), 0, centerBarImage->width(), height());
}

MiddleRowView* LeftNavigationViewController::cellFor(int index) {
    while (static_cast<int>(cells_.size()) <= index) {
        auto* cell = new MiddleRowView(centerBarProgressTableView, clock_);
        auto* layout = static_cast<QVBoxLayout*>(centerBarProgressTableView->layout());
        layout->insertWidget(static_cast<int>(cells_.size()), cell);
        cells_.push_back(cell);
    }
    return cells_[static_cast<std::size_t>(index)];
}

MiddleRowView* LeftNavigationViewController::cellAt(int index) const {
    return index >= 0 && index < static_cast<int>(cells_.size()) ? cells_[index] : nullptr;
}

int LeftNavigationViewController::numberOfRows() {
    if (!rows_) return 0;
    positioning_->setConstant(rows_->size() == 1 ? kOneRowPosition : kRowsPosition);
    return static_cast<int>(rows_->size());
}

void LeftNavigationViewController::setRowObjectsArray(std::optional<Rows> rows) {
    if (rows && rows->size() > kMaxRows) rows->resize(kMaxRows);
    rows_ = std::move(rows);
    selected_.clear();
    reloadData();
}

void LeftNavigationViewController::reloadData() {
    const int count = numberOfRows();
    for (int index = 0; index < count; ++index) {
        MiddleRowView* cell = cellFor(index);
        const QString prefix =
            QStringLiteral("com.pelgrave.installer.LeftNavigationView.centerBarItem%1.").arg(index);
        cell->titleMessage->setObjectName(prefix + QStringLiteral("TextField.titleText"));
        cell->subTitle->setObjectName(prefix + QStringLiteral("TextField.subTitleText"));
        cell->statusImage->setObjectName(prefix + QStringLiteral("SpinningImageView.statusImage"));
        cell->setRowNumber(index);
        cell->setRegularFont();
        cell->setRowViewObject((*rows_)[static_cast<std::size_t>(index)]);
        cell->show();
    }
    for (std::size_t index = static_cast<std::size_t>(count); index < cells_.size(); ++index)
        cells_[index]->hide();
    if (count > 0) positioning_->setConstant(count == 1 ? kOneRowPosition : kRowsPosition);
}

void LeftNavigationViewController::selectRowIndexes(const std::set<int>& indexes) {
    selected_.clear();
    for (int index : indexes) {
        if (!rows_ || index < 0 || index >= static_cast<int>(rows_->size())) continue;
        selected_.insert(index);
        cellFor(index)->setBoldFont();
    }
}

void LeftNavigationViewController::setCenterBarNeutralImageName(const QString& name) {
    neutralImageName_ = name;
    if (barImageName_.isEmpty()) centerBarImage->setPixmap(ostrelui::imageNamed(name));
}

void LeftNavigationViewController::setCenterPillarHealthStatus(std::uint64_t health) {
    if (health == 2)
        barImageName_ = QStringLiteral("bg-status-red");
    else if (health == 1)
        barImageName_ = QStringLiteral("bg-status-orange");
    else
        barImageName_ = neutralImageName_;
    centerBarImage->setPixmap(ostrelui::imageNamed(barImageName_));
}

void LeftNavigationViewController::setProgressStatus(std::uint64_t code) {
    if (code != kProgressStatusClear)
        setCenterPillarHealthStatus(
            code == kProgressStatusUninstallFailed || code == kProgressStatusInstallFailed ? 1 : 0);
    std::optional<Rows> rows;
    std::set<int> selected;
    switch (code) {
        case kProgressStatusUninstalling:
            rows = Rows{Item::itemForUninstalling()};
            selected = {0};
            break;
        case kProgressStatusUninstallDone:
            // The removal's end is a step done, not an empty panel.
            rows = Rows{Item::itemForUninstallCompletion()};
            selected = {0};
            break;
        case kProgressStatusReadyToInstall:
            rows =
                Rows{Item::itemForActiveInstallationIdle(), Item::itemForUpdatePreferencesIdle()};
            selected = {0};
            break;
        case kProgressStatusDownloading:
            rows = Rows{Item::itemForDownloading(), Item::itemForUpdatePreferencesIdle()};
            selected = {0};
            break;
        case kProgressStatusInstalling:
            rows = Rows{Item::itemForInstalling(), Item::itemForUpdatePreferencesIdle()};
            selected = {0};
            break;
        case kProgressStatusAllComplete:
            rows =
                Rows{Item::itemForInstallCompletion(), Item::itemForUpdatePreferencesCompletion()};
            selected = {0, 1};
            break;
        case kProgressStatusPreferencesNext:
            rows = Rows{Item::itemForActiveInstallCompletion(),
                        Item::itemForActiveUpdatePreferencesIdle()};
            selected = {0};
            break;
        case kProgressStatusPreferencesAttention:
        case kProgressStatusPreferencesAttentionAgain:
            rows = Rows{Item::itemForInstallCompletion(), Item::itemForUpdatePreferencesWarning()};
            selected = {1};
            break;
        case kProgressStatusUpdatingPreferences:
            rows = Rows{Item::itemForInstallCompletion(), Item::itemForUpdatingPreferences()};
            selected = {1};
            break;
        case kProgressStatusPreferencesDone:
            rows = Rows{Item::itemForInstallCompletion(),
                        Item::itemForActiveUpdatePreferencesCompletion()};
            selected = {1};
            break;
        default:
            break;
    }
    setRowObjectsArray(std::move(rows));
    if (!selected.empty()) selectRowIndexes(selected);
}

void LeftNavigationViewController::setInstallationProgressStatusWithCompletionHandler(
    std::function<void()> handler) {
    Rows rows{Item::itemForInstalling(), Item::itemForUpdatePreferencesIdle()};
    if (handler) {
        auto utilities = PelInstallAppUtilities::sharedUtilities();
        const bool download = utilities && utilities->isFSDBasedInstall();
        (download ? rows.front() : rows.back())->setCompletionHandler(std::move(handler));
    }
    setRowObjectsArray(std::move(rows));
    selectRowIndexes({0});
}
