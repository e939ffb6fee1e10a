#include "OstrelUI/Controls/OstrelUIEULAController.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPainter>
#include <QParallelAnimationGroup>
#include <QPdfDocument>
#include <QPdfView>
#include <QPrintDialog>
#include <QPrinter>
#include <QProgressBar>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QSaveFile>
#include <QVBoxLayout>
#include <mutex>

#include "OstrelUI/Controls/OstrelUIAnimation.h"
#include "OstrelUI/Controls/OstrelUIGuard.h"
#include "OstrelUI/Controls/OstrelUITintedButton.h"
#include "OstrelUI/Controls/OstrelUIWindowUtilities.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Http/HttpClient.h"
#include "Platform/System/Bundle.h"

namespace ostrelui {

namespace {

constexpr const char* kDefaultAgreementURL =
    "https://redirect.pelgrave.com/"
    "932743328?ssdcat=301&product=ostrel-mac&displang=iso3:eng&env=prod";

std::mutex& urlMutex() {
    static std::mutex mutex;
    return mutex;
}
std::optional<std::string>& urlOverride() {
    static std::optional<std::string> url;
    return url;
}

QString text(const char* key) {
    auto bundle = platform::Bundle::mainBundle();
    if (!bundle) return QString::fromUtf8(key);
    return QString::fromStdString(bundle->localizedString(key, "", ""));
}

}  // namespace

OstrelUIEULAController::OstrelUIEULAController(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("EULA"));
    auto* layout = new QVBoxLayout(this);
    downloadingView = new QWidget(this);
    downloadingView->setObjectName(QStringLiteral("downloadingView"));
    auto* downloading = new QVBoxLayout(downloadingView);
    progressBar = new QProgressBar(downloadingView);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setRange(0, 0);  // indeterminate
    downloading->addStretch(1);
    downloading->addWidget(progressBar);
    downloading->addStretch(1);
    PDFView = new QPdfView(this);
    PDFView->setObjectName(QStringLiteral("PDFView"));
    PDFView->setPageMode(QPdfView::PageMode::MultiPage);
    PDFView->setZoomMode(QPdfView::ZoomMode::FitToWidth);
    PDFView->hide();
    auxillaryView = new QWidget(this);
    auxillaryView->setObjectName(QStringLiteral("auxillaryView"));
    auto* aux = new QHBoxLayout(auxillaryView);
    aux->setContentsMargins(0, 0, 0, 0);
    saveButton = OstrelUITintedButton::dialogButton(text("Save"), auxillaryView);
    saveButton->setObjectName(QStringLiteral("saveButton"));
    saveButton->setAutoDefault(false);
    printButton = OstrelUITintedButton::dialogButton(text("Print"), auxillaryView);
    printButton->setObjectName(QStringLiteral("printButton"));
    printButton->setAutoDefault(false);
    aux->addWidget(saveButton);
    aux->addWidget(printButton);
    aux->addStretch(1);
    auxillaryView->hide();
    button = OstrelUITintedButton::dialogButton(text("OK"), this);
    button->setObjectName(QStringLiteral("button"));
    button->setDefault(true);
    OstrelUITintedButton::matchWidths({saveButton, printButton, button});
    layout->addWidget(downloadingView, 1);
    layout->addWidget(PDFView, 1);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(auxillaryView, 1);
    bottom->addWidget(button);
    layout->addLayout(bottom);
    setDialogMargins(*this);
    resize(360, 140);
    connect(button, &QPushButton::clicked, this, guarded([this] { okButtonPressed(); }));
    connect(saveButton, &QPushButton::clicked, this, guarded([this] { save(); }));
    connect(printButton, &QPushButton::clicked, this, guarded([this] { print(); }));
}

OstrelUIEULAController::~OstrelUIEULAController() {
    *alive_ = false;
    cleanupData();
    if (PDFView) PDFView->setDocument(nullptr);
}

std::string OstrelUIEULAController::agreementURL() {
    {
        std::lock_guard lock(urlMutex());
        if (urlOverride()) return *urlOverride();
    }
    return text(kDefaultAgreementURL).toStdString();
}

void OstrelUIEULAController::setAgreementURLOverride(std::optional<std::string> url) {
    std::lock_guard lock(urlMutex());
    urlOverride() = std::move(url);
}

void OstrelUIEULAController::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    windowDidLoad();
}

void OstrelUIEULAController::windowDidLoad() {
    if (started_) return;
    started_ = true;
    pdfData_.clear();
    platform::HttpRequest request(agreementURL());
    request.setTimeoutInterval(60.0);
    std::weak_ptr<bool> alive = alive_;
    platform::HttpTaskHandlers handlers;
    handlers.onComplete = [this, alive](platform::HttpResult result) {
        if (auto a = alive.lock(); !a || !*a) return;
        guarded([&] { finished(std::move(result)); })();
    };
    task_ = platform::HttpClient::shared()->startDataTask(std::move(request),
                                                          platform::MainQueue::shared(), handlers);
}

void OstrelUIEULAController::finished(platform::HttpResult result) {
    if (!task_) return;  // ended meanwhile
    task_.reset();
    const int status = result.response ? result.response->statusCode() : 0;
    // A failed exchange, an error page (404, a portal's login page) or bytes
    // that are no PDF all mean the agreement could not be fetched.
    if (!result.succeeded() || status < 200 || status > 299) {
        failed();
        return;
    }
    pdfData_ = QByteArray(reinterpret_cast<const char*>(result.body.data()),
                          static_cast<qsizetype>(result.body.size()));
    buffer_.close();
    buffer_.setData(pdfData_);
    buffer_.open(QIODevice::ReadOnly);
    auto document = std::make_unique<QPdfDocument>();
    document->load(&buffer_);
    if (document->status() != QPdfDocument::Status::Ready || document->pageCount() < 1) {
        failed();
        return;
    }
    document_ = std::move(document);
    PDFView->setDocument(document_.get());
    showLoaded();
}

void OstrelUIEULAController::showLoaded() {
    // One animation group of 0.33 s: the agreement and its buttons come in,
    // the progress goes, and the window grows to 650 x 500 keeping its top
    // edge and its horizontal centre.
    const QRect frame = geometry();
    const int dx = (650 - frame.width()) / 2;
    const QRect target(frame.x() - dx, frame.y(), 650, 500);
    downloadingView->hide();
    auxillaryView->show();
    PDFView->show();
    button->setText(text("OK"));
    button->setDefault(true);
    loaded_ = true;
    if (group_) group_->stop();
    group_ = new QParallelAnimationGroup(this);
    auto* grow = new QPropertyAnimation(this, "geometry", group_);
    grow->setDuration(scaledMilliseconds(0.33));
    grow->setStartValue(frame);
    grow->setEndValue(target);
    grow->setEasingCurve(QEasingCurve::InOutQuad);
    group_->addAnimation(grow);
    group_->start(QAbstractAnimation::DeleteWhenStopped);
}

void OstrelUIEULAController::failed() {
    cleanupData();
    alertParent_ = parentWidget();
    // End the sheet (its end block runs), then tell the user.
    done(0);
    showEULAErrorAlert();
}

void OstrelUIEULAController::showEULAErrorAlert() {
    auto* alert = new QMessageBox(alertParent_);
    alert->setObjectName(QStringLiteral("EULAErrorAlert"));
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setIcon(QMessageBox::Warning);
    alert->setText(text("Oops..Something went wrong"));
    alert->setInformativeText(
        text("There was a problem downloading the license agreement. Please "
             "check your Internet connection and try again."));
    alert->addButton(OstrelUITintedButton::dialogButton(text("OK")), QMessageBox::AcceptRole);
    setDialogMargins(*alert);
    alert_ = alert;
    alert->open();
}

void OstrelUIEULAController::cleanupData() {
    if (task_) {
        auto task = std::move(task_);
        task->cancel();
    }
}

void OstrelUIEULAController::okButtonPressed() {
    cleanupData();
    done(1);
}

bool OstrelUIEULAController::saveToPath(const QString& path, QString* errorText) {
    if (pdfData_.isEmpty()) return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(pdfData_) != pdfData_.size() ||
        !file.commit()) {
        if (errorText) *errorText = file.errorString();
        return false;
    }
    return true;
}

void OstrelUIEULAController::save() {
    if (!document_) return;
    QString path =
        QFileDialog::getSaveFileName(this, QString(), QString(), QStringLiteral("PDF (*.pdf)"));
    if (path.isEmpty()) return;
    QString error;
    if (saveToPath(path, &error)) return;
    QMessageBox alert(QMessageBox::Warning, QString(), error, QMessageBox::NoButton, this);
    alert.setObjectName(QStringLiteral("EULASaveAlert"));
    alert.addButton(OstrelUITintedButton::dialogButton(text("OK")), QMessageBox::AcceptRole);
    setDialogMargins(alert);
    alert.exec();
}

bool OstrelUIEULAController::printTo(QPrinter& printer) {
    if (!document_) return false;
    printer.setFullPage(true);
    printer.setPageMargins(QMarginsF(0, 0, 0, 0));
    QPainter painter;
    if (!painter.begin(&printer)) return false;
    const QRectF paper = printer.pageRect(QPrinter::DevicePixel);
    const double dpi = printer.resolution();
    for (int page = 0; page < document_->pageCount(); ++page) {
        if (page > 0) printer.newPage();
        QSizeF points = document_->pagePointSize(page);
        QSizeF natural(points.width() * dpi / 72.0, points.height() * dpi / 72.0);
        // Scale down to fit, never up, and never rotate.
        double scale =
            std::min({1.0, paper.width() / natural.width(), paper.height() / natural.height()});
        QSize size = (natural * scale).toSize();
        QImage image = document_->render(page, size);
        painter.drawImage(QPointF(paper.x(), paper.y()), image);
    }
    return painter.end();
}

void OstrelUIEULAController::print() {
    if (!document_) return;
    QPrinter printer(QPrinter::HighResolution);
    QPrintDialog dialog(&printer, this);
    if (dialog.exec() != QDialog::Accepted) return;
    printTo(printer);
}

}  // namespace ostrelui
