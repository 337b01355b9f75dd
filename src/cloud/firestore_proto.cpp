#include "cloud/firestore_proto.hpp"

namespace pelorn::firestore {

namespace {

template <class... Ts> struct Overloaded : Ts... { using Ts::operator()...; };

google::protobuf::Timestamp timestampProto(Timestamp time) {
    auto since = time.time_since_epoch();
    auto seconds = std::chrono::floor<std::chrono::seconds>(since);
    google::protobuf::Timestamp out;
    out.set_seconds(seconds.count());
    out.set_nanos(static_cast<std::int32_t>((since - seconds).count()));
    return out;
}

Fields stripServerTimestamps(const Map& fields) {
    Fields out;
    for (const auto& [name, value] : fields) {
        if (value.as<ServerTimestamp>()) {
            continue;
        }
        if (auto* map = value.as<Map>(); map && !map->empty()) {
            Fields inner = stripServerTimestamps(*map);
            // A map of nothing but server timestamps: its fields come from the transforms.
            if (inner.empty()) {
                continue;
            }
            out.emplace(name, std::move(inner));
        } else {
            out.emplace(name, value);
        }
    }
    return out;
}

void addFilter(api::StructuredQuery::Filter& filter, const std::string& field, const Value& value,
               const DatabaseNames& names) {
    if (value.isNull()) {
        // Equality with null is its own operator in the query language.
        auto* unary = filter.mutable_unary_filter();
        unary->set_op(api::StructuredQuery::UnaryFilter::IS_NULL);
        unary->mutable_field()->set_field_path(quoteFieldSegment(field));
        return;
    }
    auto* equal = filter.mutable_field_filter();
    equal->mutable_field()->set_field_path(quoteFieldSegment(field));
    equal->set_op(api::StructuredQuery::FieldFilter::EQUAL);
    toProto(value, names, *equal->mutable_value());
}

} // namespace

std::string DatabaseNames::path(const std::string& name) const {
    if (name.size() > mDocuments.size() && name.compare(0, mDocuments.size(), mDocuments) == 0 &&
        name[mDocuments.size()] == '/') {
        return name.substr(mDocuments.size() + 1);
    }
    return name;
}

void toProto(const Value& value, const DatabaseNames& names, api::Value& out) {
    std::visit(Overloaded{
                   [&](const Null&) { out.set_null_value(google::protobuf::NULL_VALUE); },
                   [&](bool b) { out.set_boolean_value(b); },
                   [&](std::int64_t i) { out.set_integer_value(i); },
                   [&](double d) { out.set_double_value(d); },
                   [&](const Timestamp& t) { *out.mutable_timestamp_value() = timestampProto(t); },
                   [&](const std::string& s) { out.set_string_value(s); },
                   [&](const Bytes& b) { out.set_bytes_value(b.data); },
                   [&](const Reference& r) { out.set_reference_value(names.name(r.path)); },
                   [&](const GeoPoint& g) {
                       out.mutable_geo_point_value()->set_latitude(g.latitude);
                       out.mutable_geo_point_value()->set_longitude(g.longitude);
                   },
                   [&](const Array& a) {
                       auto* values = out.mutable_array_value();
                       for (const auto& element : a) {
                           toProto(element, names, *values->add_values());
                       }
                   },
                   [&](const Map& m) { toProto(m, names, *out.mutable_map_value()->mutable_fields()); },
                   [&](const ServerTimestamp&) { out.set_null_value(google::protobuf::NULL_VALUE); },
               },
               value.variant());
}

void toProto(const Fields& fields, const DatabaseNames& names,
             google::protobuf::Map<std::string, api::Value>& out) {
    for (const auto& [name, value] : fields) {
        toProto(value, names, out[name]);
    }
}

Value fromProto(const api::Value& value, const DatabaseNames& names) {
    switch (value.value_type_case()) {
    case api::Value::kBooleanValue:
        return value.boolean_value();
    case api::Value::kIntegerValue:
        return static_cast<std::int64_t>(value.integer_value());
    case api::Value::kDoubleValue:
        return value.double_value();
    case api::Value::kTimestampValue:
        return fromProto(value.timestamp_value());
    case api::Value::kStringValue:
        return value.string_value();
    case api::Value::kBytesValue:
        return Bytes{value.bytes_value()};
    case api::Value::kReferenceValue:
        return Reference{names.path(value.reference_value())};
    case api::Value::kGeoPointValue:
        return GeoPoint{value.geo_point_value().latitude(), value.geo_point_value().longitude()};
    case api::Value::kArrayValue: {
        Array array;
        array.reserve(static_cast<std::size_t>(value.array_value().values_size()));
        for (const auto& element : value.array_value().values()) {
            array.push_back(fromProto(element, names));
        }
        return array;
    }
    case api::Value::kMapValue: {
        Map map;
        for (const auto& [name, element] : value.map_value().fields()) {
            map.emplace(name, fromProto(element, names));
        }
        return map;
    }
    default:
        // Null, and the query language's own kinds, which stored documents do not hold.
        return Null{};
    }
}

Document fromProto(const api::Document& document, const DatabaseNames& names) {
    Document out;
    out.path = names.path(document.name());
    for (const auto& [name, value] : document.fields()) {
        out.fields.emplace(name, fromProto(value, names));
    }
    out.createTime = fromProto(document.create_time());
    out.updateTime = fromProto(document.update_time());
    return out;
}

Timestamp fromProto(const google::protobuf::Timestamp& timestamp) {
    return Timestamp{std::chrono::seconds(timestamp.seconds()) + std::chrono::nanoseconds(timestamp.nanos())};
}

Fields withoutServerTimestamps(const Fields& fields) {
    return stripServerTimestamps(fields);
}

api::Write writeOf(const std::string& path, const Fields& fields, bool create, const DatabaseNames& names) {
    api::Write write;
    auto* document = write.mutable_update();
    document->set_name(names.name(path));
    toProto(withoutServerTimestamps(fields), names, *document->mutable_fields());
    MergePaths paths = mergePaths(fields);
    if (create) {
        write.mutable_current_document()->set_exists(false);
    } else {
        // The mask lists each leaf, so a nested map merges rather than replaces; the timestamps
        // stay out of it, as transforms.
        for (const auto& field : paths.update) {
            write.mutable_update_mask()->add_field_paths(field);
        }
    }
    for (const auto& field : paths.serverTimestamps) {
        auto* transform = write.add_update_transforms();
        transform->set_field_path(field);
        transform->set_set_to_server_value(api::DocumentTransform::FieldTransform::REQUEST_TIME);
    }
    return write;
}

std::string queryParent(const FirestoreQuery& query, const DatabaseNames& names) {
    auto slash = query.collection.rfind('/');
    return slash == std::string::npos ? names.documents() : names.name(query.collection.substr(0, slash));
}

api::StructuredQuery structuredQuery(const FirestoreQuery& query, const DatabaseNames& names) {
    api::StructuredQuery out;
    auto slash = query.collection.rfind('/');
    out.add_from()->set_collection_id(slash == std::string::npos ? query.collection
                                                                 : query.collection.substr(slash + 1));
    if (query.equalTo.size() == 1) {
        addFilter(*out.mutable_where(), query.equalTo[0].first, query.equalTo[0].second, names);
    } else if (query.equalTo.size() > 1) {
        auto* all = out.mutable_where()->mutable_composite_filter();
        all->set_op(api::StructuredQuery::CompositeFilter::AND);
        for (const auto& [field, value] : query.equalTo) {
            addFilter(*all->add_filters(), field, value, names);
        }
    }
    return out;
}

} // namespace pelorn::firestore
