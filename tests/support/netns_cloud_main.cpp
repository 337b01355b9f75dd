// The main of test programs whose WebRTC peers meet through the cloud emulators: the process moves
// into a network namespace of its own that has only loopback, as netns_main does, and starts both
// emulators there, where its peers can reach them.
#include "support/private_emulators.hpp"
#include "support/webrtc_session.hpp"

#include <cstdio>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // Before any thread exists: threads made later inherit the namespace.
    if (auto why = pelorn::test::enterPrivateNetwork(); !why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) {
        return RUN_ALL_TESTS(); // as the build lists the tests: nothing to start
    }
    pelorn::test::PrivateEmulators emulators;
    return RUN_ALL_TESTS();
}
