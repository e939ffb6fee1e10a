// The opt-in dialog: asks the user to join Fellowguard, centred over the
// installer's window and following it while open. Join is 1, Maybe Later
// (or any other close) 0, and -1 when it cannot run.
#pragma once

#include <QDialog>
#include <QPixmap>
#include <QPointF>
#include <QPointer>
#include <QRectF>
#include <QString>
#include <memory>

class QLabel;
class QPushButton;

namespace platform {
class Bundle;
}

class FellowguardWindowControllerProtocol {
  public:
    virtual ~FellowguardWindowControllerProtocol() = default;
    virtual void learnMore(QObject* sender) = 0;
};

class FellowguardWindowController : public QDialog {
  public:
    FellowguardWindowController(const QString& windowTitle, QWidget* baseWindow,
                                const QString& heading, const QString& message,
                                const QString& okTitle, const QString& laterTitle,
                                const QString& learnMoreTitle,
                                FellowguardWindowControllerProtocol* delegate,
                                const QPixmap& image);
    ~FellowguardWindowController() override;

    // Outlets (object names as here).
    QLabel* imageView = nullptr;
    QLabel* headingText = nullptr;
    QLabel* messageText = nullptr;
    QPushButton* okButton = nullptr;
    QPushButton* laterButton = nullptr;
    QPushButton* learnMoreButton = nullptr;

    QWidget* baseWindow() const { return baseWindow_; }
    /// Runs the dialog modally; its result code.
    int runModal();

    void ok();
    void later();
    void learnMoreClicked();

    /// The top-left point (y down) that centres a rectangle of `top`'s size
    /// in `base`; a coordinate is 0 where `base` is not larger.
    static QPointF optimalPointForBaseRect(const QRectF& base, const QRectF& top);
    /// Places the dialog centred over the base window.
    void followBaseWindow();

    void done(int result) override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void stopObserving();
    QPointer<QWidget> baseWindow_;
    FellowguardWindowControllerProtocol* delegate_ = nullptr;
    bool observing_ = false;
};

class FellowguardUI : public FellowguardWindowControllerProtocol {
  public:
    /// Runs the dialog over `base`; `learnMoreGotClicked` gets whether the
    /// last Learn More opened the page.
    static int runWindowFromBaseWindow(QWidget* base, const QString& productName,
                                       std::shared_ptr<const platform::Bundle> stringsBundle,
                                       const QPixmap& logo, bool* learnMoreGotClicked);

    void learnMore(QObject* sender) override;

    bool learnMoreGotClicked = false;
    bool learnMoreGotLaunched = false;
    std::shared_ptr<const platform::Bundle> stringsBundle;

    /// Called with each dialog once it is shown (tests drive it from here).
    static void setDialogShownHook(std::function<void(FellowguardWindowController&)> hook);
};
