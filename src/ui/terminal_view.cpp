#include "ui/terminal_view.hpp"

#include "ui/style.hpp"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <unistd.h>

namespace pelorn::ui {

void prepareWebEngine(const std::function<void(const std::string&)>& log) {
    if (::geteuid() == 0 && !std::getenv("QTWEBENGINE_DISABLE_SANDBOX")) {
        ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 1);
        log("⚠️ PELORN: running as root - the terminal view's web sandbox is off");
    }
}

TerminalPaneCreate terminalPaneCreator(std::string* why) {
    static TerminalPaneCreate create = nullptr;
    static std::string failure;
    static bool tried = false;
    if (!std::exchange(tried, true)) {
        // Beside this code's own file (the window's module), in the build's lib/pelorn beside a
        // program, or where the package installs it.
        std::vector<std::filesystem::path> candidates;
        Dl_info self{};
        if (::dladdr(reinterpret_cast<void*>(&terminalPaneCreator), &self) && self.dli_fname) {
            auto folder = std::filesystem::path(self.dli_fname).parent_path();
            candidates.push_back(folder / terminalPaneModule);
            candidates.push_back(folder.parent_path() / "lib/pelorn" / terminalPaneModule);
        }
        candidates.push_back(std::filesystem::path(PELORN_MODULE_DIR) / terminalPaneModule);
        failure = "not found";
        for (const auto& path : candidates) {
            std::error_code ignored;
            if (!std::filesystem::exists(path, ignored)) {
                continue;
            }
            // Loaded after the application was made, the engine warns that it did not ask for a
            // shared GL context at start; that is on purpose (the pane makes one when first
            // used), so the one line is kept out of the host's output.
            static QtMessageHandler previous = nullptr;
            previous = qInstallMessageHandler(
                [](QtMsgType type, const QMessageLogContext& context, const QString& text) {
                    if (!text.startsWith("Qt WebEngine seems to be initialized from a plugin") && previous) {
                        previous(type, context, text);
                    }
                });
            void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            qInstallMessageHandler(previous);
            create =
                module ? reinterpret_cast<TerminalPaneCreate>(::dlsym(module, terminalPaneSymbol)) : nullptr;
            if (!create) {
                const char* error = ::dlerror();
                failure = error ? error : "unusable";
            }
            break;
        }
    }
    if (!create && why) {
        *why = failure;
    }
    return create;
}

MacSessionTerminalView::MacSessionTerminalView(UiHost& host, const std::string& session, QWidget* parent)
    : QWidget(parent), mSession(session) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(pageMargin / 2, pageMargin / 2, pageMargin / 2, pageMargin / 2);
    layout->setSpacing(rowSpacing / 2);
    auto* top = new QHBoxLayout;
    mBack = new QPushButton(symbolIcon("chevron.left"), "Sessions", this);
    mBack->setObjectName("backButton");
    makeSecondary(mBack);
    top->addWidget(mBack);
    auto* name = new QLabel(text(session), this);
    name->setObjectName("sessionName");
    name->setTextFormat(Qt::PlainText);
    QFont bold = name->font();
    bold.setWeight(QFont::DemiBold);
    bold.setPointSizeF(bold.pointSizeF() * 1.15);
    name->setFont(bold);
    top->addSpacing(8);
    top->addWidget(name);
    top->addStretch(1);
    mNote = secondary("Leaving keeps it running", this);
    mNote->setWordWrap(false);
    top->addWidget(mNote);
    layout->addLayout(top);

    auto* frame = panel(this);
    auto* frameLayout = new QVBoxLayout(frame);
    frameLayout->setContentsMargins(1, 1, 1, 1);
    mBody = new QStackedWidget(frame);
    auto* messagePage = new QWidget(mBody);
    auto* messageLayout = new QVBoxLayout(messagePage);
    mMessage = emptyStateTitle({}, messagePage);
    mMessage->setObjectName("terminalMessage");
    mMessage->setWordWrap(true);
    messageLayout->addStretch(1);
    messageLayout->addWidget(mMessage);
    messageLayout->addStretch(2);
    std::string why;
    if (auto create = terminalPaneCreator(&why)) {
        mTerminal = create(
            host, session, isDark(), [this] { render(); }, mBody);
        mBody->addWidget(mTerminal);
        setFocusProxy(mTerminal);
    } else {
        host.log("⚠️ PELORN: the terminal view's module could not be loaded (" + why + ")");
    }
    mBody->addWidget(messagePage);
    frameLayout->addWidget(mBody);
    layout->addWidget(frame, 1);
    connect(mBack, &QPushButton::clicked, this, &MacSessionTerminalView::back);
    render();
}

QString MacSessionTerminalView::message() const {
    return mBody->currentWidget() != mTerminal ? mMessage->text() : QString();
}

void MacSessionTerminalView::render() {
    QString shown;
    bool finished = false;
    if (!mTerminal) {
        shown = "The terminal view failed to load.";
    } else {
        const auto& state = mTerminal->state();
        finished = state.finished;
        shown = state.error ? text(*state.error) : finished ? QString("This session has ended.") : QString();
    }
    mMessage->setText(shown);
    mBody->setCurrentIndex(shown.isEmpty() ? 0 : mBody->count() - 1);
    mNote->setVisible(!finished);
}

} // namespace pelorn::ui
