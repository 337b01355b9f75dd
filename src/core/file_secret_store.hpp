#pragma once

#include "core/secret_store.hpp"

#include <filesystem>

namespace pelorn {

// One 0600 file per item in a 0700 folder; the file name encodes service and account.
class FileSecretStore final : public SecretStore {
public:
    explicit FileSecretStore(std::filesystem::path dir);

    ReadResult read(const std::string& service, const std::string& account) override;
    WriteResult write(const std::string& service, const std::string& account,
                      std::span<const std::uint8_t> data) override;
    bool remove(const std::string& service, const std::string& account) override;
    const char* backendName() const override { return "file"; }

    std::filesystem::path itemPath(const std::string& service, const std::string& account) const;

private:
    bool ensureDir(int& error) const;

    std::filesystem::path mDir;
};

} // namespace pelorn
