#include "terminal/mac_terminal_controller.hpp"

#include "core/base64.hpp"
#include "terminal/terminal_session_store.hpp"

namespace pelorn {

using Reason = TerminalAttachment::ExitReason;

// Output counted from the reading thread, where it leaves the attachment, to the page's taking it.
struct MacTerminalController::Flow {
    std::atomic<std::size_t> inFlight{0};
    std::atomic<bool> paused{false};
};

MacTerminalController::MacTerminalController(HostLoop& loop, const Tmux& tmux, TerminalSessionStore& store,
                                             std::string session, std::weak_ptr<TerminalPage> page)
    : mLoop(loop), mTmux(tmux), mStore(store), mSession(std::move(session)), mPage(std::move(page)),
      mFlow(std::make_shared<Flow>()) {
}

MacTerminalController::~MacTerminalController() {
    close();
    mLifetime.end();
}

std::string MacTerminalController::writeScript(std::string_view bytes) {
    return "window.termWrite('" + base64::encode(bytes) + "');";
}

std::string MacTerminalController::pasteScript(std::string_view text) {
    return "window.termPasteText('" + base64::encode(text) + "');";
}

void MacTerminalController::pageLoaded() {
    auto page = mPage.lock();
    if (!page) {
        return;
    }
    page->evaluate(readyScript, [self = mLifetime.weak()](bool ready) {
        auto* controller = self.lock();
        if (!controller) {
            return;
        }
        if (!ready) {
            controller->mError.set(std::string(loadFailedText));
            return;
        }
        controller->mPageReady = true;
        controller->flush();
        if (auto shown = controller->mPage.lock()) {
            shown->evaluate(focusScript, {});
        }
    });
}

void MacTerminalController::receive(std::string_view name, const nlohmann::json& body) {
    if (name == "termResize") {
        auto member = [&](const char* key) -> std::optional<int> {
            auto found = body.is_object() ? body.find(key) : body.end();
            if (found == body.end() || !found->is_number_integer()) {
                return std::nullopt;
            }
            auto value = found->get<long long>();
            return static_cast<int>(std::clamp<long long>(value, -1, TerminalAttachment::maxDimension));
        };
        auto columns = member("cols"), rows = member("rows");
        if (!columns || !rows) {
            return;
        }
        if (mAttachment) {
            mAttachment->resize(*columns, *rows);
        } else {
            start(*columns, *rows);
        }
    } else if (name == "termInput") {
        if (body.is_string() && mAttachment) {
            mAttachment->write(body.get_ref<const std::string&>());
        }
    } else if (name == "termCopy") {
        auto page = mPage.lock();
        if (body.is_string() && page) {
            page->setClipboard(body.get<std::string>());
            page->evaluate(clearSelectionScript, {});
        }
    } else if (name == "termPaste") {
        if (auto page = mPage.lock()) {
            page->readClipboard([self = mLifetime.weak()](std::optional<std::string> text) {
                auto* controller = self.lock();
                auto current = controller ? controller->mPage.lock() : nullptr;
                if (current && text) {
                    current->evaluate(pasteScript(*text), {});
                }
            });
        }
    }
}

void MacTerminalController::start(int columns, int rows) {
    auto flow = mFlow;
    auto started = TerminalAttachment::start(
        mLoop, mTmux, mSession, columns, rows, owner,
        // The reading thread: hands each chunk to the loop, and stops reading while the page is
        // far behind.
        [flow, loop = &mLoop, self = mLifetime.weak()](std::string_view bytes) {
            auto now = flow->inFlight.fetch_add(bytes.size()) + bytes.size();
            loop->post([self, chunk = std::string(bytes)]() mutable {
                if (auto* controller = self.lock()) {
                    controller->take(std::move(chunk), true);
                }
            });
            if (now < maxInFlight) {
                return true;
            }
            flow->paused = true;
            // The page may have caught up in between, and then nobody would wake the reader.
            return flow->inFlight < maxInFlight / 2 && flow->paused.exchange(false);
        },
        // The holder goes with the attachment even when the view is already gone.
        [store = &mStore, self = mLifetime.weak()](const std::string& session, Reason reason) {
            auto* controller = self.lock();
            if (controller) {
                controller->mAttachment.reset();
                controller->mAttached.set(false);
            }
            store->removeHolder(session, owner);
            if (!store->isRefreshing()) {
                store->refresh();
            }
            if (controller && reason == Reason::Ended) {
                controller->mFinished.set(true);
            }
        });
    if (auto* failure = std::get_if<TmuxFailure>(&started)) {
        mError.set(failure->text());
        return;
    }
    mAttachment = std::get<std::shared_ptr<TerminalAttachment>>(std::move(started));
    mAttached.set(true);
    mStore.addHolder(mSession, owner);
    if (!mStore.isRefreshing()) {
        mStore.refresh();
    }
}

void MacTerminalController::take(std::string chunk, bool counted) {
    auto page = mPage.lock();
    if (mPageReady && page) {
        write(page, chunk, counted);
        return;
    }
    auto size = chunk.size();
    mPending += chunk;
    if (mPending.size() > pendingCap) {
        mPending.erase(0, mPending.size() - pendingKept);
    }
    // Held output is bounded by the cap, so the reader need not wait for it.
    if (counted) {
        released(size);
    }
}

void MacTerminalController::released(std::size_t bytes) {
    auto left = mFlow->inFlight -= bytes;
    if (left < maxInFlight / 2 && mFlow->paused.exchange(false) && mAttachment) {
        mAttachment->resumeReading();
    }
}

void MacTerminalController::write(const std::shared_ptr<TerminalPage>& page, std::string_view bytes,
                                  bool counted) {
    if (!page) {
        return;
    }
    std::function<void(bool)> taken;
    if (counted) {
        taken = [self = mLifetime.weak(), size = bytes.size()](bool) {
            if (auto* controller = self.lock()) {
                controller->released(size);
            }
        };
    }
    page->evaluate(writeScript(bytes), std::move(taken));
}

void MacTerminalController::flush() {
    auto page = mPage.lock();
    if (mPending.empty() || !page) {
        return;
    }
    write(page, mPending, false);
    mPending.clear();
}

void MacTerminalController::close() {
    if (auto attachment = std::exchange(mAttachment, nullptr)) {
        attachment->close(Reason::Detached);
    }
    mAttached.set(false);
}

} // namespace pelorn
