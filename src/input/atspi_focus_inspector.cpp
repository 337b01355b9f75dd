#include "input/atspi_focus_inspector.hpp"

#include "core/log.hpp"

#include <atspi/atspi.h>
#include <gio/gio.h>

namespace pelorn {

namespace {

constexpr auto handOverGap = std::chrono::milliseconds(150);
constexpr char focusEvent[] = "object:state-changed:focused";

// The accessibility bus is started on demand by the session bus; without either, no
// application can tell what it has focused.
bool accessibilityBusReachable() {
    GError* error = nullptr;
    GDBusConnection* session = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!session) {
        Log::shared().debug("text focus", error->message);
        g_error_free(error);
        return false;
    }
    GVariant* reply = g_dbus_connection_call_sync(session, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus",
                                                  "GetAddress", nullptr, G_VARIANT_TYPE("(s)"),
                                                  G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, &error);
    g_object_unref(session);
    if (!reply) {
        Log::shared().debug("text focus", error->message);
        g_error_free(error);
        return false;
    }
    g_variant_unref(reply);
    return true;
}

bool hasState(AtspiAccessible* object, AtspiStateType state) {
    AtspiStateSet* states = atspi_accessible_get_state_set(object);
    if (!states) {
        return false;
    }
    bool has = atspi_state_set_contains(states, state);
    g_object_unref(states);
    return has;
}

AtspiRole roleOf(AtspiAccessible* object) {
    GError* error = nullptr;
    AtspiRole role = atspi_accessible_get_role(object, &error);
    if (error) {
        g_error_free(error);
        return ATSPI_ROLE_INVALID;
    }
    return role;
}

bool editableText(AtspiAccessible* object) {
    if (!hasState(object, ATSPI_STATE_EDITABLE)) {
        return false;
    }
    AtspiText* text = atspi_accessible_get_text_iface(object);
    if (text) {
        g_object_unref(text);
    }
    return text != nullptr;
}

bool acceptsText(AtspiAccessible* object) {
    switch (roleOf(object)) {
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_PASSWORD_TEXT:
    case ATSPI_ROLE_TERMINAL:
        return true;
    case ATSPI_ROLE_INVALID:
        return false;
    case ATSPI_ROLE_COMBO_BOX: {
        GError* error = nullptr;
        int children = atspi_accessible_get_child_count(object, &error);
        if (error) {
            g_error_free(error);
            return false;
        }
        for (int i = 0; i < children; ++i) {
            AtspiAccessible* child = atspi_accessible_get_child_at_index(object, i, nullptr);
            if (!child) {
                continue;
            }
            AtspiRole role = roleOf(child);
            bool editable = (role == ATSPI_ROLE_ENTRY || role == ATSPI_ROLE_TEXT) && editableText(child);
            g_object_unref(child);
            if (editable) {
                return true;
            }
        }
        return false;
    }
    default:
        // Text views and custom widgets: editable text is what the keyboard is for.
        return editableText(object);
    }
}

} // namespace

AtspiFocusInspector::~AtspiFocusInspector() {
    end();
}

bool AtspiFocusInspector::begin() {
    // Asked at every start: the library cannot be used once its bus has gone.
    if (!accessibilityBusReachable()) {
        return false;
    }
    static bool initialised = false;
    if (!initialised) {
        if (atspi_init() > 1) { // 1: already initialised by someone else in this process
            return false;
        }
        initialised = true;
    }
    // Events arrive on this thread's context; no query waits longer than the bound.
    atspi_set_main_context(g_main_context_get_thread_default());
    atspi_set_timeout(queryTimeoutMs, -1);
    if (!mListener) {
        mListener = atspi_event_listener_new(onFocusEvent, this, nullptr);
        GError* error = nullptr;
        if (!atspi_event_listener_register(mListener, focusEvent, &error)) {
            Log::shared().debug("text focus", error ? error->message : "cannot follow focus");
            g_clear_error(&error);
            g_clear_object(&mListener);
            return false;
        }
    }
    findFocused();
    return true;
}

void AtspiFocusInspector::end() {
    if (mListener) {
        atspi_event_listener_deregister(mListener, focusEvent, nullptr);
        g_clear_object(&mListener);
    }
    focus(nullptr);
    mLastAnswer = false;
}

void AtspiFocusInspector::onFocusEvent(AtspiEvent* event, void* data) {
    auto* self = static_cast<AtspiFocusInspector*>(data);
    if (event->detail1) {
        self->focus(event->source);
    } else if (event->source == self->mFocused) {
        self->focus(nullptr);
        self->mLostAt = std::chrono::steady_clock::now();
    }
    g_boxed_free(atspi_event_get_type(), event); // handed to us
}

void AtspiFocusInspector::focus(AtspiAccessible* object) {
    if (object) {
        g_object_ref(object);
    }
    if (mFocused) {
        g_object_unref(mFocused);
    }
    mFocused = object;
}

// What had focus before watching began: the focused object in an active window.
void AtspiFocusInspector::findFocused() {
    AtspiAccessible* desktop = atspi_get_desktop(0);
    if (!desktop) {
        return;
    }
    GArray* states = g_array_new(FALSE, FALSE, sizeof(AtspiStateType));
    AtspiStateType focusedState = ATSPI_STATE_FOCUSED;
    g_array_append_val(states, focusedState);
    AtspiStateSet* wanted = atspi_state_set_new(states);
    g_array_free(states, TRUE);
    AtspiMatchRule* rule = atspi_match_rule_new(
        wanted, ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_NONE, nullptr,
        ATSPI_Collection_MATCH_NONE, nullptr, ATSPI_Collection_MATCH_NONE, FALSE);
    int apps = atspi_accessible_get_child_count(desktop, nullptr);
    for (int a = 0; a < apps && !mFocused; ++a) {
        AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, a, nullptr);
        int windows = app ? atspi_accessible_get_child_count(app, nullptr) : 0;
        for (int w = 0; w < windows && !mFocused; ++w) {
            AtspiAccessible* window = atspi_accessible_get_child_at_index(app, w, nullptr);
            if (window && hasState(window, ATSPI_STATE_ACTIVE)) {
                if (AtspiCollection* collection = atspi_accessible_get_collection_iface(window)) {
                    GArray* found = atspi_collection_get_matches(
                        collection, rule, ATSPI_Collection_SORT_ORDER_CANONICAL, 1, TRUE, nullptr);
                    if (found && found->len > 0) {
                        focus(g_array_index(found, AtspiAccessible*, 0));
                    }
                    if (found) {
                        for (guint i = 0; i < found->len; ++i) {
                            g_object_unref(g_array_index(found, AtspiAccessible*, i));
                        }
                        g_array_free(found, TRUE);
                    }
                    g_object_unref(collection);
                }
            }
            if (window) {
                g_object_unref(window);
            }
        }
        if (app) {
            g_object_unref(app);
        }
    }
    g_object_unref(rule);
    g_object_unref(wanted);
    g_object_unref(desktop);
}

bool AtspiFocusInspector::isTextFieldFocused() {
    if (!mFocused) {
        if (std::chrono::steady_clock::now() - mLostAt < handOverGap) {
            return mLastAnswer;
        }
        return mLastAnswer = false;
    }
    return mLastAnswer = acceptsText(mFocused);
}

} // namespace pelorn
