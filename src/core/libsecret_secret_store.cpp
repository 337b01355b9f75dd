#include "core/libsecret_secret_store.hpp"

#include "core/glib_thread.hpp"
#include "core/uuid.hpp"

#include <future>
#include <libsecret/secret.h>

namespace pelorn {

namespace {

const SecretSchema* itemSchema() {
    static const SecretSchema schema = {"org.pelorn.Host.Item",
                                        SECRET_SCHEMA_NONE,
                                        {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                        0,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr};
    return &schema;
}

// What one asynchronous libsecret call reports back. The GLib thread fills it in; the caller waits
// for it with a timeout and cancels the call when time runs out.
struct Outcome {
    bool ok = false;
    bool found = false;
    std::vector<std::uint8_t> data;
    int code = 0;
    std::string message;
    bool locked = false; // of the default keyring, when found
};

constexpr const char* timedOut = "the Secret Service did not answer in time";

struct Call {
    std::promise<Outcome> promise;
    GCancellable* cancellable = g_cancellable_new();
    ~Call() { g_object_unref(cancellable); }
};

Outcome failure(GError* error) {
    Outcome out;
    out.code = error ? error->code : -1;
    out.message = error ? error->message : "unknown error";
    if (error) {
        g_error_free(error);
    }
    return out;
}

// Starts `start` on the GLib thread and waits for its outcome.
Outcome runBounded(GlibThread& glib, std::chrono::milliseconds timeout,
                   const std::function<void(std::shared_ptr<Call>)>& start) {
    auto call = std::make_shared<Call>();
    auto future = call->promise.get_future();
    glib.invoke([call, start] { start(call); });
    if (future.wait_for(timeout) == std::future_status::ready) {
        return future.get();
    }
    g_cancellable_cancel(call->cancellable);
    Outcome out;
    out.code = -1;
    out.message = timedOut;
    return out;
}

// Carries the call through the GLib callback's user data.
gpointer hold(const std::shared_ptr<Call>& call) {
    return std::make_unique<std::shared_ptr<Call>>(call).release();
}

std::shared_ptr<Call> release(gpointer data) {
    std::unique_ptr<std::shared_ptr<Call>> holder(static_cast<std::shared_ptr<Call>*>(data));
    return std::move(*holder);
}

constexpr const char* probeService = "com.tamberlind.pelorn.host.probe";
constexpr const char* probeAccount = "probe";

// The objects of one look at the default keyring, carried from callback to callback.
struct KeyringCheck {
    std::shared_ptr<Call> call;
    bool unlock = false;
    SecretService* service = nullptr;
    SecretCollection* collection = nullptr;
    ~KeyringCheck() {
        if (collection) {
            g_object_unref(collection);
        }
        if (service) {
            g_object_unref(service);
        }
    }
    void finish(Outcome out) { call->promise.set_value(std::move(out)); }
    void finishFound(bool locked) {
        Outcome out{true, true, {}, 0, {}};
        out.locked = locked;
        finish(std::move(out));
    }
};

void unlockedDefault(GObject*, GAsyncResult* result, gpointer data) {
    std::unique_ptr<KeyringCheck> check(static_cast<KeyringCheck*>(data));
    GError* error = nullptr;
    gint unlocked = secret_service_unlock_finish(check->service, result, nullptr, &error);
    if (error) {
        check->finish(failure(error));
        return;
    }
    // None unlocked: the person dismissed the prompt.
    check->finishFound(unlocked == 0);
}

void foundDefault(GObject*, GAsyncResult* result, gpointer data) {
    std::unique_ptr<KeyringCheck> check(static_cast<KeyringCheck*>(data));
    GError* error = nullptr;
    check->collection = secret_collection_for_alias_finish(result, &error);
    if (error) {
        check->finish(failure(error));
        return;
    }
    if (!check->collection) {
        check->finish(Outcome{true, false, {}, 0, {}});
        return;
    }
    bool locked = secret_collection_get_locked(check->collection);
    if (!locked || !check->unlock) {
        check->finishFound(locked);
        return;
    }
    // The service shows the desktop's prompt; cancelling the call dismisses it.
    GList* objects = g_list_append(nullptr, check->collection);
    SecretService* service = check->service;
    GCancellable* cancellable = check->call->cancellable;
    secret_service_unlock(service, objects, cancellable, unlockedDefault, check.release());
    g_list_free(objects);
}

void gotService(GObject*, GAsyncResult* result, gpointer data) {
    std::unique_ptr<KeyringCheck> check(static_cast<KeyringCheck*>(data));
    GError* error = nullptr;
    check->service = secret_service_get_finish(result, &error);
    if (!check->service) {
        check->finish(failure(error));
        return;
    }
    SecretService* service = check->service;
    GCancellable* cancellable = check->call->cancellable;
    secret_collection_for_alias(service, "default", SECRET_COLLECTION_NONE, cancellable, foundDefault,
                                check.release());
}

// Reports whether the default keyring exists (found) and is locked; with `unlock`, a locked one is
// first offered to the person to unlock.
void checkDefaultKeyring(std::shared_ptr<Call> call, bool unlock) {
    GCancellable* cancellable = call->cancellable;
    auto check = std::make_unique<KeyringCheck>();
    check->call = std::move(call);
    check->unlock = unlock;
    secret_service_get(SECRET_SERVICE_OPEN_SESSION, cancellable, gotService, check.release());
}

} // namespace

LibsecretSecretStore::LibsecretSecretStore(GlibThread& glib, std::chrono::milliseconds timeout)
    : mGlib(glib), mTimeout(timeout) {
}

bool LibsecretSecretStore::isUsable(GlibThread& glib, ProbeLimits limits, std::string& why) {
    auto found = runBounded(glib, limits.answer,
                            [](std::shared_ptr<Call> call) { checkDefaultKeyring(std::move(call), false); });
    if (!found.ok) {
        why = found.message;
        return false;
    }
    if (!found.found) {
        why = "it has no default keyring";
        return false;
    }
    if (found.locked) {
        if (limits.prompt.count() <= 0) {
            why = "its default keyring is locked";
            return false;
        }
        auto unlocked = runBounded(glib, limits.prompt, [](std::shared_ptr<Call> call) {
            checkDefaultKeyring(std::move(call), true);
        });
        if (!unlocked.ok || unlocked.locked) {
            why = unlocked.ok || unlocked.message == timedOut
                      ? "its default keyring is locked and the prompt to unlock it was not answered"
                      : unlocked.message;
            return false;
        }
    }
    // A fresh value each time, so an item left behind by an earlier probe cannot pass for this one.
    LibsecretSecretStore store(glib, limits.answer);
    std::string value = randomUuid();
    std::vector<std::uint8_t> bytes(value.begin(), value.end());
    auto written = store.write(probeService, probeAccount, bytes);
    if (!written.ok) {
        why = "an item could not be written: " + written.message;
        return false;
    }
    auto read = store.read(probeService, probeAccount);
    store.remove(probeService, probeAccount);
    if (read.status != Status::Ok || read.data != bytes) {
        why = read.status == Status::Failed ? "an item could not be read back: " + read.message
                                            : "an item written there did not read back";
        return false;
    }
    return true;
}

SecretStore::ReadResult LibsecretSecretStore::read(const std::string& service, const std::string& account) {
    auto out = runBounded(mGlib, mTimeout, [service, account](std::shared_ptr<Call> call) {
        secret_password_lookup(
            itemSchema(), call->cancellable,
            [](GObject*, GAsyncResult* result, gpointer pending) {
                auto done = release(pending);
                GError* error = nullptr;
                SecretValue* value = secret_password_lookup_binary_finish(result, &error);
                if (error) {
                    done->promise.set_value(failure(error));
                    return;
                }
                Outcome found{true, value != nullptr, {}, 0, {}};
                if (value) {
                    gsize length = 0;
                    const gchar* bytes = secret_value_get(value, &length);
                    found.data.assign(bytes, bytes + length);
                    secret_value_unref(value);
                }
                done->promise.set_value(std::move(found));
            },
            hold(call), "service", service.c_str(), "account", account.c_str(), nullptr);
    });
    if (!out.ok) {
        return {Status::Failed, {}, out.code, out.message};
    }
    return {out.found ? Status::Ok : Status::NotFound, std::move(out.data), 0, {}};
}

SecretStore::WriteResult LibsecretSecretStore::write(const std::string& service, const std::string& account,
                                                     std::span<const std::uint8_t> data) {
    std::string bytes(data.begin(), data.end());
    auto out = runBounded(mGlib, mTimeout, [service, account, bytes](std::shared_ptr<Call> call) {
        SecretValue* value =
            secret_value_new(bytes.data(), static_cast<gssize>(bytes.size()), "application/octet-stream");
        std::string label = "Pelorn: " + service + " (" + account + ")";
        secret_password_store_binary(
            itemSchema(), SECRET_COLLECTION_DEFAULT, label.c_str(), value, call->cancellable,
            [](GObject*, GAsyncResult* result, gpointer pending) {
                auto done = release(pending);
                GError* error = nullptr;
                if (!secret_password_store_finish(result, &error)) {
                    done->promise.set_value(failure(error));
                    return;
                }
                done->promise.set_value(Outcome{true, true, {}, 0, {}});
            },
            hold(call), "service", service.c_str(), "account", account.c_str(), nullptr);
        secret_value_unref(value);
    });
    return {out.ok, out.code, out.message};
}

bool LibsecretSecretStore::remove(const std::string& service, const std::string& account) {
    auto out = runBounded(mGlib, mTimeout, [service, account](std::shared_ptr<Call> call) {
        secret_password_clear(
            itemSchema(), call->cancellable,
            [](GObject*, GAsyncResult* result, gpointer pending) {
                auto done = release(pending);
                GError* error = nullptr;
                secret_password_clear_finish(result, &error);
                done->promise.set_value(error ? failure(error) : Outcome{true, true, {}, 0, {}});
            },
            hold(call), "service", service.c_str(), "account", account.c_str(), nullptr);
    });
    return out.ok;
}

} // namespace pelorn
