#include "Downloader/FSDError.h"

platform::Error makeFSDError(long code, std::string_view message,
                             const platform::Error* underlying) {
    platform::Dictionary info;
    info.insert_or_assign(std::string(kFSDErrorInformationKey),
                          platform::Value(std::string(message)));
    platform::Error error(std::string(kFSDErrorDomain), code, std::move(info));
    if (underlying && !underlying->empty()) error.setUnderlyingError(*underlying);
    return error;
}

std::string fsdErrorMessage(const platform::Error& error) {
    const platform::Value* v = error.userInfoValue(kFSDErrorInformationKey);
    return v && v->isString() ? *v->asString() : std::string();
}
