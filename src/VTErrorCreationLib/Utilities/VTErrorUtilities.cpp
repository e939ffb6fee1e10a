#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"

#include <cerrno>

platform::Error VTErrorUtilities::errorWithPOSIXErrorForURL(int code, std::string_view url) {
    return platform::Error::posixForURL(code, url);
}

platform::Error VTErrorUtilities::errorWithPOSIXErrorForPath(int code, std::string_view path) {
    return platform::Error::posix(code, path);
}

platform::Error VTErrorUtilities::errorWithPOSIXErrnoForURL(std::string_view url) {
    return platform::Error::posixForURL(errno, url);
}

platform::Error VTErrorUtilities::errorWithPOSIXErrnoForPath(std::string_view path) {
    return platform::Error::posix(errno, path);
}

platform::Error VTErrorUtilities::errorWithVantrelError(long code) {
    return platform::Error(std::string(VTErrorDomain), code);
}

platform::Error VTErrorUtilities::errorWithVantrelError(long code,
                                                        const std::string* failureUUIDText) {
    platform::Error e = errorWithVantrelError(code);
    if (failureUUIDText)
        e.setUserInfoValue(std::string(VTFailureUUIDKey), platform::Value(*failureUUIDText));
    return e;
}
