#include "Platform/Error.h"

#include <cstring>

namespace platform {

Error Error::posix(int code, std::string_view path) {
    Dictionary info{{std::string(kLocalizedDescriptionKey), Value(std::strerror(code))}};
    if (!path.empty()) info.emplace(std::string(kFilePathErrorKey), Value(path));
    return Error(std::string(kPOSIXErrorDomain), code, std::move(info));
}

Error Error::posixForURL(int code, std::string_view url) {
    Dictionary info{{std::string(kLocalizedDescriptionKey), Value(std::strerror(code))}};
    if (!url.empty()) info.emplace(std::string(kURLErrorKey), Value(url));
    return Error(std::string(kPOSIXErrorDomain), code, std::move(info));
}

const Value* Error::userInfoValue(std::string_view key) const {
    auto it = userInfo_.find(key);
    return it == userInfo_.end() ? nullptr : &it->second;
}

const std::vector<Error>* Error::errorsForKey(std::string_view key) const {
    for (const auto& [k, list] : errorLists_)
        if (k == key) return &list;
    return nullptr;
}

void Error::setErrorsForKey(std::string key, std::vector<Error> errors) {
    for (auto& [k, list] : errorLists_) {
        if (k == key) {
            list = std::move(errors);
            return;
        }
    }
    errorLists_.emplace_back(std::move(key), std::move(errors));
}

std::string Error::localizedDescription() const {
    if (auto v = userInfoValue(kLocalizedDescriptionKey); v && v->isString()) return *v->asString();
    return "The operation couldn\u2019t be completed. (" + domain_ + " error " + std::to_string(code_) + ".)";
}

std::string Error::localizedFailureReason() const {
    if (auto v = userInfoValue(kLocalizedFailureReasonErrorKey); v && v->isString()) return *v->asString();
    return {};
}

std::string Error::description() const {
    return "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" + localizedDescription() + "\"";
}

}  // namespace platform
