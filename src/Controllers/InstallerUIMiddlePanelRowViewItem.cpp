#include "Controllers/InstallerUIMiddlePanelRowViewItem.h"

#include "Platform/System/Bundle.h"

namespace {

using Item = InstallerUIMiddlePanelRowViewItem;

QString text(const char* key) {
    return QString::fromStdString(platform::Bundle::mainBundle()->localizedString(key, "", ""));
}

Item::Ptr make(const char* title, const char* subtitle, std::uint64_t icon, bool active) {
    return std::make_shared<Item>(text(title),
                                  subtitle ? std::optional<QString>(text(subtitle)) : std::nullopt,
                                  icon, active);
}

}  // namespace

InstallerUIMiddlePanelRowViewItem::InstallerUIMiddlePanelRowViewItem(
    QString title, std::optional<QString> subtitle, std::uint64_t iconType, bool active)
    : title_(std::move(title)),
      subtitle_(std::move(subtitle)),
      iconType_(iconType),
      active_(active) {}

void InstallerUIMiddlePanelRowViewItem::setCompletionHandler(std::function<void()> handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    completionHandler_ = std::move(handler);
}

bool InstallerUIMiddlePanelRowViewItem::hasCompletionHandler() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<bool>(completionHandler_);
}

std::function<void()> InstallerUIMiddlePanelRowViewItem::takeCompletionHandler() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(completionHandler_, nullptr);
}

#define PEL_ROW(name, title, subtitle, icon, active)                \
    Item::Ptr Item::name() {                                        \
        static Item::Ptr row = make(title, subtitle, icon, active); \
        return row;                                                 \
    }

PEL_ROW(itemForUninstalling, "Uninstalling\u2026", nullptr, 1, true)
PEL_ROW(itemForUninstallCompletion, "Uninstall Complete", nullptr, 2, true)
PEL_ROW(itemForActiveInstallationIdle, "Installing Device Security", nullptr, 0, true)
PEL_ROW(itemForDownloading, "Installing Device Security", "Downloading...", 1, true)
PEL_ROW(itemForInstalling, "Installing Device Security", "Installing...", 1, true)
PEL_ROW(itemForActiveInstallCompletion, "Device Security Installed", nullptr, 2, true)
PEL_ROW(itemForInstallCompletion, "Device Security Installed", nullptr, 2, false)
PEL_ROW(itemForUpdatePreferencesIdle, "Update Preferences", nullptr, 0, false)
PEL_ROW(itemForActiveUpdatePreferencesIdle, "Update Preferences", nullptr, 0, true)
PEL_ROW(itemForUpdatePreferencesWarning, "Update Preferences", nullptr, 3, true)
PEL_ROW(itemForUpdatingPreferences, "Update Preferences", nullptr, 1, true)
PEL_ROW(itemForUpdatePreferencesCompletion, "Update Preferences", nullptr, 2, false)
PEL_ROW(itemForActiveUpdatePreferencesCompletion, "Update Preferences", nullptr, 2, true)

#undef PEL_ROW
