#pragma once

// Content for the screen benchmark, drawn on the current DISPLAY at a fixed 60 Hz by a thread of
// its own with its own X connection.
//  - Desktop: what a remote desktop really shows, every frame different. A terminal-like pane on
//    the left scrolls one line of text per frame, a photo-like image glides across the right half,
//    and a window is dragged across both. All of it is composed in the X server from pixmaps, so
//    drawing costs the server little and the benchmark measures the stream, not the drawing.
//  - FlatFill: a bar sweeping over a flat background, cheap to encode.

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace pelorn::bench {

class DesktopContent {
public:
    enum class Kind { Desktop, FlatFill };
    static constexpr auto frameInterval = std::chrono::nanoseconds(1'000'000'000 / 60);

    // Drawn on the leftmost `width` pixels of the screen (0: all of it).
    explicit DesktopContent(Kind kind, int width = 0) : mKind(kind), mWidth(width) {
        mThread = std::thread([this] { run(); });
        while (!mReady) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ~DesktopContent() {
        mStop = true;
        mThread.join();
    }

    // Frames drawn per second since the last call (or the start).
    double framesPerSecond() {
        auto now = std::chrono::steady_clock::now();
        auto frames = mFrames.exchange(0);
        double seconds = std::chrono::duration<double>(now - mSince).count();
        mSince = now;
        return seconds > 0 ? static_cast<double>(frames) / seconds : 0;
    }

private:
    struct Scene {
        Display* display = nullptr;
        Window root = 0;
        GC gc = nullptr;
        int width = 0, height = 0;
        Pixmap terminal = 0; // the left pane, scrolled in place
        Pixmap photo = 0;    // twice the right pane's width, so it can glide
        int lineHeight = 13;
    };

    void run() {
        Scene s;
        s.display = XOpenDisplay(nullptr);
        s.root = DefaultRootWindow(s.display);
        s.gc = XCreateGC(s.display, s.root, 0, nullptr);
        s.width = mWidth > 0 ? mWidth : DisplayWidth(s.display, 0);
        s.height = DisplayHeight(s.display, 0);
        if (mKind == Kind::Desktop) {
            prepare(s);
        }
        XSync(s.display, False);
        mSince = std::chrono::steady_clock::now();
        mReady = true;
        auto next = std::chrono::steady_clock::now();
        for (unsigned frame = 0; !mStop; ++frame) {
            if (mKind == Kind::Desktop) {
                drawDesktop(s, frame);
            } else {
                drawFlat(s, frame);
            }
            XSync(s.display, False);
            ++mFrames;
            next += frameInterval;
            auto now = std::chrono::steady_clock::now();
            if (next < now) {
                next = now; // behind: draw the next one at once, never a burst to catch up
            }
            std::this_thread::sleep_until(next);
        }
        if (s.terminal) {
            XFreePixmap(s.display, s.terminal);
            XFreePixmap(s.display, s.photo);
        }
        XFreeGC(s.display, s.gc);
        XCloseDisplay(s.display);
    }

    // Smooth shapes of several sizes plus fine grain: close enough to a photograph for an encoder.
    static void prepare(Scene& s) {
        int pane = s.width / 2;
        s.terminal = XCreatePixmap(s.display, s.root, static_cast<unsigned>(pane),
                                   static_cast<unsigned>(s.height), 24);
        XSetForeground(s.display, s.gc, 0x1e1e1e);
        XFillRectangle(s.display, s.terminal, s.gc, 0, 0, static_cast<unsigned>(pane),
                       static_cast<unsigned>(s.height));
        int photoWidth = 2 * (s.width - pane);
        s.photo = XCreatePixmap(s.display, s.root, static_cast<unsigned>(photoWidth),
                                static_cast<unsigned>(s.height), 24);
        std::vector<std::uint32_t> pixels(static_cast<std::size_t>(photoWidth) *
                                          static_cast<std::size_t>(s.height));
        std::mt19937 random(7);
        std::uniform_int_distribution<int> grain(-12, 12);
        for (int y = 0; y < s.height; ++y) {
            for (int x = 0; x < photoWidth; ++x) {
                double fx = x, fy = y;
                double a = std::sin(fx * 0.0071 + std::sin(fy * 0.0053) * 2.1);
                double b = std::sin(fy * 0.0127 - fx * 0.0043 + std::cos(fx * 0.0021) * 3.0);
                double c = std::sin((fx + fy) * 0.031) * std::cos((fx - fy) * 0.017);
                auto channel = [&](double v) {
                    return static_cast<std::uint32_t>(
                        std::clamp(static_cast<int>(v) + grain(random), 0, 255));
                };
                std::uint32_t r = channel(120 + 70 * a + 30 * c);
                std::uint32_t g = channel(110 + 60 * b + 25 * a * c);
                std::uint32_t bl = channel(100 + 50 * a * b + 40 * c);
                pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(photoWidth) +
                       static_cast<std::size_t>(x)] = (r << 16) | (g << 8) | bl;
            }
        }
        XImage* image = XCreateImage(
            s.display, DefaultVisual(s.display, 0), 24, ZPixmap, 0, reinterpret_cast<char*>(pixels.data()),
            static_cast<unsigned>(photoWidth), static_cast<unsigned>(s.height), 32, 0);
        XPutImage(s.display, s.photo, s.gc, image, 0, 0, 0, 0, static_cast<unsigned>(photoWidth),
                  static_cast<unsigned>(s.height));
        image->data = nullptr; // the vector owns the pixels
        XDestroyImage(image);
    }

    static void drawDesktop(Scene& s, unsigned frame) {
        int pane = s.width / 2;
        auto paneWidth = static_cast<unsigned>(pane);
        auto height = static_cast<unsigned>(s.height);
        // The terminal scrolls one line and prints the next.
        XCopyArea(s.display, s.terminal, s.terminal, s.gc, 0, s.lineHeight, paneWidth,
                  height - static_cast<unsigned>(s.lineHeight), 0, 0);
        XSetForeground(s.display, s.gc, 0x1e1e1e);
        XFillRectangle(s.display, s.terminal, s.gc, 0, s.height - s.lineHeight, paneWidth,
                       static_cast<unsigned>(s.lineHeight));
        char line[160];
        int length =
            std::snprintf(line, sizeof line,
                          "-rw-r--r-- 1 owner staff %8u Dec  7 13:%02u libpelorn_%05u.so.%u -> "
                          "build/lib/%08x/objects/frame-%u.o",
                          frame * 7919u % 9999991u, frame % 60, frame, frame % 9, frame * 2654435761u, frame);
        XSetForeground(s.display, s.gc, 0xd0d0d0 - (frame % 5) * 0x101010);
        XDrawString(s.display, s.terminal, s.gc, 4, s.height - 3, line, length);
        XCopyArea(s.display, s.terminal, s.root, s.gc, 0, 0, paneWidth, height, 0, 0);
        // The photo glides back and forth across the right half.
        int right = s.width - pane;
        int travel = right;
        int step = static_cast<int>((frame * 3) % static_cast<unsigned>(2 * travel));
        int offset = step < travel ? step : 2 * travel - step;
        XCopyArea(s.display, s.photo, s.root, s.gc, offset, 0, static_cast<unsigned>(right), height, pane, 0);
        // A window dragged along a slow loop over both halves.
        int w = s.width / 4, h = s.height / 4;
        double t = frame * 0.02;
        int x = static_cast<int>((s.width - w) * (0.5 + 0.45 * std::sin(t)));
        int y = static_cast<int>((s.height - h) * (0.5 + 0.45 * std::sin(t * 1.7)));
        XSetForeground(s.display, s.gc, 0x3a3a3a);
        XFillRectangle(s.display, s.root, s.gc, x, y, static_cast<unsigned>(w), 28);
        XSetForeground(s.display, s.gc, 0xf2f2f2);
        XFillRectangle(s.display, s.root, s.gc, x, y + 28, static_cast<unsigned>(w),
                       static_cast<unsigned>(h - 28));
        XSetForeground(s.display, s.gc, 0x202020);
        for (int row = 0; row * 16 + 48 < h; ++row) {
            std::string text = "Settings > Devices > iPad (" + std::to_string(row) + ")";
            XDrawString(s.display, s.root, s.gc, x + 12, y + 48 + row * 16, text.c_str(),
                        static_cast<int>(text.size()));
        }
    }

    static void drawFlat(Scene& s, unsigned frame) {
        XSetForeground(s.display, s.gc, 0x202020);
        XFillRectangle(s.display, s.root, s.gc, 0, 0, static_cast<unsigned>(s.width),
                       static_cast<unsigned>(s.height));
        XSetForeground(s.display, s.gc, 0x3050a0 + (frame * 0x010203 & 0x7f7f7f));
        XFillRectangle(s.display, s.root, s.gc,
                       static_cast<int>((frame * 24) % static_cast<unsigned>(s.width)), 0, 240,
                       static_cast<unsigned>(s.height));
    }

    Kind mKind;
    int mWidth;
    std::atomic<bool> mStop{false};
    std::atomic<bool> mReady{false};
    std::atomic<unsigned> mFrames{0};
    std::chrono::steady_clock::time_point mSince;
    std::thread mThread;
};

} // namespace pelorn::bench
