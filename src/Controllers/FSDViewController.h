// The download screen of a download-based install: it makes the downloader
// on the manifest, starts it once the screen is in place, and hands the
// unpacked packages to the main window.
#pragma once

#include <QLabel>
#include <QWidget>
#include <memory>

#include "Downloader/PelFSDProtocol.h"

class FSDFacade;

class FSDViewController : public QWidget, public PelFSDProtocol {
  public:
    explicit FSDViewController(QWidget* parent = nullptr);

    /// The downloader made by startFSD(); null when none was made.
    const std::shared_ptr<FSDFacade>& fsd() const { return fsd_; }
    void setFsd(std::shared_ptr<FSDFacade> fsd) { fsd_ = std::move(fsd); }
    QLabel* downloadStatus = nullptr;

    /// Makes the downloader and starts it; a downloader that cannot be made
    /// gives the download error screen.
    void startFSD();

    bool respondsTo(PelFSDOperation operation) const override;
    void numberOfJobs(unsigned long jobs, unsigned long files) override;
    void downloadDidFinish() override;
    void downloadDidFailWithError(const platform::Error& error) override;

  private:
    std::shared_ptr<FSDFacade> fsd_;
    unsigned long remainingFiles_ = 0;
};
