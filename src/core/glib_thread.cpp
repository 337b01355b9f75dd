#include "core/glib_thread.hpp"

#include <glib.h>
#include <memory>

namespace pelorn {

GlibThread::GlibThread() : mContext(g_main_context_new()), mLoop(g_main_loop_new(mContext, FALSE)) {
    mThread = std::thread([this] {
        g_main_context_push_thread_default(mContext);
        g_main_loop_run(mLoop);
        // Let cancelled operations deliver their callbacks before the context goes away.
        while (g_main_context_iteration(mContext, FALSE)) {
        }
        g_main_context_pop_thread_default(mContext);
    });
}

GlibThread::~GlibThread() {
    invoke([this] { g_main_loop_quit(mLoop); });
    mThread.join();
    g_main_loop_unref(mLoop);
    g_main_context_unref(mContext);
}

GlibThread& GlibThread::shared() {
    static GlibThread instance;
    return instance;
}

void GlibThread::invoke(std::function<void()> fn) {
    // GLib owns the callable until its destroy notify runs.
    auto* heap = std::make_unique<std::function<void()>>(std::move(fn)).release();
    g_main_context_invoke_full(
        mContext, G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            (*static_cast<std::function<void()>*>(data))();
            return G_SOURCE_REMOVE;
        },
        heap,
        [](gpointer data) {
            std::unique_ptr<std::function<void()>>(static_cast<std::function<void()>*>(data));
        });
}

} // namespace pelorn
