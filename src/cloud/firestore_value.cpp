#include "cloud/firestore_value.hpp"

#include <array>
#include <openssl/rand.h>
#include <stdexcept>

namespace pelorn::firestore {

namespace {

constexpr std::array<const char*, 17> codeNames{
    "OK",        "CANCELLED",      "UNKNOWN",           "INVALID_ARGUMENT",   "DEADLINE_EXCEEDED",
    "NOT_FOUND", "ALREADY_EXISTS", "PERMISSION_DENIED", "RESOURCE_EXHAUSTED", "FAILED_PRECONDITION",
    "ABORTED",   "OUT_OF_RANGE",   "UNIMPLEMENTED",     "INTERNAL",           "UNAVAILABLE",
    "DATA_LOSS", "UNAUTHENTICATED"};

bool isPlainSegment(std::string_view segment) {
    if (segment.empty() || (segment[0] >= '0' && segment[0] <= '9')) {
        return false;
    }
    for (char c : segment) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!plain) {
            return false;
        }
    }
    return true;
}

void collectPaths(const Map& fields, const std::string& prefix, MergePaths& out) {
    for (const auto& [name, value] : fields) {
        std::string path = prefix + quoteFieldSegment(name);
        if (value.as<ServerTimestamp>()) {
            out.serverTimestamps.push_back(path);
        } else if (auto* map = value.as<Map>(); map && !map->empty()) {
            collectPaths(*map, path + ".", out);
        } else {
            // An empty map is a leaf: merging it sets the field to an empty map.
            out.update.push_back(path);
        }
    }
}

std::string pathProblem(std::string_view path, bool document) {
    if (path.empty()) {
        return "the path is empty";
    }
    std::size_t segments = 0;
    std::size_t start = 0;
    while (true) {
        auto slash = path.find('/', start);
        auto segment =
            path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (segment.empty()) {
            return "the path \"" + std::string(path) + "\" has an empty segment";
        }
        if (segment == "." || segment == "..") {
            return "the path \"" + std::string(path) + "\" has a segment \"" + std::string(segment) + "\"";
        }
        ++segments;
        if (slash == std::string_view::npos) {
            break;
        }
        start = slash + 1;
    }
    if (document && segments % 2 != 0) {
        return "\"" + std::string(path) + "\" is a collection, not a document";
    }
    if (!document && segments % 2 == 0) {
        return "\"" + std::string(path) + "\" is a document, not a collection";
    }
    return {};
}

} // namespace

std::string Document::id() const {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

const Value* Document::field(std::string_view name) const {
    auto it = fields.find(std::string(name));
    return it == fields.end() ? nullptr : &it->second;
}

const std::string* Document::string(std::string_view name) const {
    const Value* value = field(name);
    return value ? value->as<std::string>() : nullptr;
}

std::string Error::description() const {
    if (!message.empty()) {
        return message;
    }
    if (code >= 0 && static_cast<std::size_t>(code) < codeNames.size()) {
        return codeNames[static_cast<std::size_t>(code)];
    }
    return "error " + std::to_string(code);
}

std::string quoteFieldSegment(std::string_view segment) {
    if (isPlainSegment(segment)) {
        return std::string(segment);
    }
    std::string quoted = "`";
    for (char c : segment) {
        if (c == '`' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "`";
}

MergePaths mergePaths(const Fields& fields) {
    MergePaths paths;
    collectPaths(fields, "", paths);
    return paths;
}

std::string generateDocumentId() {
    static constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string id;
    while (id.size() < 20) {
        std::array<unsigned char, 32> random{};
        if (RAND_bytes(random.data(), static_cast<int>(random.size())) != 1) {
            throw std::runtime_error("no random bytes for a document id");
        }
        for (unsigned char byte : random) {
            // 248 = 4 × 62: anything above would favour the first letters.
            if (byte < 248 && id.size() < 20) {
                id += alphabet[byte % alphabet.size()];
            }
        }
    }
    return id;
}

std::string documentPathProblem(std::string_view path) {
    return pathProblem(path, true);
}

std::string collectionPathProblem(std::string_view path) {
    return pathProblem(path, false);
}

} // namespace pelorn::firestore
