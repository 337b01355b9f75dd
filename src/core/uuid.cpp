#include "core/uuid.hpp"

#include <uuid/uuid.h>

namespace pelorn {

std::string randomUuid() {
    uuid_t id;
    uuid_generate_random(id);
    char text[37];
    uuid_unparse_upper(id, text);
    return text;
}

std::optional<std::string> canonicalUuid(std::string_view text) {
    if (text.size() != 36) {
        return std::nullopt;
    }
    std::string copy(text);
    uuid_t id;
    if (uuid_parse(copy.c_str(), id) != 0) {
        return std::nullopt;
    }
    char out[37];
    uuid_unparse_upper(id, out);
    return std::string(out);
}

} // namespace pelorn
