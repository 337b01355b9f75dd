#pragma once

#include "support/test_support.hpp"
#include "terminal/tmux.hpp"

#include <cstdlib>

namespace pelorn::test {

// A tmux server of the test's own (its socket in a temporary folder) with a plain shell, so the
// output is easy to search and the user's own sessions are never touched. Ends the server after.
struct PrivateTmux {
    PrivateTmux() {
        ::setenv("TMUX_TMPDIR", dir.path().c_str(), 1);
        ::unsetenv("TMUX");
        ::setenv("SHELL", "/bin/sh", 1);
    }
    ~PrivateTmux() { tmux.run({"kill-server"}); }

    TempDir dir;
    Tmux tmux{{"/usr/bin/tmux"}, ""};
};

} // namespace pelorn::test
