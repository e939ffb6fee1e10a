// Bytes as a list of shared, immutable regions: appending adds a region and
// never copies what is already there, and copies of the object share the
// regions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "Platform/Values/Value.h"

namespace platform {

class DispatchData {
  public:
    using Region = std::shared_ptr<const Data>;

    DispatchData() = default;
    /// One region holding `bytes`.
    explicit DispatchData(Data bytes);

    /// Adds `region` at the end (an empty or null region is ignored).
    void append(Region region);
    /// Adds the regions of `other` at the end.
    void append(const DispatchData& other);

    const std::vector<Region>& regions() const { return regions_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    /// All bytes in one buffer (a copy).
    Data contiguous() const;
    /// Calls `visit(bytes, length)` for each region in order; stops when it
    /// returns false. Whether every region was visited.
    template <class Visit>
    bool apply(Visit&& visit) const {
        for (const Region& region : regions_)
            if (!visit(region->data(), region->size())) return false;
        return true;
    }

    friend bool operator==(const DispatchData& a, const DispatchData& b) {
        return a.size_ == b.size_ && a.contiguous() == b.contiguous();
    }

  private:
    std::vector<Region> regions_;
    std::size_t size_ = 0;
};

}  // namespace platform
