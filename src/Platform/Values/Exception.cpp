#include "Platform/Values/Exception.h"

#include <execinfo.h>

#include <cstdlib>
#include <memory>

namespace platform {

Exception::Exception(std::string name, std::string reason, Dictionary userInfo)
    : name_(std::move(name)), reason_(std::move(reason)), userInfo_(std::move(userInfo)) {
    constexpr int kMaxFrames = 128;
    void* frames[kMaxFrames];
    int n = ::backtrace(frames, kMaxFrames);
    // The stack starts where the exception is made, not in this constructor
    // (nor in a sanitizer's wrapper of backtrace): a failure report locates
    // the failure by its first frame.
    int first = 0;
    void* const maker = __builtin_return_address(0);
    while (first < n && frames[first] != maker) ++first;
    if (first == n) first = 0;
    try {
        addresses_.reserve(static_cast<std::size_t>(n > first ? n - first : 0));
        for (int i = first; i < n; ++i)
            addresses_.push_back(reinterpret_cast<std::uintptr_t>(frames[i]));
    } catch (const std::bad_alloc&) {
        addresses_.clear();  // an exception without a stack beats none at all
    }
}

std::vector<std::string> Exception::callStackSymbols() const {
    std::vector<std::string> out;
    if (addresses_.empty()) return out;
    std::vector<void*> frames;
    frames.reserve(addresses_.size());
    for (auto a : addresses_) frames.push_back(reinterpret_cast<void*>(a));
    std::unique_ptr<char*, decltype(&std::free)> symbols(
        ::backtrace_symbols(frames.data(), static_cast<int>(frames.size())), &std::free);
    if (!symbols) return out;
    out.reserve(frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i)
        out.emplace_back(symbols.get()[i] ? symbols.get()[i] : "");
    return out;
}

}  // namespace platform
