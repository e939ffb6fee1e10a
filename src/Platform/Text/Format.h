// printf-style formatting of the texts the installer logs and shows, with
// object arguments ("%@") and positional arguments ("%1$@").
//
//   platform::format("%s:File doesnt exist at path %@", __func__, path)
//
// Each argument is captured as a small tagged FormatArg; the one formatting
// core (vformat) never reads past the arguments it is given:
//
// - A conversion without an argument (too few arguments, or a position past
//   the end) prints its own directive text unchanged, e.g. "%d" or "%2$@".
// - Arguments that no conversion uses are ignored.
// - A conversion given an argument of another kind prints the argument as
//   "%@" would (its description), with the width and "-" flag applied; for
//   example "%d" given "abc" prints "abc", "%x" given 2.5 prints "2.5".
//   Integers fit every integer conversion and "%c"; numbers of any kind fit
//   the floating conversions.
// - "%s" and "%@" print text: C strings, std::string, string views, and
//   objects with a description(). A null C string or null object prints
//   "(null)". Numbers given to "%@" print in decimal.
// - "%n" is never honoured: it and any unknown conversion are printed as written
//   and use no argument.
// - Length modifiers (h, hh, l, ll, q, j, z, t, L) are accepted and ignored:
//   the argument's own type decides its width. Unsigned and hexadecimal
//   conversions of a negative value use the two's complement at the width of
//   the type that was passed (so "%x" of int -1 is "ffffffff").
// - "*" takes a width or precision from the next argument (or "*N$" from
//   argument N); a missing or non-integer one counts as absent.
// - Positional ("%N$") and sequential conversions may be mixed: sequential
//   conversions take arguments in order, counting only sequential ones.
//
// Numbers never depend on the process locale: the decimal point is always
// "." and there is no digit grouping.
#pragma once

#include <concepts>
#include <cstdarg>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace platform {

namespace format_detail {
template <class T>
concept Describable = requires(const T& t) {
    { t.description() } -> std::convertible_to<std::string>;
};
}  // namespace format_detail

/// One captured argument of format(). Holds references only: it must not
/// outlive the values it was made from (format() uses it within one call).
class FormatArg {
  public:
    enum class Kind { Signed, Unsigned, Real, CString, Text, Pointer, Object };

    // Integers (char, bool and enumerations included) keep their bit width.
    template <class T>
    requires(std::is_integral_v<T>) FormatArg(T v) {
        bits_ = static_cast<unsigned char>(sizeof(T) * 8);
        if constexpr (std::is_signed_v<T>) {
            kind_ = Kind::Signed;
            i_ = static_cast<std::int64_t>(v);
        } else {
            kind_ = Kind::Unsigned;
            u_ = static_cast<std::uint64_t>(v);
        }
    }
    template <class T>
    requires(std::is_enum_v<T>) FormatArg(T v)
        : FormatArg(static_cast<std::underlying_type_t<T>>(v)) {}

    FormatArg(float v) : kind_(Kind::Real), d_(v) {}
    FormatArg(double v) : kind_(Kind::Real), d_(v) {}
    FormatArg(long double v) : kind_(Kind::Real), d_(static_cast<double>(v)) {}

    FormatArg(const char* s) : kind_(Kind::CString), s_(s) {}
    FormatArg(char* s) : kind_(Kind::CString), s_(s) {}
    FormatArg(const std::string& s) : kind_(Kind::Text), s_(s.data()), n_(s.size()) {}
    FormatArg(std::string_view s) : kind_(Kind::Text), s_(s.data()), n_(s.size()) {}
    FormatArg(const std::filesystem::path& p)
        : kind_(Kind::Text), s_(p.c_str()), n_(p.native().size()) {}
    /// A null string pointer prints "(null)".
    FormatArg(const std::string* s)
        : FormatArg(s ? FormatArg(*s) : FormatArg(static_cast<const char*>(nullptr))) {}
    /// An empty optional prints "(null)".
    FormatArg(const std::optional<std::string>& s)
        : FormatArg(s ? FormatArg(*s) : FormatArg(static_cast<const char*>(nullptr))) {}
    FormatArg(std::nullptr_t) : kind_(Kind::Object) {}

    /// Any object with a description(): printed by "%@".
    template <format_detail::Describable T>
    FormatArg(const T& obj) : kind_(Kind::Object), obj_(&obj), describe_(&describeObject<T>) {}
    /// Pointers to such objects; null prints "(null)".
    template <format_detail::Describable T>
    FormatArg(const T* obj)
        : kind_(Kind::Object), obj_(obj), describe_(obj ? &describeObject<T> : nullptr) {}
    template <format_detail::Describable T>
    FormatArg(T* obj) : FormatArg(static_cast<const T*>(obj)) {}
    template <format_detail::Describable T>
    FormatArg(const std::shared_ptr<T>& obj) : FormatArg(static_cast<const T*>(obj.get())) {}

    /// Other pointers: printed by "%p".
    template <class T>
    requires(!format_detail::Describable<T> && !std::is_same_v<std::remove_cv_t<T>, char> &&
             !std::is_same_v<std::remove_cv_t<T>, std::string>) FormatArg(T* p)
        : kind_(Kind::Pointer), p_(reinterpret_cast<std::uintptr_t>(p)) {}

    Kind kind() const { return kind_; }
    /// Bit width of an integer argument.
    unsigned bits() const { return bits_; }
    std::int64_t signedValue() const { return i_; }
    std::uint64_t unsignedValue() const { return u_; }
    double realValue() const { return d_; }
    std::uintptr_t pointerValue() const { return p_; }
    /// The text of a CString or Text argument (CString: null when null).
    const char* textData() const { return s_; }
    std::size_t textSize() const { return n_; }
    bool isNullObject() const { return kind_ == Kind::Object && !describe_; }
    /// The description of an Object argument; "(null)" for a null object.
    std::string describe() const { return describe_ ? describe_(obj_) : std::string("(null)"); }

  private:
    template <class T>
    static std::string describeObject(const void* p) {
        return std::string(static_cast<const T*>(p)->description());
    }

    Kind kind_ = Kind::Object;
    unsigned char bits_ = 64;
    std::int64_t i_ = 0;
    std::uint64_t u_ = 0;
    double d_ = 0;
    std::uintptr_t p_ = 0;
    const char* s_ = nullptr;
    std::size_t n_ = 0;
    const void* obj_ = nullptr;
    std::string (*describe_)(const void*) = nullptr;
};

/// Formats a C printf-style format with its argument list (vsnprintf rules);
/// an invalid format gives "".
std::string printfFormat(const char* format, va_list args);

/// Formats `fmt` with arguments already captured; the rules are those of the
/// file comment. Never throws for any format or argument mix (only when
/// memory runs out).
std::string vformat(std::string_view fmt, std::span<const FormatArg> args);

/// Formats `fmt` with `args`; see the file comment for the conversions and
/// for what mismatched or missing arguments print.
template <class... Args>
std::string format(std::string_view fmt, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
        return vformat(fmt, {});
    } else {
        const FormatArg captured[] = {FormatArg(args)...};
        return vformat(fmt, captured);
    }
}

}  // namespace platform
