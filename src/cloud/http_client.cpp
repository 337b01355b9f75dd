#include "cloud/http_client.hpp"

#include <curl/curl.h>
#include <memory>
#include <mutex>

namespace pelorn {

namespace {

struct Reply {
    std::string body;
    bool tooLarge = false;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
    auto* reply = static_cast<Reply*>(user);
    std::size_t bytes = size * count;
    if (reply->body.size() + bytes > maxReplyBytes) {
        reply->tooLarge = true;
        return 0; // abandons the transfer
    }
    reply->body.append(data, bytes);
    return bytes;
}

} // namespace

HttpResponse performHttp(const HttpRequest& request) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) {
        return {0, {}, "the HTTP client could not start"};
    }
    CURL* c = curl.get();
    Reply reply;
    curl_slist* headers = nullptr;
    for (const auto& header : request.headers) {
        headers = curl_slist_append(headers, header.c_str());
    }
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> ownedHeaders(headers, &curl_slist_free_all);
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, static_cast<long>(request.timeout.count()));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
    if (request.method == "POST") {
        curl_easy_setopt(c, CURLOPT_POST, 1L);
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.body.data());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    } else if (request.method != "GET") {
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        if (!request.body.empty()) {
            curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.body.data());
            curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        }
    }
    CURLcode code = curl_easy_perform(c);
    HttpResponse response;
    if (reply.tooLarge) {
        response.error = "the reply was larger than " + std::to_string(maxReplyBytes) + " bytes";
        return response;
    }
    if (code != CURLE_OK) {
        response.error = *errorText ? errorText : curl_easy_strerror(code);
        return response;
    }
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &response.status);
    response.body = std::move(reply.body);
    return response;
}

std::string percentEncode(std::string_view text) {
    // libcurl's escaping leaves exactly the unreserved characters as they are.
    std::unique_ptr<char, decltype(&curl_free)> escaped(
        curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size())), &curl_free);
    return escaped ? std::string(escaped.get()) : std::string();
}

std::string formEncode(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string out;
    for (const auto& [name, value] : pairs) {
        if (!out.empty()) {
            out += '&';
        }
        out += percentEncode(name) + "=" + percentEncode(value);
    }
    return out;
}

} // namespace pelorn
