#pragma once

// Helpers for the screen tests: drawing on a private X server and decoding what the host sent.
#include "client/media_reader.hpp"
#include "core/process_runner.hpp"
#include "support/x_session.hpp"

#include <fstream>
#include <map>

namespace pelorn::test {

// Fills a rectangle of the root window, as any application drawing would (it damages the screen).
inline void fillOnRoot(unsigned long rgb, int x, int y, unsigned w, unsigned h) {
    Display* d = XOpenDisplay(nullptr);
    GC gc = XCreateGC(d, DefaultRootWindow(d), 0, nullptr);
    XSetForeground(d, gc, rgb);
    XFillRectangle(d, DefaultRootWindow(d), gc, x, y, w, h);
    XSync(d, False);
    XFreeGC(d, gc);
    XCloseDisplay(d);
}

struct Probe {
    std::map<std::string, std::string> stream; // ffprobe's stream fields
    std::string errors;                        // the decoder's complaints
};

// Decodes every frame of an Annex-B HEVC stream with ffprobe.
inline Probe ffprobe(const std::string& annexB, const std::string& file) {
    std::ofstream(file, std::ios::binary) << annexB;
    auto r = runProcess({"ffprobe", "-v", "error", "-f", "hevc", "-count_frames", "-show_entries",
                         "stream=codec_name,width,height,profile,pix_fmt,nb_read_frames", "-of",
                         "default=nw=1", file});
    Probe probe;
    probe.errors = r.err;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        if (auto eq = line.find('='); eq != std::string::npos) {
            probe.stream[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return probe;
}

inline int countOf(const std::vector<client::MediaReader::Message>& messages, int type) {
    return static_cast<int>(
        std::count_if(messages.begin(), messages.end(), [&](auto& m) { return m.type == type; }));
}

// The wire's rules: a type-0 message right before every keyframe, timestamps rising.
inline void expectWellFormed(const std::vector<client::MediaReader::Message>& messages) {
    std::uint64_t last = 0;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const auto& m = messages[i];
        if (m.type != 1) {
            EXPECT_EQ(m.flags, 0);
            EXPECT_EQ(m.timestamp, 0u);
            continue;
        }
        if (m.flags == 1) {
            // A heartbeat may come in between; nothing else may.
            std::size_t before = i;
            while (before > 0 && messages[before - 1].type == 2) {
                --before;
            }
            EXPECT_TRUE(before > 0 && messages[before - 1].type == 0)
                << "keyframe " << i << " without parameter sets";
        }
        EXPECT_GT(m.timestamp, last) << "message " << i;
        last = m.timestamp;
    }
}

} // namespace pelorn::test
