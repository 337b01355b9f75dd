#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

namespace pelorn {

class Settings;

// The identifiers every channel shares: `hardwareId`, derived from the machine id, and
// `deviceId`, stored so that it survives launches.
class HostIdentity {
public:
    static constexpr const char* deviceIdKey = "pelornDeviceId";

    HostIdentity(Settings& settings, std::filesystem::path machineIdFile);
    static HostIdentity& shared();

    // Both are computed on first use and stay the same for the life of the object. Any thread.
    std::optional<std::string> hardwareId();
    std::string deviceId();

    HostIdentity(const HostIdentity&) = delete;
    HostIdentity& operator=(const HostIdentity&) = delete;

private:
    Settings& mSettings;
    const std::filesystem::path mMachineIdFile;
    std::mutex mMutex; // guards the cached values
    std::optional<std::optional<std::string>> mHardwareId;
    std::optional<std::string> mDeviceId;
};

// 64 lower-case hex digits: SHA-256 of "pelorn-mac:" followed by the machine's UUID.
std::string deriveHardwareId(const std::string& platformUuid);
// The first 32 characters of the hardware id as an upper-case UUID; a random UUID when there is
// no hardware id of at least 32 characters.
std::string deriveDeviceId(const std::optional<std::string>& hardwareId);
// The machine's stable id from a machine-id file (trimmed); absent when missing or empty.
std::optional<std::string> readMachineId(const std::filesystem::path& file);

// hostnamed's pretty name, else the one in /etc/machine-info, else gethostname().
std::string computerName();

} // namespace pelorn
