#include "Platform/Dispatch/DispatchData.h"

namespace platform {

DispatchData::DispatchData(Data bytes) { append(std::make_shared<const Data>(std::move(bytes))); }

void DispatchData::append(Region region) {
    if (!region || region->empty()) return;
    size_ += region->size();
    regions_.push_back(std::move(region));
}

void DispatchData::append(const DispatchData& other) {
    for (const Region& region : other.regions_) append(region);
}

Data DispatchData::contiguous() const {
    Data bytes;
    bytes.reserve(size_);
    for (const Region& region : regions_) bytes.insert(bytes.end(), region->begin(), region->end());
    return bytes;
}

}  // namespace platform
