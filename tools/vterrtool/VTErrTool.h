// The commands of vterrtool, callable from tests.
//
//   vterrtool make --base B
//       makes a logical error with a few details and saves it under B
//   vterrtool pack --error DIR --out F.7z [--store]
//       packs the saved error in DIR as its payload (LZMA2, or stored)
//   vterrtool unpack F.7z DIR
//       unpacks a payload into a new folder inside DIR and opens the error
//   vterrtool list --base B
//       the saved errors under B's "Errors" and "Submissions"; error folders
//       that cannot be opened (no, an empty or a damaged summary or data)
//       are named with the reason on the error stream
//   vterrtool clean --base B
//       removes those damaged error folders
//   vterrtool submit --base B [--gateway URL] [--upload-gateway URL]
//       one submission session over them; the delegate calls as JSON lines,
//       then one line per error with its result on the error stream; fails
//       when any error was not delivered (result other than 2 or 7)
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace vterrtool {

/// Runs one command (`args` without the program name); the exit status:
/// 0 done, 1 failed, 2 bad usage. Results go to `out`, problems to `err`.
int run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace vterrtool
