// Linear scanners for the lines of a kernel panic report. Each accepts
// exactly what its regular expression (quoted above it) accepts and hands
// out the same capture groups, without backtracking: a long line costs time
// in proportion to its length. "\d" is an ASCII digit, "\s" one of tab, line
// feed, form feed, carriage return and space, "[[:print:]]" a printable
// ASCII character or any byte of a multi-byte UTF-8 character, and "." any
// character but a line end.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vtpanic {

/// "^(panic\(cpu \d+ caller [A-Za-z0-9]+\):)([[:print:]]+)": group 2.
std::optional<std::string_view> matchPanicLine(std::string_view line);

/// "^(Darwin Kernel Version) (\d+.\d+.\d+)": group 2.
std::optional<std::string_view> matchKernelVersionLine(std::string_view line);

/// "([a-zA-Z0-9\.]+)(\([a-z0-9.]{3,}\))(\[[A-Za-z0-9]{8}-[A-Za-z0-9]{4}-
/// [A-Za-z0-9]{4}-[A-Za-z0-9]{4}-[A-Za-z0-9]{12}\])@(0x[0-9a-f]*)->(0x[0-9a-f]*)",
/// first match anywhere in the line: groups 1 to 5.
struct KernelExtensionMatch {
    std::string_view identifier, version, uuid, load, end;
};
std::optional<KernelExtensionMatch> matchKernelExtension(std::string_view line);

/// "^(Kernel trap at 0x[A-Fa-f0-9]+), type ([0-9]{1,2})=([a-zA-Z #-]+)":
/// groups 2 and 3.
struct KernelTrapMatch {
    std::string_view type, name;
};
std::optional<KernelTrapMatch> matchKernelTrap(std::string_view text);

/// Every match of "0x[a-fA-F0-9]{4,16}" replaced by "<HEX>".
std::string replaceHexNumbers(std::string_view text);
/// Every match of "\d+\s" replaced by "<NUM> ".
std::string replaceDecimalNumbers(std::string_view text);

/// Whether the line holds a date shaped like "Thu Jun 15 17:36:27 2017" or
/// "Thu Jun 15 17:36:27 PDT 2017" anywhere in it.
bool containsDate(std::string_view line);

}  // namespace vtpanic
