// What the dynamic loader knows about the loaded image (executable or shared
// library) that holds a code address, and which images belong to the system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "VTErrorCreationLib/VTUUID.h"

struct VTImageInformation {
    /// The image's file: the real path of the main program, the loader's path
    /// of a library; "" for an image without a file (the kernel's vDSO).
    std::string path;
    /// Where the image begins in memory: the start of its first loaded
    /// segment, which holds the ELF header (the counterpart of a Mach-O
    /// image's "__TEXT" segment). Offsets in the image count from here.
    std::uintptr_t imageBase = 0;
    /// The nearest symbol at or below the address, when the loader has one.
    std::optional<std::string> symbolName;
    std::uintptr_t symbolAddress = 0;
    /// The image's identity: the first 16 bytes of its GNU build-id note
    /// (zero-filled when shorter), when it has one.
    std::optional<VTUUID> buildID;
};

/// The image whose loaded segments contain `address`. False when no loaded
/// image holds it. Reads only the loader's tables and the images' mapped
/// headers.
bool VTImageInformationForAddress(std::uintptr_t address, VTImageInformation* info);

/// Whether an image at `path` is part of the operating system rather than of
/// a product: a library in the system's library folders (/lib, /lib64,
/// /usr/lib, ... and their multiarch subfolders), also through symbolic
/// links, or an image without a file. Programs, wherever they are installed
/// (/usr/bin included), and libraries elsewhere are not.
bool VTIsSystemImagePath(std::string_view path);
