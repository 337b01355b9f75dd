#include "core/file_secret_store.hpp"

#include "core/atomic_file.hpp"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace pelorn {

namespace {

// Keeps letters, digits, '.', '-' and '_'; everything else becomes %XX, so no name can reach
// outside the folder and different items never share a file.
std::string escapeName(const std::string& part) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : part) {
        if (std::isalnum(c) || c == '.' || c == '-' || c == '_') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

} // namespace

FileSecretStore::FileSecretStore(std::filesystem::path dir) : mDir(std::move(dir)) {
}

std::filesystem::path FileSecretStore::itemPath(const std::string& service,
                                                const std::string& account) const {
    // "+" cannot appear in an escaped part, so it separates them unambiguously.
    return mDir / (escapeName(service) + "+" + escapeName(account));
}

bool FileSecretStore::ensureDir(int& error) const {
    std::error_code ec;
    std::filesystem::create_directories(mDir, ec);
    if (ec) {
        error = ec.value();
        return false;
    }
    if (::chmod(mDir.c_str(), 0700) != 0) {
        error = errno;
        return false;
    }
    return true;
}

SecretStore::ReadResult FileSecretStore::read(const std::string& service, const std::string& account) {
    auto path = itemPath(service, account);
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        return {Status::NotFound, {}, 0, {}};
    }
    auto contents = readWholeFile(path);
    if (!contents) {
        return {Status::Failed, {}, errno, std::strerror(errno)};
    }
    return {Status::Ok, std::vector<std::uint8_t>(contents->begin(), contents->end()), 0, {}};
}

SecretStore::WriteResult FileSecretStore::write(const std::string& service, const std::string& account,
                                                std::span<const std::uint8_t> data) {
    int error = 0;
    if (!ensureDir(error)) {
        return {false, error, std::strerror(error)};
    }
    auto failure =
        writeFileAtomically(itemPath(service, account),
                            std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), 0600);
    if (failure) {
        return {false, errno, *failure};
    }
    return {true, 0, {}};
}

bool FileSecretStore::remove(const std::string& service, const std::string& account) {
    std::error_code ec;
    std::filesystem::remove(itemPath(service, account), ec);
    return !ec;
}

} // namespace pelorn
