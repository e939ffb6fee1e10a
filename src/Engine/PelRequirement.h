// One entry of the requirement list: its handler, error record, check kind
// and check value, and the identifiers that tie it to the skip table.
//
// Requirement objects are made once by the factory and never change, so they
// may be shared between threads; runRequirement() reads the system afresh on
// every call and runs on the caller's thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

/// The error record shown when a requirement fails.
class PelIE {
  public:
    /// A record from three texts; the type is normalised to "WARNING" or
    /// "ERROR". Null with error -383 when any text is missing.
    static std::shared_ptr<PelIE> createPelIE(const std::optional<std::string>& title,
                                              const std::optional<std::string>& message,
                                              const std::optional<std::string>& type,
                                              platform::Error* error);
    /// The default record of a hardware check, named after the first of
    /// "MIN_OS", "MAX_OS", "MIN_MEMORY", "MIN_DISK_SPACE" present, of type
    /// "ERROR". Null with error -383 when none of them is present.
    static std::shared_ptr<PelIE> createPelIEWithHardwareDic(const platform::Value& hardware,
                                                             platform::Error* error);
    /// "WARNING" for the text "WARNING", else "ERROR".
    static std::string pelIEType(std::string_view text);

    PelIE(std::string title, std::string message, std::string type)
        : title_(std::move(title)), message_(std::move(message)), type_(std::move(type)) {}

    const std::string& title() const { return title_; }
    const std::string& message() const { return message_; }
    const std::string& type() const { return type_; }
    bool isWarning() const { return type_ == "WARNING"; }
    /// Title and message with nothing between them.
    std::string toString() const { return title_ + message_; }

  private:
    std::string title_;
    std::string message_;
    std::string type_;
};

/// A requirement; each check kind is a subclass that overrides runRequirement().
class PelRequirement {
  public:
    /// Makes the requirement of the kind that `icType` names ("Hardware",
    /// "InstallMatrix", "PartialInstall", "PathCheck", "Misc"). Null with an
    /// error of "InstallErrorDomain" when: there is no type (-387), no
    /// `reqID` (-376), the type is none of the five (-386), an "APP"
    /// requirement has no error record (-384), or there is no check value
    /// (-385). A null Value counts as absent.
    static std::shared_ptr<PelRequirement> createRequirement(
        const std::string& handler, std::shared_ptr<PelIE> pelIE, const platform::Value& skipReqID,
        const std::optional<std::string>& icType, const platform::Value& reqID,
        const platform::Value& icDic, platform::Error* error);

    virtual ~PelRequirement() = default;

    /// True when the requirement is met. The base class answers false.
    virtual bool runRequirement() const { return false; }

    /// "Requirement Type:<handler>\nRequirement Dictionary<check>\nRequirement
    /// Install Exception;<record>".
    std::string toString() const;
    bool isAppHandler() const { return handler_ == "APP"; }

    const std::string& handler() const { return handler_; }
    const std::shared_ptr<PelIE>& pelIE() const { return pelIE_; }
    const std::string& icType() const { return icType_; }
    const platform::Value& icDic() const { return icDic_; }
    const platform::Value& reqID() const { return reqID_; }
    /// Null when the requirement names none.
    const platform::Value& skipReqID() const { return skipReqID_; }

  protected:
    PelRequirement() = default;

  private:
    std::string handler_;
    std::shared_ptr<PelIE> pelIE_;
    std::string icType_;
    platform::Value icDic_;
    platform::Value reqID_;
    platform::Value skipReqID_;
};
