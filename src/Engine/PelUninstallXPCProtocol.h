// What the uninstall client tells the object that shows an uninstallation.
//
// Texts come from the helper; a text that the helper left out is nullopt.
// Phase calls (started, per-package lines, ended) arrive on the client's
// queue; uninstallEndedWithError() arrives on the main queue. Every
// conversation ends with exactly one of uninstallEnded() and
// uninstallEndedWithError().
#pragma once

#include <optional>
#include <string>

class PelUninstallXPCProtocol {
  public:
    using Text = std::optional<std::string>;

    virtual ~PelUninstallXPCProtocol() = default;

    virtual void uninstallStarted() = 0;
    virtual void uninstallEnded() = 0;
    virtual void uninstallEndedWithError() = 0;
    virtual void startedUninstallingPackage(const Text& packageName) = 0;
    virtual void appendToReport(const Text& report, const Text& packageName) = 0;
    virtual void appendError(const Text& error, const Text& packageName) = 0;
};
