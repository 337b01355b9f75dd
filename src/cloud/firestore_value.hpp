#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace pelorn::firestore {

// A stored instant, to the nanosecond as the database keeps it.
using Timestamp = std::chrono::sys_time<std::chrono::nanoseconds>;

struct Null {
    bool operator==(const Null&) const = default;
};
// Written as a field's value, the database puts its own time of the write there.
struct ServerTimestamp {
    bool operator==(const ServerTimestamp&) const = default;
};
struct Bytes {
    std::string data;
    bool operator==(const Bytes&) const = default;
};
// Another document, by its path ("devices/abc").
struct Reference {
    std::string path;
    bool operator==(const Reference&) const = default;
};
struct GeoPoint {
    double latitude = 0;
    double longitude = 0;
    bool operator==(const GeoPoint&) const = default;
};

class Value;
using Array = std::vector<Value>;
using Map = std::map<std::string, Value>;
// A document's fields, by name.
using Fields = Map;

// One field value of a document, of any type the database stores.
class Value {
public:
    using Variant = std::variant<Null, bool, std::int64_t, double, Timestamp, std::string, Bytes, Reference,
                                 GeoPoint, Array, Map, ServerTimestamp>;

    Value() = default;
    Value(Null) {}
    Value(bool b) : mValue(b) {}
    Value(std::int64_t i) : mValue(i) {}
    Value(int i) : mValue(std::int64_t{i}) {}
    Value(double d) : mValue(d) {}
    Value(Timestamp t) : mValue(t) {}
    Value(std::string s) : mValue(std::move(s)) {}
    Value(const char* s) : mValue(std::string(s)) {}
    Value(Bytes b) : mValue(std::move(b)) {}
    Value(Reference r) : mValue(std::move(r)) {}
    Value(GeoPoint g) : mValue(g) {}
    Value(Array a) : mValue(std::move(a)) {}
    Value(Map m) : mValue(std::move(m)) {}
    Value(ServerTimestamp s) : mValue(s) {}

    const Variant& variant() const { return mValue; }
    template <typename T> const T* as() const { return std::get_if<T>(&mValue); }
    bool isNull() const { return std::holds_alternative<Null>(mValue); }

    bool operator==(const Value& other) const { return mValue == other.mValue; }

private:
    Variant mValue;
};

// One stored document as read.
struct Document {
    std::string path; // "devices/abc"
    Fields fields;
    Timestamp createTime{};
    Timestamp updateTime{};

    // The last segment of the path.
    std::string id() const;
    const Value* field(std::string_view name) const;
    // The field when it is a string; null otherwise.
    const std::string* string(std::string_view name) const;
};

// Why an operation failed: a gRPC status code and the service's message.
struct Error {
    int code = 0;
    std::string message;
    // The message, or the code's name when the service gave none.
    std::string description() const;
    bool operator==(const Error&) const = default;
};

template <typename T> using Result = std::variant<T, Error>;

// Status codes the host acts on (gRPC's numbering).
enum Code : int {
    Ok = 0,
    Cancelled = 1,
    InvalidArgument = 3,
    DeadlineExceeded = 4,
    NotFound = 5,
    AlreadyExists = 6,
    PermissionDenied = 7,
    ResourceExhausted = 8,
    FailedPrecondition = 9,
    Aborted = 10,
    Internal = 13,
    Unavailable = 14,
    Unauthenticated = 16,
};

// The field paths of a merge: each leaf of `fields` as "a.b" with any segment that is not a plain
// identifier quoted in backticks; server timestamps are left out and listed in `serverTimestamps`.
struct MergePaths {
    std::vector<std::string> update;
    std::vector<std::string> serverTimestamps;
};
MergePaths mergePaths(const Fields& fields);
// A field path segment as the database's path syntax wants it.
std::string quoteFieldSegment(std::string_view segment);

// A new 20-character document id from [A-Za-z0-9], as collections' generated ids are.
std::string generateDocumentId();

// "" when `path` names a document (an even number of non-empty segments); else why not. The same
// for collections, which have an odd number.
std::string documentPathProblem(std::string_view path);
std::string collectionPathProblem(std::string_view path);

} // namespace pelorn::firestore
