#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace pelorn {

// "Start at login": the desktop's autostart entry for the host, written to
// $XDG_CONFIG_HOME/autostart/ when the owner turns it on and removed when they turn it off; never
// installed system-wide. An entry the desktop's own settings disabled (Hidden=true) counts as off.
class Autostart {
public:
    static constexpr const char* fileName = "com.tamberlind.pelorn.host.desktop";

    // `folder`: the autostart folder; `program`: what the entry starts.
    Autostart(std::optional<std::filesystem::path> folder, std::filesystem::path program);
    // The user's folder and this program.
    static Autostart forThisUser();

    bool isOn() const;
    // Absent on success, else why not.
    std::optional<std::string> set(bool on) const;
    std::optional<std::filesystem::path> file() const;

private:
    std::optional<std::filesystem::path> mFolder;
    std::filesystem::path mProgram;
};

} // namespace pelorn
