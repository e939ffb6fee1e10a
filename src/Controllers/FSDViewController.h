// The download screen of a download-based install: it makes the downloader
// on the manifest, shows the transfers, and hands the unpacked packages to
// the main window (or, in download-only mode, tells the plug-in).
//
// Every delegate call comes on the main queue. Calls from a downloader that
// is no longer the current one (a retry replaced it) are ignored.
#pragma once

#include <QLabel>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "Downloader/PelFSDProtocol.h"

class FSDFacade;
namespace ostrelui {
class OstrelUIProgressIndicator;
}

class FSDViewController : public QWidget, public PelFSDProtocol {
  public:
    explicit FSDViewController(QWidget* parent = nullptr);
    ~FSDViewController() override;

    ostrelui::OstrelUIProgressIndicator* downloadIndicator = nullptr;
    QLabel* downloadStatus = nullptr;
    QLabel* packageCount = nullptr;

    /// The downloader made by startFSD(); null when none was made.
    const std::shared_ptr<FSDFacade>& fsd() const { return fsd_; }
    void setFsd(std::shared_ptr<FSDFacade> fsd) { fsd_ = std::move(fsd); }
    const std::optional<QString>& errorString() const { return errorString_; }
    bool isFSDDownloadOnly() const { return isFSDDownloadOnly_; }
    void setIsFSDDownloadOnly(bool v) { isFSDDownloadOnly_ = v; }

    std::uint64_t downloadSizeBytes() const { return downloadSize_; }
    std::uint64_t totalJobCount() const { return totalJobCount_; }
    std::uint64_t remainingFiles() const { return UtotalFiles_; }
    std::uint64_t totalFileCount() const { return totalFileCount_; }

    /// Makes the downloader and starts it once the screen is in place (also
    /// the retry after the warning screen).
    void startFSD();
    /// startFSD() without installing afterwards.
    void performFSDDownloadOnly();
    /// "%0.2f MB" of bytes / 1000000 in single precision.
    static QString toMb(std::uint64_t bytes);

    bool respondsTo(PelFSDOperation operation) const override;
    void numberOfJobs(unsigned long jobs, unsigned long files) override;
    void downloadDidBegin() override;
    void downloadSize(long bytes) override;
    void downloadWithDataOfLength(std::uint64_t bytes) override;
    void downloadDidCreateDestination(const std::string& path) override;
    void downloadDidFinish() override;
    void downloadDidFailWithError(const platform::Error& error) override;

    /// The delegate handed to the current downloader: it forwards to this
    /// screen while its downloader is the current one.
    PelFSDProtocol* currentRelay() const;

  private:
    class Relay;
    void failWithGenericError();

    std::shared_ptr<FSDFacade> fsd_;
    std::vector<std::unique_ptr<Relay>> relays_;
    bool finished_ = false;
    std::optional<QString> errorString_;
    bool isFSDDownloadOnly_ = false;
    std::uint64_t downloadSize_ = 0;
    std::uint64_t UtotalJobs_ = 0;
    std::uint64_t totalJobCount_ = 0;
    std::uint64_t UtotalFiles_ = 0;
    std::uint64_t totalFileCount_ = 0;
};
