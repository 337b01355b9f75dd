// The local terminal view's controller against a page of the test's own (no web engine), with real
// attachments to a private tmux server.
#include "core/base64.hpp"
#include "core/settings.hpp"
#include "core/task_pool.hpp"
#include "support/private_tmux.hpp"
#include "terminal/mac_terminal_controller.hpp"
#include "terminal/terminal_session_store.hpp"

#include <gtest/gtest.h>

using namespace pelorn;
using namespace std::chrono_literals;

namespace {

// Records what the controller asks of the page; readiness and the clipboard as the test sets them.
// Holds back the page's "taken" answers while `holding`.
struct StubPage : TerminalPage {
    void evaluate(const std::string& script, std::function<void(bool)> done) override {
        scripts.push_back(script);
        if (!done) {
            return;
        }
        if (script == MacTerminalController::readyScript) {
            done(ready);
        } else if (holding) {
            held.push_back(std::move(done));
        } else {
            done(false);
        }
    }
    void setClipboard(const std::string& text) override { clipboard = text; }
    void readClipboard(std::function<void(std::optional<std::string>)> done) override { done(clipboard); }

    // Everything the page was given to write, decoded, in order.
    std::string written() const {
        std::string all;
        for (const auto& s : scripts) {
            if (s.starts_with("window.termWrite('")) {
                auto text = s.substr(18, s.size() - 18 - 3);
                auto bytes = base64::decode(text);
                EXPECT_TRUE(bytes) << s.substr(0, 80);
                all.append(bytes->begin(), bytes->end());
            }
        }
        return all;
    }
    std::size_t writes() const {
        return std::count_if(scripts.begin(), scripts.end(),
                             [](const auto& s) { return s.starts_with("window.termWrite("); });
    }

    bool ready = true;
    bool holding = false;
    std::optional<std::string> clipboard;
    std::vector<std::string> scripts;
    std::vector<std::function<void(bool)>> held;
};

struct ControllerTest : ::testing::Test, test::PrivateTmux {
    ControllerTest() { EXPECT_TRUE(std::holds_alternative<std::monostate>(tmux.newSession("work"))); }
    ~ControllerTest() override {
        controller.reset();
        pool.waitIdle();
    }
    MacTerminalController& make(const std::string& session = "work") {
        controller = std::make_unique<MacTerminalController>(loop, tmux, store, session, page);
        return *controller;
    }
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
        return test::pumpUntil(
            loop,
            [&] {
                pool.waitIdle();
                return done();
            },
            limit);
    }
    static nlohmann::json size(int columns, int rows) { return {{"cols", columns}, {"rows", rows}}; }

    HostLoop loop{HostLoop::TimeMode::Manual};
    test::LogCapture lines;
    Settings settings{std::nullopt};
    TaskPool pool{1};
    TerminalSessionStore store{loop, pool, tmux, settings,
                               [](const std::filesystem::path&) { return std::optional<std::string>(); }};
    std::shared_ptr<StubPage> page = std::make_shared<StubPage>();
    std::unique_ptr<MacTerminalController> controller;
};

TEST_F(ControllerTest, OutputBeforeThePageIsReadyIsHeldTrimmedAndReplayedInOneCall) {
    auto& c = make();
    c.deliver(std::string(399'999, 'a'));
    EXPECT_EQ(c.pending().size(), 399'999u);
    c.deliver("bc"); // 400,001: over the cap
    ASSERT_EQ(c.pending().size(), MacTerminalController::pendingKept);
    EXPECT_TRUE(c.pending().ends_with("abc"));
    c.deliver(std::string(50'000, 'd')); // held again until the cap is passed once more
    EXPECT_EQ(c.pending().size(), 350'000u);
    EXPECT_TRUE(page->scripts.empty());

    c.pageLoaded();
    EXPECT_TRUE(c.pageReady());
    ASSERT_EQ(page->scripts.size(), 3u);
    EXPECT_EQ(page->scripts[0], MacTerminalController::readyScript);
    EXPECT_EQ(page->scripts[1], MacTerminalController::writeScript(std::string(299'998, 'a') + "bc" +
                                                                   std::string(50'000, 'd')));
    EXPECT_EQ(page->scripts[2], MacTerminalController::focusScript);
    EXPECT_TRUE(c.pending().empty());

    c.deliver("\x1b[1mhi\xff");
    EXPECT_EQ(page->scripts.back(), "window.termWrite('G1sxbWhp/w==');");
    EXPECT_FALSE(c.error().get());
}

TEST_F(ControllerTest, APageThatNeverGetsReadyShowsTheLoadErrorAndHoldsItsOutput) {
    page->ready = false;
    auto& c = make();
    c.deliver("early");
    c.pageLoaded();
    EXPECT_EQ(c.error().get(), std::optional<std::string>("The terminal view failed to load."));
    EXPECT_FALSE(c.pageReady());
    EXPECT_EQ(page->writes(), 0u);
    EXPECT_EQ(c.pending(), "early");

    // A view that is gone is not written to, and its load is not checked.
    page->ready = true;
    page.reset();
    c.pageLoaded();
    c.deliver("more");
    EXPECT_EQ(c.pending(), "earlymore");
}

TEST_F(ControllerTest, TheFirstSizeOpensTheSessionLaterOnesResizeItAndInputReachesTheShell) {
    auto& c = make();
    c.pageLoaded();
    c.receive("termInput", "echo too-early\r");
    for (const auto& bad : std::vector<nlohmann::json>{"80x24",
                                                       {{"cols", 80}},
                                                       {{"cols", 80.5}, {"rows", 24}},
                                                       {{"cols", "80"}, {"rows", 24}},
                                                       nullptr}) {
        c.receive("termResize", bad);
    }
    EXPECT_EQ(c.attachment(), nullptr);
    EXPECT_FALSE(c.attached().get());

    c.receive("termResize", size(90, 30));
    ASSERT_TRUE(c.attached().get());
    const auto* first = c.attachment();
    EXPECT_EQ(first->windowSize(), std::pair(90, 30));
    EXPECT_EQ(store.holderLabels("work"), std::vector<std::string>{"this Mac"});
    EXPECT_TRUE(lines.contains("🖥 Attached to tmux session work for this Mac"));

    c.receive("termResize", size(120, 40));
    EXPECT_EQ(c.attachment(), first);
    EXPECT_EQ(first->windowSize(), std::pair(120, 40));

    c.receive("termInput", "echo hi-$((6*7))\r");
    EXPECT_TRUE(pumpUntil([&] { return page->written().find("hi-42") != std::string::npos; }));
    EXPECT_EQ(page->written().find("too-early"), std::string::npos);
    ASSERT_TRUE(pumpUntil([&] { return !store.sessions().get().empty(); }));
    EXPECT_EQ(store.statusLabel(store.sessions().get().front()), "Attached · this Mac");
}

TEST_F(ControllerTest, ClosingLeavesTheSessionRunningAndTheShellExitingFinishesIt) {
    auto& c = make();
    c.pageLoaded();
    c.receive("termResize", size(80, 24));
    ASSERT_TRUE(c.attached().get());
    c.close();
    EXPECT_FALSE(c.attached().get());
    EXPECT_FALSE(c.finished().get());
    EXPECT_TRUE(store.holderLabels("work").empty());
    EXPECT_TRUE(std::holds_alternative<std::string>(tmux.run({"has-session", "-t", "work"})));

    // Opened again, then the shell ends: the session is over, and so is the holder.
    auto& again = make();
    again.pageLoaded();
    again.receive("termResize", size(80, 24));
    ASSERT_TRUE(again.attached().get());
    again.receive("termInput", "exit\r");
    ASSERT_TRUE(pumpUntil([&] { return again.finished().get(); }));
    EXPECT_FALSE(again.attached().get());
    EXPECT_EQ(again.attachment(), nullptr);
    EXPECT_TRUE(store.holderLabels("work").empty());
}

TEST_F(ControllerTest, WithoutTmuxTheViewShowsWhyAndAGoneSessionEndsTheView) {
    Tmux missing{{"/nonexistent/tmux"}, ""};
    MacTerminalController without(loop, missing, store, "work", page);
    without.receive("termResize", size(80, 24));
    EXPECT_FALSE(without.attached().get());
    EXPECT_EQ(without.error().get(), std::optional<std::string>("tmux is not available on this Mac."));
    EXPECT_TRUE(store.holderLabels("work").empty());

    // Ended between the list and the view: tmux's client leaves at once.
    auto& gone = make("gone");
    gone.receive("termResize", size(80, 24));
    ASSERT_TRUE(pumpUntil([&] { return gone.finished().get(); }));
    EXPECT_FALSE(gone.attached().get());
    EXPECT_TRUE(store.holderLabels("gone").empty());
}

TEST_F(ControllerTest, CopyGoesToTheClipboardAndPasteComesBackAsBase64) {
    auto& c = make();
    c.receive("termCopy", "ls -la ~");
    EXPECT_EQ(page->clipboard, std::optional<std::string>("ls -la ~"));
    EXPECT_EQ(page->scripts.back(), MacTerminalController::clearSelectionScript);

    page->clipboard = "héllo\n";
    c.receive("termPaste", nullptr);
    EXPECT_EQ(page->scripts.back(), "window.termPasteText('aMOpbGxvCg==');");
    page->clipboard.reset();
    auto before = page->scripts.size();
    c.receive("termPaste", true);
    c.receive("termCopy", 42); // not a string
    c.receive("termUnknown", "x");
    EXPECT_EQ(page->scripts.size(), before);
}

TEST_F(ControllerTest, APageThatFallsBehindStopsTheReadingUntilItCatchesUp) {
    auto& c = make();
    c.pageLoaded();
    c.receive("termResize", size(200, 60));
    ASSERT_TRUE(c.attached().get());
    page->holding = true;
    c.receive("termInput", "yes 0123456789abcdefghijklmnopqrstuvwxyz\r");
    // Nothing taken: at most the limit and the chunks already read when it was reached arrive.
    ASSERT_TRUE(pumpUntil([&] { return page->written().size() >= MacTerminalController::maxInFlight; }, 60s));
    auto stalled = page->written().size();
    for (int i = 0; i < 200; ++i) {
        loop.runPending();
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_LT(page->written().size(),
              MacTerminalController::maxInFlight + 8 * TerminalAttachment::readBufferSize);
    EXPECT_LT(page->written().size() - stalled, 8 * TerminalAttachment::readBufferSize);

    // Taken: the rest flows, and the shell hears the interrupt.
    page->holding = false;
    for (auto& done : std::exchange(page->held, {})) {
        done(false);
    }
    c.receive("termInput", "\x03"
                           "echo flood-$((6*7))\r");
    EXPECT_TRUE(pumpUntil([&] { return page->written().find("flood-42") != std::string::npos; }, 60s));
}

} // namespace
