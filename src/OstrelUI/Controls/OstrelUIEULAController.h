// The licence-agreement window: downloads the agreement as a PDF, shows a
// progress indicator meanwhile, then grows and shows the document, which the
// user can save or print. Run it as a sheet (runModalForWindow).
#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <memory>
#include <optional>
#include <string>

class QParallelAnimationGroup;
class QPdfDocument;
class QPdfView;
class QPrinter;
class QProgressBar;
class QPushButton;

namespace platform {
class HttpTask;
struct HttpResult;
}  // namespace platform

namespace ostrelui {

class OstrelUIEULAController : public QDialog {
  public:
    explicit OstrelUIEULAController(QWidget* parent = nullptr);
    ~OstrelUIEULAController() override;

    // Outlets (object names as here).
    QProgressBar* progressBar = nullptr;
    QWidget* downloadingView = nullptr;
    QWidget* auxillaryView = nullptr;
    QPdfView* PDFView = nullptr;
    QPushButton* button = nullptr;
    QPushButton* saveButton = nullptr;
    QPushButton* printButton = nullptr;

    /// The agreement's address (the default address, looked up as a key in
    /// the main bundle's default strings table).
    static std::string agreementURL();
    /// Replaces the address (tests); nullopt returns to the default.
    static void setAgreementURLOverride(std::optional<std::string> url);

    /// Starts the download (once; also done when first shown).
    void windowDidLoad();
    bool isLoaded() const { return loaded_; }
    QPdfDocument* document() const { return document_.get(); }
    const QByteArray& pdfData() const { return pdfData_; }

    // Actions.
    void okButtonPressed();
    /// Asks for a file and writes the document there.
    void save();
    void print();
    /// Writes the document to `path`, replacing a file there only once the
    /// new one is complete; false (the old file kept) when it cannot.
    bool saveToPath(const QString& path, QString* errorText = nullptr);
    /// Prints every page on `printer` without margins, scaled down to fit.
    bool printTo(QPrinter& printer);

    /// The error alert shown after a failure (null before one); it sits on
    /// the window the sheet ran over.
    QMessageBox* errorAlert() const { return alert_; }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void finished(platform::HttpResult result);
    void failed();
    void showLoaded();
    void showEULAErrorAlert();
    void cleanupData();

    std::shared_ptr<platform::HttpTask> task_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    QByteArray pdfData_;
    QBuffer buffer_;
    std::unique_ptr<QPdfDocument> document_;
    QPointer<QMessageBox> alert_;
    QPointer<QWidget> alertParent_;
    bool started_ = false;
    bool loaded_ = false;
    /// The running loaded-state animation group, if any.
    QPointer<QParallelAnimationGroup> group_;
};

}  // namespace ostrelui
