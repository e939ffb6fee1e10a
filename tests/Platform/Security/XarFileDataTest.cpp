#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <optional>
#include <string>

#include "Platform/Security/XarReader.h"
#include "pelsign/XarWriter.h"

namespace {

using devsign::Data;
using platform::XarArchive;

Data zlibCompressed(const std::string& text) {
    uLongf length = compressBound(uLong(text.size()));
    Data out(length);
    compress(out.data(), &length, reinterpret_cast<const Bytef*>(text.data()), uLong(text.size()));
    out.resize(length);
    return out;
}

// An archive of one file "f" holding `stored`, with its table of contents
// edited by `edit`, and the heap byte at `flip` (when given) changed after
// the checksum was taken.
Data archiveOf(const Data& stored, const std::function<void(std::string&)>& edit,
               std::optional<std::size_t> flip = std::nullopt) {
    devsign::XarOptions options;
    options.files = {{"f", stored}};
    devsign::XarLayout layout = devsign::layoutXar(options);
    edit(layout.tocXml);
    if (flip) layout.heap[layout.heap.size() - stored.size() + *flip] ^= 1;
    return devsign::assembleXar(layout);
}

void replace(std::string& text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
}

TEST(XarFileData, StoredAndGzipDataComeOutWholeAndDamageIsCaught) {
    const std::string text(100000, 'x');
    const Data gz = zlibCompressed(text);
    const std::string gzipStyle = "application/x-gzip";
    auto asGzip = [&](std::size_t extracted) {
        return [=](std::string& toc) {
            replace(toc, "application/octet-stream", gzipStyle);
            replace(toc, "<size>" + std::to_string(gz.size()) + "</size>",
                    "<size>" + std::to_string(extracted) + "</size>");
        };
    };
    Data cut(gz.begin(), gz.begin() + gz.size() / 2);
    struct Case {
        const char* what;
        Data archive;
        std::optional<std::string> expected;  // nullopt: the copy fails
    } cases[] = {
        {"stored", archiveOf(Data(text.begin(), text.end()), [](std::string&) {}), text},
        {"gzip", archiveOf(gz, asGzip(text.size())), text},
        {"gzip longer than its size", archiveOf(gz, asGzip(text.size() - 1)), std::nullopt},
        {"checksum mismatch", archiveOf(gz, asGzip(text.size()), 3), std::nullopt},
        {"cut short",
         archiveOf(cut,
                   [&](std::string& toc) { replace(toc, "application/octet-stream", gzipStyle); }),
         std::nullopt},
        {"unknown encoding",
         archiveOf(gz,
                   [](std::string& toc) {
                       replace(toc, "application/octet-stream", "application/x-bzip2");
                   }),
         std::nullopt},
    };
    for (const auto& c : cases) {
        platform::Error error;
        auto archive = XarArchive::openData(c.archive, &error);
        ASSERT_TRUE(archive) << c.what << ": " << error.description();
        const auto* file = archive->fileNamed("f");
        ASSERT_NE(file, nullptr) << c.what;
        std::string out;
        const bool ok = archive->copyFileData(
            *file,
            [&](const std::uint8_t* b, std::size_t n) {
                out.append(reinterpret_cast<const char*>(b), n);
                return true;
            },
            &error);
        EXPECT_EQ(ok, c.expected.has_value()) << c.what;
        if (ok) {
            EXPECT_EQ(out, *c.expected) << c.what;
        } else {
            EXPECT_EQ(error.domain(), platform::kXarErrorDomain) << c.what;
        }
    }
}

TEST(XarFileData, ASinkThatRefusesStopsTheCopy) {
    auto archive = XarArchive::openData(archiveOf(Data(10, 'a'), [](std::string&) {}));
    ASSERT_TRUE(archive);
    platform::Error error;
    EXPECT_FALSE(archive->copyFileData(
        *archive->fileNamed("f"), [](const std::uint8_t*, std::size_t) { return false; }, &error));
    EXPECT_EQ(archive->fileNamed("g"), nullptr);
}

}  // namespace
