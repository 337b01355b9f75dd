#pragma once

// Google's OAuth endpoints for tests: fake_google_oauth.py on a loopback port.
#include "cloud/cloud_config.hpp"
#include "cloud/http_client.hpp"
#include "support/private_servers.hpp"

#include <gtest/gtest.h>
#include <string>

namespace pelorn::test {

struct FakeGoogle {
    static constexpr const char* clientId = "42-pelorn.apps.googleusercontent.com";
    static constexpr const char* clientSecret = "GOCSPX-test-secret";

    ReadyProcess process{
        {"python3", PELORN_TESTS_DIR "/support/fake_google_oauth.py", clientId, clientSecret}, "--ready-fd"};
    std::string base = "http://127.0.0.1:" + process.answer();

    std::string authorize() const { return base + "/o/oauth2/v2/auth"; }
    std::string token() const { return base + "/token"; }
    std::string userInfo() const { return base + "/oauth2/v2/userinfo"; }
    // What the next consent page does: JSON {"deny", "noIdToken", "noName", "email", "name", "sub",
    // "badProfile"}.
    void next(const std::string& plan) const {
        ASSERT_EQ(performHttp({"POST", base + "/_test/next", {}, plan}).status, 204);
    }
};

} // namespace pelorn::test
