// Errors of the downloader: domain "FSDErrorDomain", a negative code and the
// message under "FSDErrorInformation".
#pragma once

#include <string_view>

#include "Platform/Values/Error.h"

inline constexpr std::string_view kFSDErrorDomain = "FSDErrorDomain";
inline constexpr std::string_view kFSDErrorInformationKey = "FSDErrorInformation";

/// Codes of "FSDErrorDomain".
enum FSDErrorCode : long {
    kFSDErrorTooManyJobs = -84,
    kFSDErrorTransfer = -85,
    kFSDErrorNoJobs = -86,
    kFSDErrorJobOrFile = -87,
    kFSDErrorStart = -88,
    kFSDErrorNoValidJobs = -89,
    kFSDErrorDownloadFolder = -90,
    kFSDErrorCreateDownloader = -91,
    kFSDErrorUnzip = -92,
    kFSDErrorSetupInstallerDownload = -93,
    kFSDErrorSetupInstallerRequest = -94,
    kFSDErrorSetupInstallerURL = -95,
    kFSDErrorNoSetupInstaller = -96,
    kFSDErrorManifestParse = -97,
    kFSDErrorManifestVerify = -98,
    kFSDErrorUnpack = -99,
    kFSDErrorOpenZip = -100,
};

/// An "FSDErrorDomain" error with `message` under "FSDErrorInformation" and,
/// when given, `underlying` as its underlying error.
platform::Error makeFSDError(long code, std::string_view message,
                             const platform::Error* underlying = nullptr);

/// The message of an "FSDErrorDomain" error, or "" when it has none.
std::string fsdErrorMessage(const platform::Error& error);
