// The exception object of the installer's own code: a name, a reason, a
// user-information dictionary and the call stack of the place where it was
// made. Thrown by value; what() is the reason.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Values/Value.h"

namespace platform {

// Standard exception names.
inline constexpr std::string_view kGenericException = "NSGenericException";
inline constexpr std::string_view kInvalidArgumentException = "NSInvalidArgumentException";
inline constexpr std::string_view kRangeException = "NSRangeException";
inline constexpr std::string_view kInternalInconsistencyException =
    "NSInternalInconsistencyException";

class Exception : public std::exception {
  public:
    /// Captures the current call stack from the code that makes the exception
    /// on (from at most 128 captured frames; none when memory runs out).
    Exception(std::string name, std::string reason, Dictionary userInfo = {});

    const std::string& name() const { return name_; }
    const std::string& reason() const { return reason_; }
    const Dictionary& userInfo() const { return userInfo_; }
    /// The return addresses captured where the exception was made, innermost first.
    const std::vector<std::uintptr_t>& callStackReturnAddresses() const { return addresses_; }
    /// One readable line per return address ("module(symbol+offset) [address]").
    std::vector<std::string> callStackSymbols() const;
    /// The reason, as "%@" prints it.
    const std::string& description() const { return reason_; }
    const char* what() const noexcept override { return reason_.c_str(); }

  protected:
    /// For exceptions that stand for a throw made elsewhere and carry its stack.
    void setCallStackReturnAddresses(std::vector<std::uintptr_t> addresses) {
        addresses_ = std::move(addresses);
    }

  private:
    std::string name_;
    std::string reason_;
    Dictionary userInfo_;
    std::vector<std::uintptr_t> addresses_;
};

}  // namespace platform
