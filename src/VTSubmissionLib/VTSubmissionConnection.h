// The exchange of one error with the gateways of one type: the gateways in
// priority order, fail-over to the next one on time-outs and unreachable
// hosts, the common headers, and the hand-over of the answer. The error
// ping is the first kind of exchange; the payload upload
// (VTSubmissionUpload.h) the second.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Platform/Http/HttpClient.h"
#include "VTErrorCreationLib/VTGateway.h"
#include "VTSubmissionLib/VTServerSubmission.h"

inline constexpr const char* kVTSubmissionUserAgent = "Ostrel QMError Mac/2.0";
/// Largest gateway answer that is read.
inline constexpr std::uint64_t kVTMaximumPingResponseLength = 10485760;

class VTSubmissionConnection : public std::enable_shared_from_this<VTSubmissionConnection> {
  public:
    /// Gets (response or none, body, error or empty); called once per
    /// exchange, on the main queue, or on the thread calling cancel().
    using CompletionCallback = std::function<void(const std::optional<platform::HttpResponse>&,
                                                  const platform::Data&, const platform::Error&)>;

    VTSubmissionConnection(std::shared_ptr<VTServerSubmission> submission, std::int32_t type,
                           VTSubmissionContext context);
    virtual ~VTSubmissionConnection();
    VTSubmissionConnection(const VTSubmissionConnection&) = delete;
    VTSubmissionConnection& operator=(const VTSubmissionConnection&) = delete;

    /// Opens the first usable gateway; false with VTErrorDomain 5000 when
    /// none is left.
    bool start(platform::Error* error);
    /// Stops the exchange in flight and calls the callback once with
    /// kURLErrorCancelled (unless it was called already).
    void cancel();

    std::optional<VTGateway> currentGateway() const;
    const std::vector<VTGateway>& gateways() const { return gateways_; }
    std::int64_t serverIndex() const;
    std::int32_t type() const { return type_; }
    /// Ignored once the exchange has ended (or was cancelled).
    void setCompletionCallback(CompletionCallback callback);

    /// The request for one gateway; null when it cannot be built.
    virtual std::optional<platform::HttpRequest> requestForServerGateway(const VTGateway& gateway);
    /// Called before each connection; false stops the exchange.
    virtual bool prepareRequest(platform::HttpRequest& request, bool startNow);

    /// "http(s)://host[:port]/URI" of a gateway.
    static std::string urlForGateway(const VTGateway& gateway);

  protected:
    /// A complete exchange; the base hands it to the callback.
    virtual void connectionDidFinishLoading(const platform::HttpResponse& response,
                                            platform::Data body);
    /// A failed exchange: fails over on the codes that allow it, else reports.
    void connectionDidFailWithError(platform::Error error);
    /// Calls the callback, once.
    void deliver(const std::optional<platform::HttpResponse>& response, const platform::Data& body,
                 const platform::Error& error);
    /// Lets go of what a request needed (the upload's body).
    virtual void stop() {}

    const std::shared_ptr<VTServerSubmission>& submission() const { return submission_; }
    const VTSubmissionContext& context() const { return context_; }

  private:
    bool nextGateway();
    void handleResult(std::uint64_t generation, platform::HttpResult result);

    const std::shared_ptr<VTServerSubmission> submission_;
    const std::int32_t type_;
    const VTSubmissionContext context_;
    std::vector<VTGateway> gateways_;

    mutable std::mutex mutex_;
    std::int64_t serverIndex_ = 0;
    std::uint64_t generation_ = 0;
    bool delivered_ = false;
    platform::HttpTaskPtr task_;
    CompletionCallback callback_;
};

/// The error ping: a form of the error's summary, posted to a ping gateway.
class VTSubmissionPing : public VTSubmissionConnection {
  public:
    VTSubmissionPing(std::shared_ptr<VTServerSubmission> submission, VTSubmissionContext context);

    std::optional<platform::HttpRequest> requestForServerGateway(const VTGateway& gateway) override;

    /// The form fields in order; nullopt when the summary's product version
    /// is no version. Also adds the uptime and thread entries to the
    /// error's parameters.
    std::optional<std::vector<std::pair<std::string, std::string>>> formFields();
    /// The "X-User-Defined" value ("" without parameters).
    std::string userDefinedHeader();

  protected:
    void connectionDidFinishLoading(const platform::HttpResponse& response,
                                    platform::Data body) override;
};

/// The fields joined as an application/x-www-form-urlencoded text.
std::string VTFormBody(const std::vector<std::pair<std::string, std::string>>& fields);
