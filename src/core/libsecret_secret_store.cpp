#include "core/libsecret_secret_store.hpp"

#include "core/glib_thread.hpp"

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
};

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
    out.message = "the Secret Service did not answer in time";
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

} // namespace

LibsecretSecretStore::LibsecretSecretStore(GlibThread& glib, std::chrono::milliseconds timeout)
    : mGlib(glib), mTimeout(timeout) {
}

bool LibsecretSecretStore::isAvailable(GlibThread& glib, std::chrono::milliseconds timeout,
                                       std::string& why) {
    auto out = runBounded(glib, timeout, [](std::shared_ptr<Call> call) {
        secret_service_get(
            SECRET_SERVICE_OPEN_SESSION, call->cancellable,
            [](GObject*, GAsyncResult* result, gpointer pending) {
                auto done = release(pending);
                GError* error = nullptr;
                SecretService* service = secret_service_get_finish(result, &error);
                if (!service) {
                    done->promise.set_value(failure(error));
                    return;
                }
                g_object_unref(service);
                done->promise.set_value(Outcome{true, true, {}, 0, {}});
            },
            hold(call));
    });
    why = out.message;
    return out.ok;
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
