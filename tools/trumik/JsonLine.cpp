#include "JsonLine.h"

#include <cmath>
#include <cstdio>

namespace trumik::host {

namespace {

void WriteString(const std::string& text, std::string& out)
{
    out += Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
}

void Write(const Json& json, std::string& out)
{
    switch (json.type()) {
    case Json::value_t::object: {
        out += '{';
        const char* separator = "";
        for (const auto& [key, value] : json.items()) {
            out += separator;
            separator = ", ";
            WriteString(key, out);
            out += ": ";
            Write(value, out);
        }
        out += '}';
        break;
    }
    case Json::value_t::array: {
        out += '[';
        const char* separator = "";
        for (const Json& item : json) {
            out += separator;
            separator = ", ";
            Write(item, out);
        }
        out += ']';
        break;
    }
    case Json::value_t::string:
        WriteString(json.get_ref<const std::string&>(), out);
        break;
    case Json::value_t::number_float: {
        const double v = json.get<double>();
        char buffer[32];
        if (std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 1e15)
            std::snprintf(buffer, sizeof buffer, "%.0f", v);
        else if (std::isfinite(v))
            std::snprintf(buffer, sizeof buffer, "%.17g", v);
        else
            std::snprintf(buffer, sizeof buffer, "null");
        out += buffer;
        break;
    }
    case Json::value_t::boolean:
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
        out += json.dump();
        break;
    default:
        out += "null";
        break;
    }
}

} // namespace

std::string DumpLine(const Json& json)
{
    std::string out;
    Write(json, out);
    return out;
}

const Json* Find(const Json& json, const char* key)
{
    if (!json.is_object())
        return nullptr;
    const auto found = json.find(key);
    return found == json.end() ? nullptr : &*found;
}

} // namespace trumik::host
