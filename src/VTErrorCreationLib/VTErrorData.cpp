#include "VTErrorCreationLib/VTErrorData.h"

#include <utility>

namespace {

constexpr std::string_view kUserDataKey = "userData";
constexpr std::string_view kDetailDataKey = "detailData";
constexpr std::string_view kParameterDataKey = "parameterData";

bool decodeDictionary(VTKeyedUnarchiver& coder, std::string_view key, platform::Dictionary& out,
                      platform::Error* error) {
    std::optional<platform::Value> value;
    if (!coder.decodeValue(key, "NSDictionary", value, error)) return false;
    out = value && value->asDictionary() ? *value->asDictionary() : platform::Dictionary{};
    return true;
}

}  // namespace

VTErrorData::VTErrorData(const VTErrorData& other) {
    auto lock = other.lockData();
    userData_ = other.userData_;
    detailData_ = other.detailData_;
    parameterData_ = other.parameterData_;
}

VTErrorData& VTErrorData::operator=(const VTErrorData& other) {
    if (this == &other) return *this;
    VTErrorData copy(other);
    return *this = std::move(copy);
}

VTErrorData::VTErrorData(VTErrorData&& other) noexcept
    : userData_(std::move(other.userData_)),
      detailData_(std::move(other.detailData_)),
      parameterData_(std::move(other.parameterData_)) {}

VTErrorData& VTErrorData::operator=(VTErrorData&& other) noexcept {
    if (this == &other) return *this;
    std::scoped_lock lock(mutex_, other.mutex_);
    userData_ = std::move(other.userData_);
    detailData_ = std::move(other.detailData_);
    parameterData_ = std::move(other.parameterData_);
    return *this;
}

platform::Dictionary VTErrorData::userData() const {
    auto lock = lockData();
    return userData_;
}

platform::Dictionary VTErrorData::detailData() const {
    auto lock = lockData();
    return detailData_;
}

platform::Dictionary VTErrorData::parameterData() const {
    auto lock = lockData();
    return parameterData_;
}

void VTErrorData::setUserDataValue(std::string key, platform::Value value) {
    auto lock = lockData();
    userData_.insert_or_assign(std::move(key), std::move(value));
}

void VTErrorData::removeUserDataValue(std::string_view key) {
    auto lock = lockData();
    if (auto it = userData_.find(key); it != userData_.end()) userData_.erase(it);
}

void VTErrorData::setDetailInfo(std::string identifier, platform::Dictionary info) {
    auto lock = lockData();
    detailData_.insert_or_assign(std::move(identifier), platform::Value(std::move(info)));
}

void VTErrorData::removeDetailInfo(std::string_view identifier) {
    auto lock = lockData();
    if (auto it = detailData_.find(identifier); it != detailData_.end()) detailData_.erase(it);
}

std::optional<platform::Dictionary> VTErrorData::detailInfo(std::string_view identifier) const {
    auto lock = lockData();
    auto it = detailData_.find(identifier);
    if (it == detailData_.end()) return std::nullopt;
    const platform::Dictionary* info = it->second.asDictionary();
    return info ? *info : platform::Dictionary{};
}

void VTErrorData::setParameter(std::string key, std::string value) {
    auto lock = lockData();
    parameterData_.insert_or_assign(std::move(key), platform::Value(std::move(value)));
}

std::optional<std::string> VTErrorData::parameter(std::string_view key) const {
    auto lock = lockData();
    auto it = parameterData_.find(key);
    if (it == parameterData_.end() || !it->second.isString()) return std::nullopt;
    return *it->second.asString();
}

void VTErrorData::removeAll() {
    auto lock = lockData();
    userData_.clear();
    detailData_.clear();
    parameterData_.clear();
}

void VTErrorData::encodeWithCoder(VTKeyedArchiver& coder) const {
    auto lock = lockData();
    coder.encodeValue(kUserDataKey, platform::Value(userData_));
    coder.encodeValue(kDetailDataKey, platform::Value(detailData_));
    coder.encodeValue(kParameterDataKey, platform::Value(parameterData_));
}

bool VTErrorData::initWithCoder(VTKeyedUnarchiver& coder, platform::Error* error) {
    platform::Dictionary user, detail, parameters;
    if (!decodeDictionary(coder, kUserDataKey, user, error) ||
        !decodeDictionary(coder, kDetailDataKey, detail, error) ||
        !decodeDictionary(coder, kParameterDataKey, parameters, error))
        return false;
    for (const auto& [key, value] : parameters) {
        if (!value.isString()) {
            platform::setError(error,
                               VTKeyedUnarchiver::classMismatch(key, "NSString", "NSObject"));
            return false;
        }
    }
    auto lock = lockData();
    userData_ = std::move(user);
    detailData_ = std::move(detail);
    parameterData_ = std::move(parameters);
    return true;
}
