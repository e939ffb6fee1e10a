// The left-hand step list: up to two steps beside the vertical status bar,
// driven by the progress codes the screens send through the plug-in.
#pragma once

#include <QLabel>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "Controllers/InstallerUIMiddlePanelRowViewItem.h"
#include "OstrelUI/Controls/OstrelUIAnimation.h"
#include "Platform/Dispatch/Clock.h"

class MiddleRowView;

/// InstallerProgressStatus: the codes of setProgressStatus().
enum InstallerProgressStatus : std::uint64_t {
    kProgressStatusClear = 0,
    kProgressStatusUninstallNeeded = 1,
    kProgressStatusUninstalling = 2,
    kProgressStatusUninstallFailed = 3,
    kProgressStatusUninstallDone = 4,
    kProgressStatusReadyToInstall = 5,
    kProgressStatusDownloading = 6,
    kProgressStatusInstalling = 7,
    kProgressStatusInstallFailed = 8,
    kProgressStatusAllComplete = 9,
    kProgressStatusPreferencesNext = 10,
    kProgressStatusPreferencesAttention = 11,
    kProgressStatusUpdatingPreferences = 12,
    kProgressStatusPreferencesAttentionAgain = 13,
    kProgressStatusPreferencesDone = 14,
};

class LeftNavigationViewController : public QWidget {
  public:
    using Rows = std::vector<InstallerUIMiddlePanelRowViewItem::Ptr>;

    /// `clock` drives the rows' delayed steps (the default clock when null).
    explicit LeftNavigationViewController(QWidget* parent = nullptr,
                                          std::shared_ptr<platform::Clock> clock = nullptr);
    ~LeftNavigationViewController() override;

    QLabel* centerBarImage = nullptr;
    /// The list of rows (the "table").
    QWidget* centerBarProgressTableView = nullptr;
    /// Vertical position of the list: 381 for one row, 309 otherwise.
    ostrelui::LayoutConstant& theProgressPositioningConstraint() { return *positioning_; }

    const QString& centerBarNeutralImageName() const { return neutralImageName_; }
    /// The neutral image; until a status picks the bar's colour, the bar
    /// shows it.
    void setCenterBarNeutralImageName(const QString& name);
    /// The image name the status bar shows ("" before the first one).
    const QString& centerBarImageName() const { return barImageName_; }

    const std::optional<Rows>& rowObjectsArray() const { return rows_; }
    /// Replaces the rows and shows them (no row selected).
    void setRowObjectsArray(std::optional<Rows> rows);
    /// Makes the rows at `indexes` bold.
    void selectRowIndexes(const std::set<int>& indexes);
    const std::set<int>& selectedRowIndexes() const { return selected_; }

    /// An InstallerProgressStatus code.
    void setProgressStatus(std::uint64_t code);
    /// 2 red, 1 orange, else the neutral image.
    void setCenterPillarHealthStatus(std::uint64_t health);
    /// Shows the installing rows and hands `handler` to the first row for a
    /// download-based install, else to the last; it runs once, when that
    /// row's text is in place.
    void setInstallationProgressStatusWithCompletionHandler(std::function<void()> handler);

    /// Row count (0 without rows); sets the positioning constant.
    int numberOfRows();
    /// The cell of row `index`, or null.
    MiddleRowView* cellAt(int index) const;

  protected:
    /// The status bar runs the panel's full height.
    void resizeEvent(QResizeEvent* event) override;

  private:
    MiddleRowView* cellFor(int index);
    void reloadData();

    std::shared_ptr<platform::Clock> clock_;
    std::unique_ptr<ostrelui::LayoutConstant> positioning_;
    QString neutralImageName_;
    QString barImageName_;
    std::optional<Rows> rows_;
    std::set<int> selected_;
    std::vector<MiddleRowView*> cells_;
};
