#include "app/control/account_commands.hpp"

#include "account/account_deletion.hpp"
#include "account/apple_sign_in.hpp"
#include "account/auth_manager.hpp"
#include "account/update_checker.hpp"
#include "app/control/control_commands.hpp"
#include "cloud/firebase_auth.hpp"

#include <memory>

namespace pelorn {

void registerAccountCommands(ControlCommands& commands, AccountCommandTargets targets) {
    auto t = std::make_shared<AccountCommandTargets>(targets);
    commands.add("sign-in", [t](const ControlRequest& request, ControlCommands::Reply reply) {
        if (request.args == std::vector<std::string>{"cancel"}) {
            t->auth.cancelPending();
            reply(ControlResponse::success("no sign-in waits now", nlohmann::json::object()));
            return;
        }
        bool printLink = request.args.size() == 2 && request.args[1] == "--print-link";
        bool apple = !request.args.empty() && request.args[0] == "apple" && t->apple;
        if (request.args.empty() || request.args.size() > 2 || (request.args.size() == 2 && !printLink) ||
            (request.args[0] != "google" && !apple)) {
            reply(ControlResponse::failure("usage: sign-in google|apple [--print-link] | sign-in cancel"));
            return;
        }
        // One reply: with --print-link the link (the attempt goes on in the host), else the outcome.
        auto pending = std::make_shared<ControlCommands::Reply>(std::move(reply));
        auto answer = [pending](ControlResponse response) {
            if (auto r = std::exchange(*pending, nullptr)) {
                r(std::move(response));
            }
        };
        AuthManager::UrlHandler handler;
        if (printLink) {
            handler = [answer](const std::string& url) {
                answer(ControlResponse::success(
                    "Open this link in a browser on this computer to sign in:\n" + url, {{"url", url}}));
            };
        }
        if (apple) {
            auto before = t->apple->signIns();
            t->apple->start(handler, [t, answer, before](std::optional<std::string> message) {
                if (message) {
                    answer(ControlResponse::failure(*message));
                } else if (t->apple->signIns() == before) {
                    // Cancelling is no failure: nothing is shown for it.
                    answer(ControlResponse::success("sign-in cancelled", {{"cancelled", true}}));
                } else {
                    answer(ControlResponse::success(
                        "signed in as " + t->auth.userEmail(),
                        {{"email", t->auth.userEmail()}, {"name", t->auth.userName()}}));
                }
            });
            return;
        }
        t->auth.signIn(handler, [t, answer](bool ok) {
            if (!ok) {
                answer(ControlResponse::failure("sign-in failed (the host's log says why)"));
                return;
            }
            answer(ControlResponse::success("signed in as " + t->auth.userEmail(),
                                            {{"email", t->auth.userEmail()}, {"name", t->auth.userName()}}));
        });
    });
    commands.add("open-url", [t](const ControlRequest& request, ControlCommands::Reply reply) {
        if (request.args.size() != 1) {
            reply(ControlResponse::failure("usage: open-url URL"));
            return;
        }
        switch (t->apple ? t->apple->handleCallback(request.args[0]) : AppleSignIn::Callback::NotOurs) {
        case AppleSignIn::Callback::Taken:
            reply(ControlResponse::success("handed to the Apple sign-in", nlohmann::json::object()));
            return;
        case AppleSignIn::Callback::NobodyWaiting:
            reply(ControlResponse::failure("no Apple sign-in is waiting for this link"));
            return;
        case AppleSignIn::Callback::NotOurs:
            reply(ControlResponse::failure("not a link this host opens"));
            return;
        }
    });
    commands.add("update", [t](const ControlRequest& request, ControlCommands::Reply reply) {
        if (request.args != std::vector<std::string>{"check"} &&
            request.args != std::vector<std::string>{"skip"}) {
            reply(ControlResponse::failure("usage: update check|skip"));
            return;
        }
        auto* checker = t->updates;
        if (!checker) {
            reply(ControlResponse::failure("no website configured - update checks are off"));
            return;
        }
        if (request.args[0] == "skip") {
            if (!checker->available().get() || checker->required().get()) {
                reply(ControlResponse::failure(checker->required().get()
                                                   ? "this update is required and cannot be skipped"
                                                   : "no update is offered"));
                return;
            }
            auto version = checker->available().get()->version;
            checker->skip();
            reply(ControlResponse::success("skipped " + version, {{"skipped", version}}));
            return;
        }
        // Answered when the check (this one, or one already under way) is over.
        checker->check(true, [t, checker, reply = std::move(reply)] {
            const auto& offered = checker->available().get();
            nlohmann::json data{{"status", checker->status().get()},
                                {"running", checker->runningVersion()},
                                {"required", checker->required().get()}};
            std::string text = checker->status().get();
            if (offered) {
                data["available"] = {{"version", offered->version}, {"url", offered->url}};
                text += "\n" + UpdateChecker::windowText(checker->required().get()) + "\n" +
                        (t->packaged ? std::string(UpdateChecker::packageManagerHint) : offered->url);
                data["packaged"] = t->packaged;
            }
            reply(ControlResponse::success(text, data));
        });
    });
    commands.add("account", [t](const ControlRequest& request, ControlCommands::Reply reply) {
        if (request.args.empty() || request.args[0] != "delete" || request.args.size() > 2 ||
            (request.args.size() == 2 && request.args[1] != "--yes") || !t->deletion) {
            reply(ControlResponse::failure("usage: account delete --yes"));
            return;
        }
        if (request.args.size() == 1) {
            reply(ControlResponse::failure(std::string(accountDeletionWarning) +
                                           " Run \"pelornctl account delete --yes\" to delete it."));
            return;
        }
        t->deletion->deleteAccount([reply = std::move(reply)](auto failure) {
            reply(failure
                      ? ControlResponse::failure(AccountDeletionService::text(*failure))
                      : ControlResponse::success("account deleted - signed out", nlohmann::json::object()));
        });
    });
    commands.add("sign-out", [t](const ControlRequest& request, ControlCommands::Reply reply) {
        if (!request.args.empty()) {
            reply(ControlResponse::failure("usage: sign-out"));
            return;
        }
        t->auth.signOut();
        reply(ControlResponse::success("signed out", nlohmann::json::object()));
    });
    commands.addStatusPart([t](nlohmann::json& data, std::string& text) {
        auto& auth = t->auth;
        auto cloudUser = t->cloud ? t->cloud->currentUser() : std::nullopt;
        data["account"] = {{"signedIn", auth.isAuthenticated()},
                           {"email", auth.userEmail()},
                           {"name", auth.userName()},
                           {"uid", auth.userUID()},
                           {"cloudConfigured", t->cloud != nullptr},
                           {"cloudSignedIn", cloudUser.has_value()}};
        if (!auth.isAuthenticated()) {
            text += "\naccount: not signed in";
            return;
        }
        text += "\naccount: " + auth.userEmail() + " (" + auth.userName() + ")";
        text += !t->cloud   ? ", cloud not configured"
                : cloudUser ? ", cloud uid " + cloudUser->uid
                            : ", cloud signed out";
    });
}

} // namespace pelorn
