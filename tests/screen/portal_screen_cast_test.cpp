// The desktop portal's screen cast without the owner's answer, against GNOME's own portal on a
// private headless mutter (the host's test holds the approval and its remembered token).
#include "portal/screen_cast_portal.hpp"
#include "support/private_gnome.hpp"

#include <gtest/gtest.h>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

namespace {

// Without the owner's answer the cast does not start, and says why.
TEST(ScreenCastPortal, NoAnswerIsNoCast) {
    PrivateGnome gnome;
    ASSERT_TRUE(gnome.up()) << gnome.log();
    ScreenCastPortal portal(gnome.busAddress());
    auto cast = portal.start("", 3s);
    ASSERT_TRUE(std::holds_alternative<std::string>(cast));
    EXPECT_EQ(std::get<std::string>(cast), "the desktop portal did not answer to share the screen");
}

} // namespace
