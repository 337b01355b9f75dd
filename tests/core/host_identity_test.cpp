#include "core/host_identity.hpp"
#include "core/settings.hpp"
#include "core/sha256.hpp"
#include "support/test_support.hpp"

#include <fstream>
#include <gtest/gtest.h>
#include <regex>

using namespace pelorn;

namespace {

const std::regex uuidShape("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$");

} // namespace

TEST(HostIdentity, IdsDeriveFromTheHashOfThePrefixedMachineId) {
    auto id = deriveHardwareId("4a1f0c9e2b7d4e8f9a0b1c2d3e4f5a6b");
    auto expected = sha256("pelorn-mac:4a1f0c9e2b7d4e8f9a0b1c2d3e4f5a6b");
    EXPECT_EQ(id, hexLower(expected.data(), expected.size()));
    EXPECT_EQ(deriveDeviceId("0123456789abcdef0123456789abcdef" + std::string(32, '0')),
              "01234567-89AB-CDEF-0123-456789ABCDEF");
    EXPECT_TRUE(std::regex_match(deriveDeviceId(std::nullopt), uuidShape));
    EXPECT_NE(deriveDeviceId("short"), deriveDeviceId("short")); // under 32 characters: random
    EXPECT_FALSE(computerName().empty());
}

TEST(HostIdentity, DeviceIdIsStoredAndRecreatedTheSameFromTheMachineId) {
    test::TempDir dir;
    std::ofstream(dir / "machine-id") << "4a1f0c9e2b7d4e8f9a0b1c2d3e4f5a6b\n";
    Settings settings(dir / "settings.json");
    auto first = HostIdentity(settings, dir / "machine-id").deviceId();
    EXPECT_EQ(settings.string("pelornDeviceId"), first);
    EXPECT_EQ(first, deriveDeviceId(deriveHardwareId("4a1f0c9e2b7d4e8f9a0b1c2d3e4f5a6b")));
    settings.remove("pelornDeviceId");
    EXPECT_EQ(HostIdentity(settings, dir / "machine-id").deviceId(), first);
    settings.set("pelornDeviceId", "AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE"); // a stored one wins
    EXPECT_EQ(HostIdentity(settings, dir / "machine-id").deviceId(), "AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE");
}

TEST(HostIdentity, WithoutAMachineIdTheDeviceIdIsRandomButPersistent) {
    test::TempDir dir;
    Settings settings(dir / "settings.json");
    HostIdentity identity(settings, dir / "missing");
    EXPECT_FALSE(identity.hardwareId());
    EXPECT_TRUE(std::regex_match(identity.deviceId(), uuidShape));
    EXPECT_EQ(HostIdentity(settings, dir / "missing").deviceId(), identity.deviceId());
    std::ofstream(dir / "empty") << "  \n";
    EXPECT_FALSE(readMachineId(dir / "empty"));
}
