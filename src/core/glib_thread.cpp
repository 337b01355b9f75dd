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
    // The work travels through a queue of our own, under our own lock, so the hand-over is one a
    // thread sanitizer can see (GLib's own locking is not instrumented); GLib only wakes the thread.
    {
        std::lock_guard lock(mMutex);
        mQueue.push_back(std::move(fn));
    }
    g_main_context_invoke(
        mContext,
        [](gpointer self) -> gboolean {
            static_cast<GlibThread*>(self)->runQueued();
            return G_SOURCE_REMOVE;
        },
        this);
}

void GlibThread::runQueued() {
    for (;;) {
        std::function<void()> next;
        {
            std::lock_guard lock(mMutex);
            if (mQueue.empty()) {
                return;
            }
            next = std::move(mQueue.front());
            mQueue.pop_front();
        }
        next();
    }
}

} // namespace pelorn
