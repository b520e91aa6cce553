#include "service/http/http_write_request.h"

#include <nlohmann/json.hpp>

namespace service {

using Json = nlohmann::ordered_json;

bool ParseWriteRequest(std::string_view body, WriteRequest& request, std::string& error) {
    const auto j = Json::parse(body, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        error = "the body is not a JSON object";
        return false;
    }
    const auto field = [&j](const char* name) -> const Json* {
        const auto it = j.find(name);
        return it == j.end() ? nullptr : &*it;
    };
    const Json* line = field("line");
    const Json* station = field("station");
    const Json* reg = field("register");
    const Json* value = field("value");
    if (line == nullptr || !line->is_string()) {
        error = "\"line\" must be a string, the line's name";
    } else if (station == nullptr || !station->is_number_integer() || station->get<long>() < 0 ||
               station->get<long>() > 99) {
        error = "\"station\" must be a whole number from 0 to 99";
    } else if (reg == nullptr || !reg->is_string()) {
        error = "\"register\" must be a string, the register's mnemonic as configured";
    } else if (value == nullptr || !value->is_number()) {
        error = "\"value\" must be a number";
    } else {
        request.line = line->get<std::string>();
        request.station = static_cast<std::int16_t>(station->get<long>());
        // The driver takes a register name with spaces around it; so does this.
        std::string_view text = reg->get_ref<const std::string&>();
        while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
        while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
        request.reg = std::string(text);
        request.value = value->get<double>();
        return true;
    }
    return false;
}

}  // namespace service
