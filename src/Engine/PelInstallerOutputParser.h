// Reads the system installer's verbose output, one line at a time, and
// turns it into phase texts, package percents and completion reasons.
// Shared by the in-process installation and the install helper.
#pragma once

#include <functional>
#include <string>

class PelInstallerOutputParser {
  public:
    struct Handlers {
        /// The text after "installer:PHASE:".
        std::function<void(const std::string&)> phase;
        /// The text after "installer:%" (the current package's percent).
        std::function<void(const std::string&)> percent;
        /// The success sentence, or a line telling of an error with every
        /// "installer:" removed.
        std::function<void(const std::string&)> reason;
    };

    explicit PelInstallerOutputParser(Handlers handlers) : handlers_(std::move(handlers)) {}

    /// Handles one line of output.
    void parseProgressString(const std::string& line) const;

    /// `text` with every occurrence of `what` removed.
    static std::string removingAll(std::string text, const std::string& what);

  private:
    Handlers handlers_;
};
