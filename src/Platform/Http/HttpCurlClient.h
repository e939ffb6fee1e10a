// The HttpClient over libcurl.
//
// All transfers of one client run on a single libcurl multi handle driven by
// one thread of the client's own (not a thread per request); connections to
// the same host are reused between transfers. The transfer thread never runs
// caller code: responses, progress and completions are posted to the queue
// each transfer names. Time-outs are idle time-outs measured by that thread.
#pragma once

#include <memory>

#include "Platform/Http/HttpClient.h"

namespace platform {

class CurlEngine;

class CurlHttpClient : public HttpClient {
  public:
    /// Starts the transfer thread.
    CurlHttpClient();
    /// Cancels every transfer still running (their completions are posted
    /// with kURLErrorCancelled) and joins the transfer thread.
    ~CurlHttpClient() override;
    CurlHttpClient(const CurlHttpClient&) = delete;
    CurlHttpClient& operator=(const CurlHttpClient&) = delete;

    HttpTaskPtr startDataTask(HttpRequest request, DispatchQueuePtr queue,
                              HttpTaskHandlers handlers) override;
    HttpTaskPtr startDownloadTask(HttpRequest request, HttpDownloadTarget target,
                                  DispatchQueuePtr queue, HttpTaskHandlers handlers) override;

  private:
    std::shared_ptr<CurlEngine> engine_;
};

}  // namespace platform
