// The local terminal view: a key pressed in the web view to its echo in xterm.js's buffer, and the
// memory of a window with one terminal open. The window, the host pieces and a private tmux server
// run in this process, on an X server of the benchmark's own; keys go in through the web view as
// the owner's would, and the buffer is read back from the page (about a millisecond per look, which
// bounds the figures' resolution).
// Usage: terminal_view_bench [KEYS]   (default 300)
#include "support/private_servers.hpp"
#include "ui/style.hpp"
#include "ui/terminal_section.hpp"
#include "ui/terminal_view.hpp"
#include "ui/window_fixture.hpp"

#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <fstream>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono;

namespace {

// This process's helpers (the web engine's renderer and the like), by their parent.
std::vector<int> children() {
    std::vector<int> pids;
    DIR* proc = ::opendir("/proc");
    while (auto* entry = proc ? ::readdir(proc) : nullptr) {
        int pid = std::atoi(entry->d_name);
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (pid <= 0 || !std::getline(stat, line)) {
            continue;
        }
        auto close = line.rfind(')');
        int parent = 0;
        char state = 0;
        if (close != std::string::npos &&
            std::sscanf(line.c_str() + close + 1, " %c %d", &state, &parent) == 2 && parent == ::getpid()) {
            pids.push_back(pid);
        }
    }
    if (proc) {
        ::closedir(proc);
    }
    return pids;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

struct Bench : WindowFixture {
    ui::MacSessionTerminalView* view() { return shell().terminalSection()->terminalView(); }
    bool pageHas(const QString& text) {
        bool done = false, found = false;
        view()->terminal()->evaluate("String(window.termScreenText().indexOf('" + text + "') >= 0)",
                                     [&](const QString& value) {
                                         found = value == "true";
                                         done = true;
                                     });
        pumpUntil([&] { return done; });
        return found;
    }
};

} // namespace

int main(int argc, char** argv) {
    int keys = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
    PrivateXvfb xvfb;
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ui::prepareWebEngine([](const std::string& line) { std::printf("%s\n", line.c_str()); });
    QApplication app(argc, argv);
    ui::applyTheme(app, false);
    long before = residentKiB(::getpid());
    {
        Bench b;
        b.settings.set("initialSection", "Terminal");
        b.open();
        b.window().resize(940, 640);
        b.window().showWindow();
        long windowOnly = residentKiB(::getpid());
        if (!std::holds_alternative<std::monostate>(b.tmux.newSession("bench"))) {
            std::fprintf(stderr, "no tmux session\n");
            return 1;
        }
        auto* section = b.shell().terminalSection();
        if (!b.pumpUntil([&] { return section->openButton(0) != nullptr; })) {
            std::fprintf(stderr, "the session is not listed\n");
            return 1;
        }
        QTest::mouseClick(section->openButton(0), Qt::LeftButton);
        if (!b.pumpUntil([&] { return b.view()->terminal()->state().attached && b.pageHas("[bench]"); },
                         seconds(60))) {
            std::fprintf(stderr, "the terminal did not open\n");
            return 1;
        }
        auto* target = b.view()->terminal()->keyTarget();
        std::vector<double> ms;
        QString typed;
        for (int i = 0; i < keys; ++i) {
            if (typed.size() == 40) {
                QTest::keyClick(target, Qt::Key_U, Qt::ControlModifier); // the terminal's kill-line
                typed.clear();
                b.pumpUntil([&] { return !b.pageHas("# a"); }, seconds(10));
            }
            char key = static_cast<char>('a' + typed.size() % 26);
            typed += key;
            auto start = steady_clock::now();
            QTest::keyClick(target, key);
            if (!b.pumpUntil([&] { return b.pageHas("# " + typed); }, seconds(10))) {
                std::fprintf(stderr, "no echo for key %d\n", i);
                return 1;
            }
            ms.push_back(duration<double, std::milli>(steady_clock::now() - start).count());
        }
        long self = residentKiB(::getpid());
        long helpers = 0;
        for (int pid : children()) {
            helpers += std::max(0L, residentKiB(pid));
        }
        std::printf(
            "key pressed -> echo in xterm.js's buffer, %d keys: p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
            keys, percentile(ms, 0.5), percentile(ms, 0.99), *std::max_element(ms.begin(), ms.end()));
        std::printf(
            "resident memory: before the window %.1f MiB, window shown %.1f MiB, one terminal open %.1f MiB "
            "in the host + %.1f MiB in the web engine's helper processes\n",
            before / 1024.0, windowOnly / 1024.0, self / 1024.0, helpers / 1024.0);
    }
    return 0;
}
