#include "mkpkg/MkPkg.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace mkpkg {

namespace {

Data bytes(const std::string& text) { return Data(text.begin(), text.end()); }

std::string escapeXml(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::vector<devsign::XarEntry> componentFiles(const Component& component,
                                              const std::string& prefix) {
    std::vector<devsign::XarEntry> files;
    files.push_back({prefix + "PackageInfo", bytes(packageInfo(component))});
    files.push_back({prefix + "Payload", buildPayload(component.payload, component.tarPayload)});
    for (const auto& extra : component.extraFiles)
        files.push_back({prefix + extra.name, extra.contents});
    return files;
}

}  // namespace

std::vector<PayloadEntry> entriesFromFolder(const std::string& folder) {
    namespace fs = std::filesystem;
    std::vector<PayloadEntry> entries;
    std::vector<fs::path> paths;
    for (const auto& item : fs::recursive_directory_iterator(folder)) paths.push_back(item.path());
    std::sort(paths.begin(), paths.end());
    for (const auto& path : paths) {
        PayloadEntry entry;
        entry.name = "./" + path.lexically_relative(folder).generic_string();
        const auto status = fs::symlink_status(path);
        entry.mode = static_cast<unsigned>(status.permissions()) & 07777;
        if (fs::is_symlink(status)) {
            entry.kind = PayloadEntry::Kind::Symlink;
            entry.linkTarget = fs::read_symlink(path).string();
        } else if (fs::is_directory(status)) {
            entry.kind = PayloadEntry::Kind::Directory;
        } else if (fs::is_regular_file(status)) {
            std::ifstream in(path, std::ios::binary);
            entry.contents.assign(std::istreambuf_iterator<char>(in), {});
        } else {
            throw std::runtime_error("cannot package " + path.string());
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

Data buildPayload(const std::vector<PayloadEntry>& entries, bool tar) {
    archive* writer = archive_write_new();
    if (tar)
        archive_write_set_format_pax_restricted(writer);
    else
        archive_write_set_format_cpio_odc(writer);
    archive_write_add_filter_gzip(writer);
    Data out;
    archive_write_open(
        writer, &out, nullptr,
        [](archive*, void* client, const void* buffer, size_t length) -> la_ssize_t {
            auto* data = static_cast<Data*>(client);
            const auto* b = static_cast<const std::uint8_t*>(buffer);
            data->insert(data->end(), b, b + length);
            return la_ssize_t(length);
        },
        nullptr);
    unsigned inode = 1;
    for (const PayloadEntry& e : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.name.c_str());
        archive_entry_set_uid(entry, 0);
        archive_entry_set_gid(entry, 0);
        archive_entry_set_mtime(entry, 1700000000, 0);
        archive_entry_set_ino(entry, inode++);
        archive_entry_set_nlink(entry, 1);
        archive_entry_set_size(entry, 0);
        switch (e.kind) {
            case PayloadEntry::Kind::File:
                archive_entry_set_filetype(entry, AE_IFREG);
                archive_entry_set_size(entry, la_int64_t(e.contents.size()));
                break;
            case PayloadEntry::Kind::Directory:
                archive_entry_set_filetype(entry, AE_IFDIR);
                break;
            case PayloadEntry::Kind::Symlink:
                archive_entry_set_filetype(entry, AE_IFLNK);
                archive_entry_set_symlink(entry, e.linkTarget.c_str());
                break;
            case PayloadEntry::Kind::Hardlink:
                archive_entry_set_filetype(entry, AE_IFREG);
                archive_entry_set_hardlink(entry, e.linkTarget.c_str());
                break;
            case PayloadEntry::Kind::CharDevice:
                archive_entry_set_filetype(entry, AE_IFCHR);
                archive_entry_set_rdev(entry, makedev(1, 3));
                break;
            case PayloadEntry::Kind::Fifo:
                archive_entry_set_filetype(entry, AE_IFIFO);
                break;
        }
        archive_entry_set_perm(entry, e.mode);
        if (archive_write_header(writer, entry) != ARCHIVE_OK) {
            const std::string why =
                archive_error_string(writer) ? archive_error_string(writer) : "";
            archive_entry_free(entry);
            archive_write_free(writer);
            throw std::runtime_error("cannot archive " + e.name + ": " + why);
        }
        if (e.kind == PayloadEntry::Kind::File && !e.contents.empty())
            archive_write_data(writer, e.contents.data(), e.contents.size());
        archive_entry_free(entry);
    }
    archive_write_close(writer);
    archive_write_free(writer);
    return out;
}

std::string packageInfo(const Component& component) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<pkg-info format-version=\"2\" "
           "identifier=\"" +
           escapeXml(component.identifier) + "\" version=\"" + escapeXml(component.version) +
           "\" install-location=\"" + escapeXml(component.installLocation) +
           "\" auth=\"root\">\n  <payload numberOfFiles=\"" +
           std::to_string(component.payload.size()) + "\"/>\n</pkg-info>\n";
}

Data buildComponentPackage(const Component& component, const devsign::XarSigning& signing) {
    devsign::XarOptions options;
    options.files = componentFiles(component, "");
    options.signing = signing;
    return devsign::buildXar(options);
}

Data buildDistributionPackage(const std::string& title, const std::vector<Component>& components,
                              const devsign::XarSigning& signing) {
    std::string distribution =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<installer-gui-script minSpecVersion=\"2\">\n"
        "  <title>" +
        escapeXml(title) + "</title>\n";
    for (const auto& c : components)
        distribution += "  <pkg-ref id=\"" + escapeXml(c.identifier) + "\">#" +
                        escapeXml(c.identifier) + ".pkg</pkg-ref>\n";
    distribution += "</installer-gui-script>\n";
    devsign::XarOptions options;
    options.files.push_back({"Distribution", bytes(distribution)});
    for (const auto& c : components) {
        auto files = componentFiles(c, c.identifier + ".pkg/");
        options.files.insert(options.files.end(), files.begin(), files.end());
    }
    options.signing = signing;
    return devsign::buildXar(options);
}

}  // namespace mkpkg
