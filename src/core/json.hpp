#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace pelorn::json {

using Value = nlohmann::json;

// Deeper documents are refused before parsing: nothing the host reads nests this far, and the
// limit keeps untrusted input from costing unbounded stack anywhere it is walked.
constexpr int maxDepth = 64;

// Parses one JSON document; absent on any syntax error, invalid UTF-8, trailing garbage or
// nesting deeper than maxDepth. Never throws.
std::optional<Value> parse(std::string_view text);

// Compact text; absent when a string holds invalid UTF-8 or a number is not finite.
std::optional<std::string> dump(const Value& value);

// Member readers for strict decoding: absent when the member is missing or JSON null (as clients
// write an absent optional); nullopt inside the Field when present with the wrong type. A field
// "fails" when present and wrong.
template <typename T> struct Field {
    bool present = false;
    std::optional<T> value;
    bool failed() const { return present && !value; }
};

Field<std::string> stringMember(const Value& object, const char* key);
// The member's string, or "" when it is missing or not a string: for lenient reading of replies.
std::string stringOrEmpty(const Value& object, const char* key);
// Any JSON number, finite.
Field<double> doubleMember(const Value& object, const char* key);
// A JSON number with an integral value inside [min, max]; 3.0 counts, 3.5 does not.
Field<std::int64_t> integerMember(const Value& object, const char* key, std::int64_t min, std::int64_t max);
Field<bool> boolMember(const Value& object, const char* key);

} // namespace pelorn::json
