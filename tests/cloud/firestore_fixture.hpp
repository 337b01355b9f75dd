#pragma once

// A Firestore client of the test's own against the Cloud Firestore emulator, for an owner no other
// test uses, with helpers that wait for each answer.
#include "cloud/firestore.hpp"
#include "support/emulators.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>
#include <ostream>

namespace pelorn::firestore {
inline void PrintTo(const Error& error, std::ostream* out) {
    *out << "error " << error.code << ": " << error.description();
}
} // namespace pelorn::firestore

namespace pelorn::test {

using firestore::Document;
using firestore::Error;
using firestore::Fields;
using firestore::Result;

class FirestoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        PELORN_NEED_FIRESTORE_EMULATOR(host);
        target = *host;
        email = uniqueName("owner") + "@example.com";
        token = firebaseIdToken(uniqueName("uid"), email);
        db = make(token);
    }

    std::unique_ptr<Firestore> make(std::optional<std::string> idToken) {
        return std::make_unique<Firestore>(Firestore::Dependencies{
            loop, "demo-pelorn", target, true,
            [idToken](bool, std::function<void(std::optional<std::string>)> done) { done(idToken); }});
    }

    std::optional<Error> set(Firestore& database, const std::string& path, const Fields& fields) {
        std::optional<std::optional<Error>> result;
        database.setMerge(path, fields, [&](const std::optional<Error>& e) { result = e; });
        EXPECT_TRUE(pumpUntil(loop, [&] { return result.has_value(); }));
        return result.value_or(Error{-1, "no answer"});
    }
    std::optional<Error> set(const std::string& path, const Fields& fields) { return set(*db, path, fields); }

    std::optional<Error> remove(const std::string& path) {
        std::optional<std::optional<Error>> result;
        db->deleteDocument(path, [&](const std::optional<Error>& e) { result = e; });
        EXPECT_TRUE(pumpUntil(loop, [&] { return result.has_value(); }));
        return result.value_or(Error{-1, "no answer"});
    }

    Result<std::optional<Document>> get(const std::string& path) {
        std::optional<Result<std::optional<Document>>> result;
        db->getDocument(path, [&](const Result<std::optional<Document>>& r) { result = r; });
        EXPECT_TRUE(pumpUntil(loop, [&] { return result.has_value(); }));
        return result.value_or(Error{-1, "no answer"});
    }

    Document existing(const std::string& path) {
        auto read = get(path);
        auto* document = std::get_if<std::optional<Document>>(&read);
        if (!document || !*document) {
            ADD_FAILURE() << path << " was not read back";
            return {};
        }
        return **document;
    }

    std::vector<std::string> query(const FirestoreQuery& q) {
        std::optional<Result<std::vector<Document>>> result;
        db->getDocuments(q, [&](const Result<std::vector<Document>>& r) { result = r; });
        EXPECT_TRUE(pumpUntil(loop, [&] { return result.has_value(); }));
        std::vector<std::string> ids;
        if (auto* documents = result ? std::get_if<std::vector<Document>>(&*result) : nullptr) {
            for (const auto& document : *documents) {
                ids.push_back(document.id());
            }
        } else {
            ADD_FAILURE() << "the query failed";
        }
        return ids;
    }

    std::string device(const std::string& name) { return "devices/" + name + "-" + uniqueName(""); }

    HostLoop loop{HostLoop::TimeMode::Manual};
    std::string target;
    std::string email;
    std::string token;
    std::unique_ptr<Firestore> db;
};

} // namespace pelorn::test
