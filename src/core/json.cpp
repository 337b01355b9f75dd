#include "core/json.hpp"

#include <cmath>
#include <limits>

namespace pelorn::json {

namespace {

// Counts brackets outside strings; cheap, and runs before the parser allocates anything.
bool nestingWithinLimit(std::string_view text) {
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maxDepth) {
                return false;
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

std::optional<std::int64_t> integralValue(const Value& v, std::int64_t min, std::int64_t max) {
    if (v.is_number_unsigned()) {
        auto u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        auto i = static_cast<std::int64_t>(u);
        return (i >= min && i <= max) ? std::optional(i) : std::nullopt;
    }
    if (v.is_number_integer()) {
        auto i = v.get<std::int64_t>();
        return (i >= min && i <= max) ? std::optional(i) : std::nullopt;
    }
    if (v.is_number_float()) {
        double d = v.get<double>();
        // Bounds compared as doubles: 2^63 itself is out of range for int64.
        if (!std::isfinite(d) || std::trunc(d) != d || d < static_cast<double>(min) ||
            d >= 9223372036854775808.0 || d > static_cast<double>(max)) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

} // namespace

std::optional<Value> parse(std::string_view text) {
    if (!nestingWithinLimit(text)) {
        return std::nullopt;
    }
    Value value = Value::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> dump(const Value& value) {
    try {
        return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

std::string stringOrEmpty(const Value& object, const char* key) {
    return stringMember(object, key).value.value_or("");
}

Field<std::string> stringMember(const Value& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return {};
    }
    Field<std::string> field{true, std::nullopt};
    if (it->is_string()) {
        field.value = it->get<std::string>();
    }
    return field;
}

Field<double> doubleMember(const Value& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return {};
    }
    Field<double> field{true, std::nullopt};
    if (it->is_number()) {
        double d = it->get<double>();
        if (std::isfinite(d)) {
            field.value = d;
        }
    }
    return field;
}

Field<std::int64_t> integerMember(const Value& object, const char* key, std::int64_t min, std::int64_t max) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return {};
    }
    return {true, integralValue(*it, min, max)};
}

Field<bool> boolMember(const Value& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return {};
    }
    Field<bool> field{true, std::nullopt};
    if (it->is_boolean()) {
        field.value = it->get<bool>();
    }
    return field;
}

} // namespace pelorn::json
