// One POST to a web hook, over HTTP or HTTPS, within a deadline: for a
// thread of its own that may wait. TLS is verified against the system's
// certificate authorities (or a CA file) and the URL's host name.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/config/endpoints.h"

namespace boost::asio {
class io_context;
}

struct PostAnswer {
    int status = 0;     // the HTTP status; 0: none came
    std::string error;  // why none came (not reached, TLS refused, the deadline, cancelled)
    std::string body;   // the answer's first bytes, for a refusal's reason

    bool Delivered() const { return error.empty() && status >= 200 && status < 300; }
    // Sending the same again cannot help: the receiver refused what was sent.
    bool Refused() const { return error.empty() && status >= 400 && status < 500 && status != 408 && status != 429; }
    std::string Text() const;  // "HTTP 500: ...", or the error
};

class WebPoster {
public:
    // Throws std::runtime_error when the CA file cannot be read.
    WebPoster(WebUrl url, const std::string& ca_file, std::chrono::milliseconds deadline);

    PostAnswer Post(const std::string& content_type, const std::vector<std::pair<std::string, std::string>>& headers,
                    const std::string& body);
    // From any thread: a post under way ends now, and every later one at once.
    void Cancel();

private:
    struct Tls;
    const WebUrl url_;
    const std::string ca_file_;
    const std::chrono::milliseconds deadline_;
    std::mutex running_mutex_;   // guards running_ and cancelled_
    boost::asio::io_context* running_ = nullptr;  // the post under way's
    bool cancelled_ = false;
};
