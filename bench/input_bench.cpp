// Remote input on a private Xvfb: how long a "mouse_event" takes from the client's socket to an
// X application, against XTEST called directly; and how fast Unicode text is typed.
#include "bench_host.hpp"
#include "input/keyboard_controller.hpp"
#include "input/remote_input.hpp"
#include "input/x11_input.hpp"
#include "signaling/signaling_message.hpp"
#include "support/x_session.hpp"

#include <X11/extensions/XTest.h>

using namespace pelorn;
using namespace pelorn::bench;
using pelorn::test::SeenEvent;
using pelorn::test::XEventRecorder;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int width = 1280, height = 800;

double msSince(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Moves to a fresh pixel each time and waits for the application to see it.
std::vector<double> moves(XEventRecorder& recorder, int count,
                          const std::function<void(int x, int y)>& move) {
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        int x = 100 + (i % 2) * 800 + (i / 2) % 200, y = 100 + (i % 500);
        recorder.clear();
        auto sent = Clock::now();
        move(x, y);
        bool seen = recorder.waitFor([&](auto& events) {
            return std::any_of(events.begin(), events.end(),
                               [&](auto& e) { return e.kind == SeenEvent::Motion && e.x == x && e.y == y; });
        });
        if (!seen) {
            std::fprintf(stderr, "move %d to %d,%d never arrived\n", i, x, y);
            std::exit(1);
        }
        auto events = recorder.events();
        auto at = std::find_if(events.begin(), events.end(), [&](auto& e) { return e.x == x && e.y == y; });
        ms.push_back(msSince(sent, at->seenAt));
    }
    return ms;
}

// 2,000 characters drawn from accented Latin, symbols, Greek, Cyrillic, CJK and emoji, with
// plain letters in between: far more different characters than there are spare keycodes.
std::string unicodeText(std::size_t characters) {
    const char* pool[] = {"é",  "ü",  "ñ",  "ß",  "€", "£", "Ω", "λ", "ж", "я", "中", "文", "字", "日",
                          "本", "語", "😀",  "🚀",  "🎉", "✓", "→", "ø", "å", "ç", "ł",  "ğ",  "ş",  "ő",
                          "ű",  "漢", "한", "글", "α", "β", "γ", "δ", "Ж", "Ф", "ї",  "ą"};
    std::string text;
    for (std::size_t i = 0; i < characters; ++i) {
        if (i % 3 == 2) {
            text += static_cast<char>('a' + i % 26);
        } else {
            text += pool[(i * 7) % std::size(pool)];
        }
    }
    return text;
}

double typingRate(XEventRecorder& recorder, const std::string& text, std::size_t characters,
                  const std::function<void()>& type) {
    recorder.clear();
    auto start = Clock::now();
    type();
    if (!recorder.waitFor([&](auto& events) { return XEventRecorder::typed(events).size() >= text.size(); },
                          120s)) {
        std::fprintf(stderr, "the text did not arrive: %s\n",
                     XEventRecorder::typed(recorder.events()).c_str());
        std::exit(1);
    }
    auto events = recorder.events();
    if (XEventRecorder::typed(events) != text) {
        std::fprintf(stderr, "the text arrived changed\n");
        std::exit(1);
    }
    return static_cast<double>(characters) / (msSince(start, events.back().seenAt) / 1000);
}

} // namespace

int main(int argc, char** argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    std::size_t characters = argc > 2 ? static_cast<std::size_t>(std::atoi(argv[2])) : 2000;
    test::PrivateXvfb xvfb(std::to_string(width) + "x" + std::to_string(height) + "x24");
    XEventRecorder recorder;
    Host host;
    auto port = goOnline(host);
    client::Credentials device("BENCH-DEVICE", "Bench", "bench");
    auto session = approvedSession(host, port, device);

    auto lan = [&](int x, int y) {
        session->connection().send(
            SignalingMessage{.type = "mouse_event", .x = (x + 0.5) / width, .y = (y + 0.5) / height});
    };
    Display* display = XOpenDisplay(nullptr);
    auto direct = [&](int x, int y) {
        XTestFakeMotionEvent(display, 0, x, y, CurrentTime);
        XFlush(display);
    };
    moves(recorder, 50, lan); // warm-up
    auto lanMs = moves(recorder, count, lan);
    auto directMs = moves(recorder, count, direct);
    report("mouse_event sent -> seen by an X client", lanMs);
    report("XTEST motion from this process -> seen", directMs);
    std::sort(lanMs.begin(), lanMs.end());
    std::sort(directMs.begin(), directMs.end());
    std::printf("median difference %.3f ms, p99 difference %.3f ms\n",
                lanMs[lanMs.size() / 2] - directMs[directMs.size() / 2],
                lanMs[lanMs.size() * 99 / 100] - directMs[directMs.size() * 99 / 100]);

    auto text = unicodeText(characters);
    double lanRate = typingRate(recorder, text, characters, [&] {
        session->connection().send(SignalingMessage{.type = "key_event", .key = text});
    });
    std::string plain;
    for (std::size_t i = 0; i < characters; ++i) {
        plain += static_cast<char>('a' + i % 26);
    }
    double plainRate = typingRate(recorder, plain, characters, [&] {
        session->connection().send(SignalingMessage{.type = "key_event", .key = plain});
    });
    // The host's borrowed keys go back a second after it stops typing; a second typist reading
    // the keymap before then would take them for real keys.
    std::this_thread::sleep_for(RemoteInput::restoreDelay + 500ms);
    HostLoop loop;
    X11Input input(loop);
    KeyboardController keyboard(input);
    double inProcessRate = typingRate(recorder, text, characters, [&] { keyboard.typeText(text); });
    std::printf("%zu-character Unicode text over the LAN: %.0f characters/s\n", characters, lanRate);
    std::printf(
        "the same text typed in this process, no network: %.0f characters/s (ratio LAN/direct %.2f)\n",
        inProcessRate, lanRate / inProcessRate);
    std::printf("%zu plain letters over the LAN: %.0f characters/s\n", characters, plainRate);
    XCloseDisplay(display);
}
