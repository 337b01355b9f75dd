#include "signaling/control_dispatch.hpp"

#include "signaling/lan_protocol.hpp"
#include "signaling/signaling_message.hpp"

#include <string_view>
#include <unordered_map>

namespace pelorn {

namespace {

using Action = bool (*)(const SignalingMessage&, const ControlHandlers&);

bool call(const std::function<void()>& handler) {
    if (!handler) {
        return false;
    }
    handler();
    return true;
}

bool pass(const std::function<void(const SignalingMessage&)>& handler, const SignalingMessage& m) {
    if (!handler) {
        return false;
    }
    handler(m);
    return true;
}

bool terminal(const SignalingMessage& m, const ControlHandlers& h) {
    return pass(h.terminal, m);
}

} // namespace

bool dispatchControlMessage(const SignalingMessage& message, const ControlHandlers& handlers) {
    static const std::unordered_map<std::string_view, Action> actions = {
        {msg::answer, [](const SignalingMessage& m, const ControlHandlers& h) { return pass(h.answer, m); }},
        {msg::candidate,
         [](const SignalingMessage& m, const ControlHandlers& h) { return pass(h.candidate, m); }},
        {msg::screenStart,
         [](const SignalingMessage&, const ControlHandlers& h) { return call(h.screenStart); }},
        {msg::screenStop,
         [](const SignalingMessage&, const ControlHandlers& h) { return call(h.screenStop); }},
        {msg::privacyOn, [](const SignalingMessage&, const ControlHandlers& h) { return call(h.privacyOn); }},
        {msg::privacyOff,
         [](const SignalingMessage&, const ControlHandlers& h) { return call(h.privacyOff); }},
        {msg::requestRestart,
         [](const SignalingMessage&, const ControlHandlers& h) { return call(h.requestRestart); }},
        {msg::keyEvent,
         [](const SignalingMessage& m, const ControlHandlers& h) {
             if (!h.input) {
                 return false;
             }
             if (auto key = msg::Key::from(m)) {
                 h.input->handleKeyEvent(key->key);
             }
             return true;
         }},
        {msg::cmdKey,
         [](const SignalingMessage& m, const ControlHandlers& h) {
             if (!h.input) {
                 return false;
             }
             if (auto key = msg::Key::from(m)) {
                 h.input->pressCommandShortcut(key->key);
             }
             return true;
         }},
        {msg::mouseEvent,
         [](const SignalingMessage& m, const ControlHandlers& h) {
             if (!h.input) {
                 return false;
             }
             auto event = msg::MouseEvent::from(m);
             h.input->handleMouseEvent(event.action, event.x, event.y, event.button, event.deltaY);
             return true;
         }},
        {msg::termList, terminal},
        {msg::termCreate, terminal},
        {msg::termKill, terminal},
        {msg::termAttach, terminal},
        {msg::termDetach, terminal},
        {msg::terminalInput, terminal},
        {msg::terminalResize, terminal},
    };
    auto action = actions.find(message.type);
    return action != actions.end() && action->second(message, handlers);
}

} // namespace pelorn
