// One error report as the library keeps it: a summary record, the attached
// data and a folder on disk holding "summary.vterr", "data.vterr" and one
// file per detail. The base of every error kind.
//
// Folder life cycle (base = the configuration's base directory):
//   new              no folder
//   detail attached  <temporary directory>/vantrel.XXXXXX (0755)
//   save             base/Errors/<bucket %08lx>/<UUID>     (bucket folder 01777)
//   finalize         base/Submissions/<bucket>/<UUID>, final
//   remove           folder deleted, data emptied, bucket id 0
//
// Threads: the data operations (details, parameters, user data,
// enumeration) may run on any thread; they take the data lock. save,
// finalize and remove move the folder and must not run at the same time as
// each other on one error.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/System/SharedFolder.h"
#include "VTErrorCreationLib/VTError.h"
#include "VTErrorCreationLib/VTErrorClient.h"
#include "VTErrorCreationLib/VTErrorData.h"
#include "VTErrorCreationLib/VTErrorProperties.h"

class VTErrorInstance : public VTError {
  public:
    static constexpr std::string_view kArchiveClassName = "VTErrorInstance";
    /// Names of the error's state that an archive of the error leaves out.
    static const std::vector<std::string_view>& uncodableProperties();

    /// Nesting counter that the client's creation gate tests: no error is
    /// made while it is not 0. Atomic; any thread.
    static void inhibitErrorCreationForCurrentProcess();
    static void uninhibitErrorCreationForCurrentProcess();
    static bool isErrorCreationInhibited();

    /// (detailed ? errorsPath : undetailedLogicalErrorsPath)/<bucket>/<UUID>
    /// of the client's configuration; nullopt without a client or a
    /// configuration (or without that path).
    static std::optional<std::string> folderURLForErrorWithBucketID(std::uint64_t bucketID,
                                                                    const VTUUID& uuid,
                                                                    const VTErrorClient* client,
                                                                    bool detailed);

    /// A new error: empty summary and data, the failure type, severity and
    /// creation time set, the failure address when given; no folder yet.
    VTErrorInstance(std::uint64_t failureType, std::int32_t severity,
                    std::shared_ptr<VTErrorClient> client,
                    std::optional<std::uint64_t> address = std::nullopt);
    /// An error that lives in `folder` (nothing is loaded).
    VTErrorInstance(std::string folder, std::shared_ptr<VTErrorClient> client,
                    std::uint64_t openMode);
    /// A loaded error: final when `openMode` is 0.
    VTErrorInstance(VTErrorProperties properties, VTErrorData data, std::string folder,
                    std::shared_ptr<VTErrorClient> client, std::uint64_t openMode);

    /// The loading constructor for an error kind T: null (after logging
    /// "Vantrel could not load error properties (null)") when the record or
    /// the data is missing.
    template <class T = VTErrorInstance>
    static std::shared_ptr<T> loadWithProperties(std::optional<VTErrorProperties> properties,
                                                 std::optional<VTErrorData> data,
                                                 std::string folder,
                                                 std::shared_ptr<VTErrorClient> client,
                                                 std::uint64_t openMode) {
        if (!loadedPartsPresent(properties.has_value(), data.has_value())) return nullptr;
        return std::make_shared<T>(std::move(*properties), std::move(*data), std::move(folder),
                                   std::move(client), openMode);
    }

    /// A new error's temporary folder that was never saved goes with it.
    ~VTErrorInstance() override;
    VTErrorInstance(const VTErrorInstance&) = delete;
    VTErrorInstance& operator=(const VTErrorInstance&) = delete;

    /// Makes the temporary folder. Fails with VTErrorDomain 5010 without a
    /// failure UUID, or with the file-system error.
    bool createErrorDirectory(platform::Error* error);

    // VTError.
    /// Errors: 5002 no UUID or bucket id 0; 5000 no configuration; 5005 the
    /// folder is gone; 5006 the destination exists; 5007 the destination of
    /// a move exists on a later save; 5011 the move failed; the write error
    /// of a file (a failed "data.vterr", or a failed first "summary.vterr",
    /// also removes the error); running as root, the refusal of a shared
    /// folder another user could redirect (platform::SharedFolder). The
    /// summary and data are written before the folder moves, so the folder
    /// appears in its bucket whole; a bucket another user holds makes a root
    /// run save into a bucket of its own beside it (vtfolder::bucketForSaving).
    bool save(platform::Error* error) override;
    std::int64_t collect(platform::Error* error) override;
    /// Errors: 5002, 5005, those of save, 5006, the file-system error.
    bool finalize(platform::Error* error) override;
    /// Errors: 5005 no folder; the reachability or deletion error, in which
    /// case the error keeps its data and bucket id.
    bool remove(platform::Error* error) override;

    bool addParameterDataWithKey(const std::string& key, const std::string& value,
                                 platform::Error* error) override;
    std::int64_t parameterDataCount() const override;
    std::optional<std::string> parameterWithKey(std::string_view key) const override;
    std::int64_t enumerateData(std::span<const std::int64_t> sections, std::uint64_t options,
                               const VTErrorDataIterator& iterator) override;
    /// Errors: an identifier that is not a plain file name (POSIX EINVAL);
    /// those of createErrorDirectory; 5003 data longer than the
    /// configuration's maxFileAttachmentSizeBytes (0: no limit), after which
    /// an earlier detail of that identifier is gone; the write error.
    bool addDetailData(const platform::Data& data, const std::string& identifier,
                       const std::optional<std::string>& description,
                       platform::Error* error) override;
    bool addDetailDataWithAttributes(const platform::Data& data, const std::string& identifier,
                                     const std::optional<platform::Dictionary>& info,
                                     platform::Error* error) override;
    /// As addDetailData, for a copy of the file at `path` (mode 0644); the
    /// info holds the description, "originalPath" and "MIME" when the
    /// extension has a type.
    bool addDetailFileAtURL(const std::string& path, const std::string& identifier,
                            const std::optional<std::string>& description,
                            platform::Error* error) override;
    /// Errors: 5005 no folder; 5001 no such detail; the deletion error.
    bool removeDetailDataWithIdentifier(const std::string& identifier,
                                        platform::Error* error) override;
    std::int64_t detailCount() const override;
    std::optional<platform::Dictionary> infoForDetailDataWithIdentifier(
        std::string_view identifier) const override;
    /// Errors: 5005 no folder; the copy's error (an existing destination is
    /// NSCocoaErrorDomain 516).
    bool writeDetailDataWithIdentifier(const std::string& identifier,
                                       const std::string& destination,
                                       platform::Error* error) override;
    /// Errors: 5001 no such detail, 5002 no folder (both with {"identifier"}).
    bool streamDetailDataWithIdentifier(const std::string& identifier,
                                        std::shared_ptr<VTInputStream>* out,
                                        platform::Error* error) override;
    bool hasPropertiesMatching(const platform::Dictionary& pattern) const override;
    std::optional<std::string> fileURL() const override { return fileURL_; }
    bool isFinal() const override { return final_; }
    platform::Dictionary userData() const override { return data_.userData(); }
    VTErrorProperties& summaryData() override { return properties_; }
    const VTErrorProperties& summaryData() const override { return properties_; }

    // Archiving: only "properties" and "data" are stored.
    std::string_view archiveClassName() const override { return kArchiveClassName; }
    void encodeWithCoder(VTKeyedArchiver& coder) const override;
    bool initWithCoder(VTKeyedUnarchiver& coder, platform::Error* error) override;

    VTErrorProperties& properties() { return properties_; }
    const VTErrorProperties& properties() const { return properties_; }
    void setProperties(VTErrorProperties properties) { properties_ = std::move(properties); }
    VTErrorData& data() { return data_; }
    const VTErrorData& data() const { return data_; }
    void setFileURL(std::optional<std::string> folder) { fileURL_ = std::move(folder); }
    void setFinal(bool final) { final_ = final; }
    bool isFirstSave() const { return firstSave_; }
    void setFirstSave(bool firstSave) { firstSave_ = firstSave; }
    const std::shared_ptr<VTErrorClient>& client() const { return client_; }
    void setClient(std::shared_ptr<VTErrorClient> client) { client_ = std::move(client); }

  protected:
    /// The configuration of the client, or null.
    std::shared_ptr<const VTSCDConfiguration> configuration() const;
    /// addDetailDataWithAttributes with the file's permissions (`mode`, which
    /// it never exceeds, also while being written).
    bool addDetailDataWithMode(const platform::Data& data, const std::string& identifier,
                               const std::optional<platform::Dictionary>& info, mode_t mode,
                               platform::Error* error);

  private:
    static bool loadedPartsPresent(bool properties, bool data);
    bool ensureFolder(platform::Error* error);
    /// Steps shared by the two ways of attaching: a valid identifier, a
    /// folder, the old file and entry gone. The target path, or nullopt.
    std::optional<platform::SharedFolder> prepareDetail(const std::string& identifier,
                                                        platform::Error* error);
    /// The error's folder, opened by descriptor (a root run only opens its
    /// own); VTErrorDomain 5005 without one.
    std::optional<platform::SharedFolder> openFolder(platform::Error* error) const;
    bool writeDataFiles(const platform::SharedFolder& folder, platform::Error* error);
    std::string uuidText() const;

    VTErrorProperties properties_;
    VTErrorData data_;
    std::optional<std::string> fileURL_;
    bool final_ = false;
    bool firstSave_ = true;
    std::shared_ptr<VTErrorClient> client_;
};
