#pragma once

#include "support/test_support.hpp"
#include "terminal/tmux.hpp"

#include <cstdlib>

namespace pelorn::test {

// A tmux server of the test's own (its socket in a temporary folder) with a plain shell, so the
// output is easy to search and the user's own sessions are never touched. Ends the server after.
// tmux is found through a link of the test's own, so removing it (uninstall()) takes tmux away.
struct PrivateTmux {
    PrivateTmux() {
        ::setenv("TMUX_TMPDIR", dir.path().c_str(), 1);
        ::unsetenv("TMUX");
        ::setenv("SHELL", "/bin/sh", 1);
    }
    ~PrivateTmux() { Tmux({"/usr/bin/tmux"}, "").run({"kill-server"}); }
    void uninstall() { std::filesystem::remove(executable); }

    TempDir dir;
    std::filesystem::path executable = [this] {
        auto link = dir / "tmux";
        std::filesystem::create_symlink("/usr/bin/tmux", link);
        return link;
    }();
    Tmux tmux{{executable}, ""};
};

} // namespace pelorn::test
