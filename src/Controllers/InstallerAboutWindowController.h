// The About box: the application's name, version and copyright from the
// main bundle's Info.plist, in a modal window. A new one is made for each
// request.
#pragma once

#include <QDialog>
#include <QLabel>

#include "Platform/Values/Value.h"

/// The layout of the "AboutWindow" interface file.
struct AboutWindowForm {
    QLabel* iconImageView = nullptr;
    QLabel* appNameField = nullptr;
    QLabel* appVersionField = nullptr;
    QLabel* appCopyrightField = nullptr;
    void setupUi(QWidget* window);
};

class InstallerAboutWindowController : public QDialog {
  public:
    explicit InstallerAboutWindowController(QWidget* parent = nullptr);

    const platform::Dictionary& infoDictionary() const { return infoDictionary_; }
    const platform::Dictionary& infoLocalizedDictionary() const { return infoLocalizedDictionary_; }
    const AboutWindowForm& form() const { return form_; }

    /// Fills the fields from the two dictionaries.
    void windowDidLoad();
    /// Shows the window application-modal; returns when it is closed.
    int runModal();

  private:
    platform::Dictionary infoDictionary_;
    platform::Dictionary infoLocalizedDictionary_;
    AboutWindowForm form_;
};
