#include "app/control/control_protocol.hpp"

#include "core/json.hpp"
#include "core/paths.hpp"

namespace pelorn {

ControlResponse ControlResponse::success(std::string text, nlohmann::json data) {
    return {true, std::move(text), std::move(data), {}};
}

ControlResponse ControlResponse::failure(std::string error) {
    return {false, {}, nullptr, std::move(error)};
}

std::string encodeRequest(const ControlRequest& request) {
    nlohmann::json object = {{"command", request.command}, {"args", request.args}};
    if (request.input) {
        object["input"] = *request.input;
    }
    return json::dump(object).value_or("{}") + "\n";
}

std::optional<ControlRequest> decodeRequest(std::string_view line) {
    auto parsed = json::parse(line);
    if (!parsed || !parsed->is_object()) {
        return std::nullopt;
    }
    auto command = json::stringMember(*parsed, "command");
    auto input = json::stringMember(*parsed, "input");
    if (!command.value || input.failed()) {
        return std::nullopt;
    }
    ControlRequest request{*command.value, {}, input.value};
    auto args = parsed->find("args");
    if (args != parsed->end()) {
        if (!args->is_array()) {
            return std::nullopt;
        }
        for (const auto& arg : *args) {
            if (!arg.is_string()) {
                return std::nullopt;
            }
            request.args.push_back(arg.get<std::string>());
        }
    }
    return request;
}

std::string encodeResponse(const ControlResponse& response) {
    nlohmann::json object = {{"ok", response.ok}};
    if (response.ok) {
        object["text"] = response.text;
        object["data"] = response.data;
    } else {
        object["error"] = response.error;
    }
    // Replace invalid UTF-8 rather than drop the reply: a reply must always reach the caller.
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::optional<ControlResponse> decodeResponse(std::string_view line) {
    auto parsed = json::parse(line);
    if (!parsed || !parsed->is_object()) {
        return std::nullopt;
    }
    auto ok = json::boolMember(*parsed, "ok");
    if (!ok.value) {
        return std::nullopt;
    }
    ControlResponse response;
    response.ok = *ok.value;
    response.text = json::stringMember(*parsed, "text").value.value_or("");
    response.error = json::stringMember(*parsed, "error").value.value_or("");
    if (auto data = parsed->find("data"); data != parsed->end()) {
        response.data = *data;
    }
    return response;
}

std::filesystem::path controlSocketPath() {
    return appRuntimeDir() / "control.sock";
}

} // namespace pelorn
