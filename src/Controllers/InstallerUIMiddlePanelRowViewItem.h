// One step of the left-hand step list: title, optional subtitle, status icon
// and active look, plus the shared rows every list is made from.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

/// MiddlePanelRowIconType.
enum MiddlePanelRowIconType : std::uint64_t {
    kMiddlePanelRowIconNext = 0,
    kMiddlePanelRowIconWorking = 1,
    kMiddlePanelRowIconComplete = 2,
    kMiddlePanelRowIconAlert = 3,
};

class InstallerUIMiddlePanelRowViewItem {
  public:
    using Ptr = std::shared_ptr<InstallerUIMiddlePanelRowViewItem>;

    InstallerUIMiddlePanelRowViewItem(QString title, std::optional<QString> subtitle,
                                      std::uint64_t iconType, bool active);

    const QString& title() const { return title_; }
    const std::optional<QString>& subtitle() const { return subtitle_; }
    std::uint64_t iconType() const { return iconType_; }
    bool isActive() const { return active_; }

    /// The handler the next cell that shows this row runs once its text is
    /// in place. Any thread.
    void setCompletionHandler(std::function<void()> handler);
    bool hasCompletionHandler() const;
    /// Moves the handler out of the row: a row's handler runs once, however
    /// many lists show the row later.
    std::function<void()> takeCompletionHandler();

    // The shared rows (made on first use, kept for the process; titles from
    // the main bundle's default strings table).
    static Ptr itemForUninstalling();
    /// "Uninstall Complete", complete: the end of a removal, which
    /// the restart screen follows.
    static Ptr itemForUninstallCompletion();
    static Ptr itemForActiveInstallationIdle();
    static Ptr itemForDownloading();
    static Ptr itemForInstalling();
    static Ptr itemForActiveInstallCompletion();
    static Ptr itemForInstallCompletion();
    static Ptr itemForUpdatePreferencesIdle();
    static Ptr itemForActiveUpdatePreferencesIdle();
    static Ptr itemForUpdatePreferencesWarning();
    static Ptr itemForUpdatingPreferences();
    static Ptr itemForUpdatePreferencesCompletion();
    static Ptr itemForActiveUpdatePreferencesCompletion();

  private:
    QString title_;
    std::optional<QString> subtitle_;
    std::uint64_t iconType_;
    bool active_;
    mutable std::mutex mutex_;
    std::function<void()> completionHandler_;
};
