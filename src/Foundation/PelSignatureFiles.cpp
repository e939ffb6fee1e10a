// Signed data files and data files with a detached signature.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "Foundation/PelSignature.h"
#include "Foundation/PelSignatureSettings.h"

namespace {

class Descriptor {
  public:
    explicit Descriptor(const char* path)
        // O_NONBLOCK keeps a FIFO put in the file's place from blocking the
        // open; it changes nothing for regular files.
        : fd_(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // Size of the opened regular file; false for anything else.
    bool regularFileSize(std::size_t* size) const {
        struct stat st {};
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return false;
        *size = std::size_t(st.st_size);
        return true;
    }

    // Reads up to `length` bytes; returns how many were read before the end
    // of the file or an error.
    std::size_t read(void* out, std::size_t length) const {
        auto* p = static_cast<char*>(out);
        std::size_t done = 0;
        while (done < length) {
            const ssize_t n = ::read(fd_, p + done, length - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += std::size_t(n);
        }
        return done;
    }

  private:
    int fd_;
};

bool exists(const char* path) {
    struct stat st {};
    return path && ::stat(path, &st) == 0;
}

}  // namespace

PelSignatureStatus PelVerifySignedDataFile(const char* path, std::optional<platform::Data>* data) {
    if (data) data->reset();
    if (!exists(path)) return kPelSignatureFileMissing;
    Descriptor file(path);
    std::size_t size = 0;
    if (!file.isOpen() || !file.regularFileSize(&size) || size > kPelSignatureMaxDataSize)
        return kPelSignatureUnreadable;
    platform::Data bytes;
    try {
        bytes.resize(size);
    } catch (const std::bad_alloc&) {
        return kPelSignatureNoMemory;
    }
    if (file.read(bytes.data(), size) != size) return kPelSignatureUnreadable;
    const PelSignatureStatus status = PelVerifyEmbeddedSignature(
        reinterpret_cast<const char*>(bytes.data()), unsigned(bytes.size()));
    if (status == kPelSignatureValid && data) *data = std::move(bytes);
    return status;
}

PelSignatureStatus PelVerifyDetachedSignatureFile(const char* dataPath, const char* signaturePath) {
    if (!exists(signaturePath)) return kPelSignatureNotFound;
    unsigned char signature[kPelSignatureMaxDetachedSize];
    std::size_t signatureLength = 0;
    {
        Descriptor file(signaturePath);
        if (!file.isOpen() || !file.regularFileSize(&signatureLength))
            return kPelSignatureNoCertificateOrSignature;
        if (signatureLength > kPelSignatureMaxDetachedSize)
            return kPelSignatureNoCertificateOrSignature;
        if (file.read(signature, signatureLength) != signatureLength)
            return kPelSignatureNoCertificateOrSignature;
    }

    if (!exists(dataPath)) return kPelSignatureFileMissing;
    Descriptor file(dataPath);
    std::size_t size = 0;
    if (!file.isOpen() || !file.regularFileSize(&size) || size > kPelSignatureMaxDataSize)
        return kPelSignatureUnreadable;

    const platform::PublicKey* key = PelSignatureVerificationKey();
    if (!key) return kPelSignatureVerifierFailed;

    // The data is read through the descriptor and digested as it comes,
    // rather than mapped: a mapping of a file that another process shortens
    // faults on access, and this way an empty file is simply empty data.
    // What is verified is exactly the `size` bytes the open file had.
    platform::Digester digester(platform::DigestAlgorithm::kSHA1);
    constexpr std::size_t kChunk = 256 * 1024;
    std::unique_ptr<unsigned char[]> chunk(new (std::nothrow) unsigned char[kChunk]);
    if (!chunk) return kPelSignatureNoMemory;
    for (std::size_t remaining = size; remaining > 0;) {
        const std::size_t want = std::min(remaining, kChunk);
        if (file.read(chunk.get(), want) != want) return kPelSignatureUnreadable;
        if (!digester.update(chunk.get(), want)) return kPelSignatureNoMemory;
        remaining -= want;
    }
    platform::Data digest;
    try {
        if (!digester.finish(&digest)) return kPelSignatureNoMemory;
    } catch (const std::bad_alloc&) {
        return kPelSignatureNoMemory;
    }
    return PelSignatureStatusForResult(key->verifyDigest(platform::DigestAlgorithm::kSHA1,
                                                         digest.data(), digest.size(), signature,
                                                         signatureLength));
}
