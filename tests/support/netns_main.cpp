// The main of test programs whose peers talk over the network: the whole process moves first into
// a network namespace of its own that has only loopback, so nothing it sends can leave the
// machine, whatever addresses its ICE agents find. Needs root, as CI and scripts/test-env run.
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
    return RUN_ALL_TESTS();
}
