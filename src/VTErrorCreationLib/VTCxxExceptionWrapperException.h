// An uncaught native exception seen as a platform exception, so that the
// uncaught-exception road (and the crash report it writes) shows the type,
// the text and the stack of the throw.
#pragma once

#include <cstdint>
#include <vector>

#include "Platform/Values/Exception.h"
#include "VTErrorCreationLib/VTCxxException.h"

class VTCxxExceptionWrapperException : public platform::Exception {
  public:
    /// Name: the demangled type name (the raw name when it does not demangle,
    /// "" without one); reason: the description or ""; no user information;
    /// call stack: the record's frames in order. Keeps `info`, which is valid
    /// only while the terminate handler's handlers run.
    explicit VTCxxExceptionWrapperException(VTCxxExceptionInfo* info);

    /// The record the exception was made from.
    VTCxxExceptionInfo* cxxExceptionInfo() const { return info_; }

  private:
    VTCxxExceptionInfo* info_;
};
