#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace pelorn {

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    std::vector<std::string> headers; // "Name: value"
    std::string body;
    std::chrono::seconds timeout{30};
};

struct HttpResponse {
    long status = 0; // 0 when no reply came
    std::string body;
    std::string error; // why no reply came (connection refused, timeout, reply too large); else empty
};

// One request, blocking the calling thread up to the request's timeout; any thread but the host
// loop's. Only http and https, no redirects followed, replies over `maxReplyBytes` abandoned.
constexpr std::size_t maxReplyBytes = 4 << 20;
HttpResponse performHttp(const HttpRequest& request);

using HttpTransport = std::function<HttpResponse(const HttpRequest&)>;

// "name=value&…" with every byte but letters, digits and "-._~" percent-encoded.
std::string formEncode(const std::vector<std::pair<std::string, std::string>>& pairs);
std::string percentEncode(std::string_view text);

} // namespace pelorn
