#pragma once

// Between the host's Firestore values and the API's messages. Only the cloud folder's own code
// (and its tests) sees the generated API.
#include "cloud/firestore.hpp"
#include "cloud/firestore_value.hpp"

#include <google/firestore/v1/firestore.pb.h>
#include <string>

namespace pelorn::firestore {

namespace api = google::firestore::v1;

// The names the API uses for one database: "projects/P/databases/(default)" and its
// "…/documents" root, under which a document's path follows.
class DatabaseNames {
public:
    explicit DatabaseNames(const std::string& projectId)
        : mDatabase("projects/" + projectId + "/databases/(default)"), mDocuments(mDatabase + "/documents") {}
    const std::string& database() const { return mDatabase; }
    const std::string& documents() const { return mDocuments; }
    std::string name(const std::string& path) const { return mDocuments + "/" + path; }
    // The path of a document name under this database; the whole name when it is not under it.
    std::string path(const std::string& name) const;

private:
    std::string mDatabase;
    std::string mDocuments;
};

// ServerTimestamp has no stored form: the caller takes those out as transforms first; one left
// anywhere (inside an array, say) becomes null.
void toProto(const Value& value, const DatabaseNames& names, api::Value& out);
void toProto(const Fields& fields, const DatabaseNames& names,
             google::protobuf::Map<std::string, api::Value>& out);
Value fromProto(const api::Value& value, const DatabaseNames& names);
Document fromProto(const api::Document& document, const DatabaseNames& names);
Timestamp fromProto(const google::protobuf::Timestamp& timestamp);

// The fields of a merge or add without their server timestamps, which become transforms.
Fields withoutServerTimestamps(const Fields& fields);
// A set-with-merge of `fields` into the document, or a create (with an "absent" precondition and
// no mask) when `create`.
api::Write writeOf(const std::string& path, const Fields& fields, bool create, const DatabaseNames& names);

// The query's parent name and its structured form.
std::string queryParent(const FirestoreQuery& query, const DatabaseNames& names);
api::StructuredQuery structuredQuery(const FirestoreQuery& query, const DatabaseNames& names);

} // namespace pelorn::firestore
