#include "cloud/firestore_watch.hpp"

namespace pelorn::firestore {

namespace {

// Everything handed out is considered gone until the database says again that it is there.
void forgetAll(std::map<std::string, Document>& documents,
               std::map<std::string, std::optional<Document>>& pending) {
    pending.clear();
    for (const auto& [name, document] : documents) {
        pending.emplace(name, std::nullopt);
    }
}

} // namespace

api::ListenRequest WatchTargets::add(std::uint64_t listener, const FirestoreQuery& query) {
    Target target;
    target.listener = listener;
    target.query = query;
    return addTarget(std::move(target));
}

api::ListenRequest WatchTargets::addDocument(std::uint64_t listener, const std::string& path) {
    Target target;
    target.listener = listener;
    target.document = path;
    return addTarget(std::move(target));
}

api::ListenRequest WatchTargets::addTarget(Target target) {
    int id = mNextTargetId;
    mNextTargetId += 2;
    return addRequest(id, mTargets.emplace(id, std::move(target)).first->second);
}

std::optional<api::ListenRequest> WatchTargets::remove(std::uint64_t listener) {
    for (auto it = mTargets.begin(); it != mTargets.end(); ++it) {
        if (it->second.listener == listener) {
            api::ListenRequest request;
            request.set_database(mNames.database());
            request.set_remove_target(it->first);
            mTargets.erase(it);
            return request;
        }
    }
    return std::nullopt;
}

api::ListenRequest WatchTargets::addRequest(int targetId, const Target& target) const {
    api::ListenRequest request;
    request.set_database(mNames.database());
    auto* add = request.mutable_add_target();
    add->set_target_id(targetId);
    if (target.document) {
        add->mutable_documents()->add_documents(mNames.name(*target.document));
    } else {
        add->mutable_query()->set_parent(queryParent(target.query, mNames));
        *add->mutable_query()->mutable_structured_query() = structuredQuery(target.query, mNames);
    }
    if (!target.resumeToken.empty()) {
        add->set_resume_token(target.resumeToken);
    }
    return request;
}

std::vector<int> WatchTargets::targetsOf(const google::protobuf::RepeatedField<std::int32_t>& ids) {
    std::vector<int> known;
    for (int id : ids) {
        if (mTargets.count(id)) {
            known.push_back(id);
        }
    }
    return known;
}

void WatchTargets::change(const std::vector<int>& ids, const std::string& name,
                          const std::optional<Document>& document) {
    for (int id : ids) {
        mTargets[id].pending[name] = document;
    }
}

std::size_t WatchTargets::countAfterPending(const Target& target) const {
    std::size_t count = target.documents.size();
    for (const auto& [name, document] : target.pending) {
        bool had = target.documents.count(name) != 0;
        if (document && !had) {
            ++count;
        } else if (!document && had) {
            --count;
        }
    }
    return count;
}

std::optional<WatchTargets::Delivery> WatchTargets::deliver(Target& target, Timestamp readTime) {
    std::vector<DocumentChange> changes;
    for (auto& [name, document] : target.pending) {
        auto it = target.documents.find(name);
        if (document) {
            if (it == target.documents.end()) {
                changes.push_back({DocumentChange::Type::Added, *document});
                target.documents.emplace(name, std::move(*document));
            } else if (it->second.updateTime != document->updateTime ||
                       it->second.fields != document->fields) {
                changes.push_back({DocumentChange::Type::Modified, *document});
                it->second = std::move(*document);
            }
            ++mDocumentReads;
        } else if (it != target.documents.end()) {
            changes.push_back({DocumentChange::Type::Removed, std::move(it->second)});
            target.documents.erase(it);
        }
    }
    target.pending.clear();
    if (!target.pendingResumeToken.empty()) {
        target.resumeToken = std::move(target.pendingResumeToken);
        target.pendingResumeToken.clear();
    }
    if (target.delivered && changes.empty()) {
        return std::nullopt;
    }
    if (!target.delivered && target.documents.empty()) {
        ++mDocumentReads; // a query that matches nothing still bills one read
    }
    target.delivered = true;
    QuerySnapshot snapshot;
    snapshot.readTime = readTime;
    snapshot.changes = std::move(changes);
    snapshot.documents.reserve(target.documents.size());
    for (const auto& [name, document] : target.documents) {
        snapshot.documents.push_back(document);
    }
    return Delivery{target.listener, std::move(snapshot)};
}

std::vector<WatchTargets::Delivery> WatchTargets::onResponse(const api::ListenResponse& response,
                                                             std::vector<api::ListenRequest>& send) {
    std::vector<Delivery> deliveries;
    switch (response.response_type_case()) {
    case api::ListenResponse::kTargetChange: {
        const auto& change = response.target_change();
        // A change that names no target is about all of them.
        std::vector<int> ids;
        if (change.target_ids_size() == 0) {
            for (const auto& [id, target] : mTargets) {
                ids.push_back(id);
            }
        } else {
            ids = targetsOf(change.target_ids());
        }
        switch (change.target_change_type()) {
        case api::TargetChange::NO_CHANGE:
            for (int id : ids) {
                if (!change.resume_token().empty()) {
                    mTargets[id].pendingResumeToken = change.resume_token();
                }
            }
            // The global consistent point: every target that is current shows its changes.
            if (change.target_ids_size() == 0 && change.has_read_time()) {
                for (auto& [id, target] : mTargets) {
                    if (target.current) {
                        if (auto delivery = deliver(target, fromProto(change.read_time()))) {
                            deliveries.push_back(std::move(*delivery));
                        }
                    }
                }
            }
            break;
        case api::TargetChange::CURRENT:
            for (int id : ids) {
                mTargets[id].current = true;
                if (!change.resume_token().empty()) {
                    mTargets[id].pendingResumeToken = change.resume_token();
                }
            }
            break;
        case api::TargetChange::RESET:
            for (int id : ids) {
                auto& target = mTargets[id];
                forgetAll(target.documents, target.pending);
                target.current = false;
            }
            break;
        case api::TargetChange::REMOVE:
            // Without a cause it is the answer to our own removal.
            if (change.has_cause() && change.cause().code() != 0) {
                for (int id : ids) {
                    deliveries.push_back(
                        {mTargets[id].listener, Error{change.cause().code(), change.cause().message()}});
                    mTargets.erase(id);
                }
            }
            break;
        default:
            break;
        }
        break;
    }
    case api::ListenResponse::kDocumentChange: {
        const auto& change = response.document_change();
        Document document = fromProto(change.document(), mNames);
        this->change(targetsOf(change.target_ids()), change.document().name(), document);
        this->change(targetsOf(change.removed_target_ids()), change.document().name(), std::nullopt);
        break;
    }
    case api::ListenResponse::kDocumentDelete:
        change(targetsOf(response.document_delete().removed_target_ids()),
               response.document_delete().document(), std::nullopt);
        break;
    case api::ListenResponse::kDocumentRemove:
        change(targetsOf(response.document_remove().removed_target_ids()),
               response.document_remove().document(), std::nullopt);
        break;
    case api::ListenResponse::kFilter: {
        auto it = mTargets.find(response.filter().target_id());
        if (it == mTargets.end() ||
            countAfterPending(it->second) == static_cast<std::size_t>(response.filter().count())) {
            break;
        }
        // The database holds a different number of documents than we think: listen afresh under
        // a new target id and let the full result set say which ones are gone.
        api::ListenRequest removal;
        removal.set_database(mNames.database());
        removal.set_remove_target(it->first);
        send.push_back(std::move(removal));
        Target target = std::move(it->second);
        mTargets.erase(it);
        forgetAll(target.documents, target.pending);
        target.resumeToken.clear();
        target.pendingResumeToken.clear();
        target.current = false;
        int id = mNextTargetId;
        mNextTargetId += 2;
        send.push_back(addRequest(id, target));
        mTargets.emplace(id, std::move(target));
        break;
    }
    default:
        break;
    }
    return deliveries;
}

std::vector<api::ListenRequest> WatchTargets::reopen() {
    std::vector<api::ListenRequest> requests;
    for (auto& [id, target] : mTargets) {
        target.current = false;
        target.pendingResumeToken.clear();
        if (target.resumeToken.empty()) {
            // Heard from afresh: only the full result set says which documents are gone.
            forgetAll(target.documents, target.pending);
        } else {
            target.pending.clear();
        }
        requests.push_back(addRequest(id, target));
    }
    return requests;
}

} // namespace pelorn::firestore
