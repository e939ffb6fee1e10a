// Base class of the installer's screens.
#pragma once

#include <QColor>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

namespace ostrelui {

/// A screen: its titles, breadcrumb settings and optional top-bar control.
/// Subclasses must override handleQuitWasCancelled() and goBack(); the base
/// versions throw platform::Exception "NSInternalInconsistencyException".
/// Main thread only.
class OstrelUIViewController : public QWidget {
  public:
    explicit OstrelUIViewController(QWidget* parent = nullptr);

    bool showsInBreadcrumbs() const { return showsInBreadcrumbs_; }
    void setShowsInBreadcrumbs(bool v) { showsInBreadcrumbs_ = v; }
    bool showsHelp() const { return showsHelp_; }
    void setShowsHelp(bool v) { showsHelp_ = v; }
    const QString& longTitle() const { return longTitle_; }
    void setLongTitle(const QString& v) { longTitle_ = v; }
    const QString& shortTitle() const { return shortTitle_; }
    void setShortTitle(const QString& v) { shortTitle_ = v; }
    const QStringList& titleComponents() const { return titleComponents_; }
    void setTitleComponents(const QStringList& v) { titleComponents_ = v; }
    const QColor& crumbColor() const { return crumbColor_; }
    void setCrumbColor(const QColor& v) { crumbColor_ = v; }
    bool wantsTopViewControl() const { return wantsTopViewControl_; }
    void setWantsTopViewControl(bool v) { wantsTopViewControl_ = v; }
    QWidget* topControlView() const { return topControlView_; }
    void setTopControlView(QWidget* v) { topControlView_ = v; }

    /// Called when the user cancelled quitting. Throws in the base class.
    virtual void handleQuitWasCancelled();
    /// Goes back one screen. Throws in the base class (never returns there).
    virtual bool goBack();

  private:
    bool showsInBreadcrumbs_ = true;
    bool showsHelp_ = false;
    QString longTitle_;
    QString shortTitle_;
    QStringList titleComponents_;
    QColor crumbColor_;
    bool wantsTopViewControl_ = false;
    QPointer<QWidget> topControlView_;
};

}  // namespace ostrelui
