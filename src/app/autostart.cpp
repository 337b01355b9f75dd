#include "app/autostart.hpp"

#include "core/atomic_file.hpp"
#include "core/paths.hpp"

#include <fstream>
#include <system_error>

namespace pelorn {

namespace {

// The Exec key's quoting: the whole path in double quotes, with its reserved characters escaped.
std::string execQuoted(const std::string& path) {
    std::string out = "\"";
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            out += "\\\\";
        }
        if (c == '%') {
            out += '%';
        }
        out += c;
    }
    return out + "\"";
}

} // namespace

Autostart::Autostart(std::optional<std::filesystem::path> folder, std::filesystem::path program)
    : mFolder(std::move(folder)), mProgram(std::move(program)) {
}

Autostart Autostart::forThisUser() {
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    auto home = configHome();
    return Autostart(home ? std::optional(*home / "autostart") : std::nullopt,
                     ec ? std::filesystem::path("pelorn-host") : self);
}

std::optional<std::filesystem::path> Autostart::file() const {
    return mFolder ? std::optional(*mFolder / fileName) : std::nullopt;
}

bool Autostart::isOn() const {
    auto path = file();
    if (!path) {
        return false;
    }
    std::ifstream in(*path);
    if (!in) {
        return false;
    }
    for (std::string line; std::getline(in, line);) {
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") {
            return false;
        }
    }
    return true;
}

std::optional<std::string> Autostart::set(bool on) const {
    auto path = file();
    if (!path) {
        return "no configuration folder (neither XDG_CONFIG_HOME nor HOME is set)";
    }
    std::error_code ec;
    if (!on) {
        std::filesystem::remove(*path, ec);
        return ec ? std::optional("couldn't remove " + path->string() + ": " + ec.message()) : std::nullopt;
    }
    std::filesystem::create_directories(*mFolder, ec);
    std::string entry = "[Desktop Entry]\n"
                        "Type=Application\n"
                        "Name=Pelorn\n"
                        "Comment=Reach this computer from your iPad or iPhone\n"
                        "Exec=" +
                        execQuoted(mProgram.string()) +
                        "\n"
                        "Icon=com.tamberlind.pelorn.host\n"
                        "Terminal=false\n"
                        "X-GNOME-Autostart-enabled=true\n";
    if (auto error = writeFileAtomically(*path, entry)) {
        return "couldn't write " + path->string() + ": " + *error;
    }
    return std::nullopt;
}

} // namespace pelorn
