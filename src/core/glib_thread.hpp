#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;

namespace pelorn {

// One thread running a GLib main context, shared by everything built on GLib (libsecret, GDBus,
// later GStreamer and AT-SPI). Asynchronous GLib calls started through invoke() complete there.
class GlibThread {
public:
    GlibThread();
    ~GlibThread();
    static GlibThread& shared();

    // Runs fn on the GLib thread, with its context as the thread default. Any thread.
    void invoke(std::function<void()> fn);
    GMainContext* context() const { return mContext; }

    GlibThread(const GlibThread&) = delete;
    GlibThread& operator=(const GlibThread&) = delete;

private:
    void runQueued(); // on the GLib thread

    GMainContext* mContext;
    GMainLoop* mLoop;
    std::mutex mMutex; // guards mQueue
    std::deque<std::function<void()>> mQueue;
    std::thread mThread;
};

} // namespace pelorn
