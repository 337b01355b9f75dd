#include "core/file_secret_store.hpp"
#include "core/glib_thread.hpp"
#include "core/libsecret_secret_store.hpp"
#include "core/settings.hpp"
#include "core/uuid.hpp"
#include "support/test_support.hpp"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace pelorn;
using pelorn::test::TempDir;

namespace {

std::vector<std::uint8_t> bytes(std::string_view s) {
    return {s.begin(), s.end()};
}

const std::string masterService = "com.tamberlind.pelorn.host.master-password";

// Both stores keep the same per-item semantics: binary-safe, overwrite-or-add, separate items.
void checkItemSemantics(SecretStore& store, const std::string& service) {
    auto binary = bytes(std::string("\0\x01\xff{\"salt\":\"x\"}", 15));
    EXPECT_EQ(store.read(service, "verifier").status, SecretStore::Status::NotFound);
    ASSERT_TRUE(store.write(service, "verifier", binary).ok);
    auto read = store.read(service, "verifier");
    ASSERT_EQ(read.status, SecretStore::Status::Ok);
    EXPECT_EQ(read.data, binary);
    ASSERT_TRUE(store.write(service, "verifier", bytes("second")).ok);
    EXPECT_EQ(store.read(service, "verifier").data, bytes("second"));
    ASSERT_TRUE(store.write(service, "other", bytes("other")).ok);
    EXPECT_EQ(store.read(service, "verifier").data, bytes("second"));
    EXPECT_TRUE(store.remove(service, "verifier"));
    EXPECT_EQ(store.read(service, "verifier").status, SecretStore::Status::NotFound);
    EXPECT_EQ(store.read(service, "other").data, bytes("other"));
    EXPECT_TRUE(store.remove(service, "other"));
}

} // namespace

TEST(FileSecretStore, KeepsItemsApartAndBinarySafe) {
    TempDir dir;
    FileSecretStore store(dir / "secrets");
    checkItemSemantics(store, masterService);
}

TEST(FileSecretStore, FilesAreOwnerOnlyInAnOwnerOnlyFolder) {
    TempDir dir;
    FileSecretStore store(dir / "Pelorn/secrets");
    ASSERT_TRUE(store.write(masterService, "verifier", bytes("k")).ok);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "Pelorn/secrets").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(store.itemPath(masterService, "verifier").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(FileSecretStore, NamesCannotEscapeTheFolderOrCollide) {
    TempDir dir;
    FileSecretStore store(dir / "secrets");
    ASSERT_TRUE(store.write("../../evil", "a/b", bytes("1")).ok);
    ASSERT_TRUE(store.write("x+y", "z", bytes("2")).ok);
    ASSERT_TRUE(store.write("x", "y+z", bytes("3")).ok);
    EXPECT_EQ(store.itemPath("../../evil", "a/b").parent_path(), dir / "secrets");
    EXPECT_EQ(store.read("x+y", "z").data, bytes("2"));
    EXPECT_EQ(store.read("x", "y+z").data, bytes("3"));
    EXPECT_FALSE(std::filesystem::exists(dir.path().parent_path() / "evil"));
}

// Needs a Secret Service: scripts/test-env starts gnome-keyring on a private session bus.
class LibsecretStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::getenv("PELORN_SECRET_SERVICE")) {
            GTEST_SKIP() << "no Secret Service here; run under scripts/test-env";
        }
    }
    GlibThread glib;
};

TEST_F(LibsecretStoreTest, KeepsItemsApartAndBinarySafe) {
    std::string why;
    ASSERT_TRUE(LibsecretSecretStore::isUsable(glib, {std::chrono::seconds(5)}, why)) << why;
    LibsecretSecretStore store(glib);
    // A service name of its own, so runs never see each other's items.
    checkItemSemantics(store, "org.pelorn.test." + randomUuid());
}
