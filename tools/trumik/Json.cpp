#include "Json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace trumik::host {

Json Json::Bool(bool value)
{
    Json j;
    j.kind_ = Kind::Bool;
    j.bool_ = value;
    return j;
}

Json Json::Number(double value)
{
    Json j;
    j.kind_ = Kind::Number;
    j.number_ = value;
    return j;
}

Json Json::String(std::string utf8)
{
    Json j;
    j.kind_ = Kind::String;
    j.string_ = std::move(utf8);
    return j;
}

Json Json::Array()
{
    Json j;
    j.kind_ = Kind::Array;
    return j;
}

Json Json::Object()
{
    Json j;
    j.kind_ = Kind::Object;
    return j;
}

const Json* Json::Find(const std::string& key) const
{
    for (const auto& [name, value] : members_) {
        if (name == key)
            return &value;
    }
    return nullptr;
}

Json& Json::Push(Json value)
{
    items_.push_back(std::move(value));
    return *this;
}

Json& Json::Set(const std::string& key, Json value)
{
    for (auto& [name, existing] : members_) {
        if (name == key) {
            existing = std::move(value);
            return *this;
        }
    }
    members_.emplace_back(key, std::move(value));
    return *this;
}

namespace {

void DumpString(const std::string& s, std::string& out)
{
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (c < 0x20) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                out += buffer;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
}

void DumpValue(const Json& j, std::string& out)
{
    switch (j.kind()) {
    case Json::Kind::Null: out += "null"; break;
    case Json::Kind::Bool: out += j.AsBool() ? "true" : "false"; break;
    case Json::Kind::Number: {
        double v = j.AsNumber();
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
    case Json::Kind::String: DumpString(j.AsString(), out); break;
    case Json::Kind::Array: {
        out += '[';
        bool first = true;
        for (const Json& item : j.Items()) {
            if (!first)
                out += ", ";
            first = false;
            DumpValue(item, out);
        }
        out += ']';
        break;
    }
    case Json::Kind::Object: {
        out += '{';
        bool first = true;
        for (const auto& [name, value] : j.Members()) {
            if (!first)
                out += ", ";
            first = false;
            DumpString(name, out);
            out += ": ";
            DumpValue(value, out);
        }
        out += '}';
        break;
    }
    }
}

class Parser {
  public:
    explicit Parser(const std::string& text) : text_(text) {}

    std::optional<Json> Document(std::string* error)
    {
        std::optional<Json> value = Value(0);
        Skip();
        if (value && pos_ != text_.size()) {
            value.reset();
            error_ = "unexpected text after the value";
        }
        if (!value && error)
            *error = error_ + " at offset " + std::to_string(pos_);
        return value;
    }

  private:
    void Skip()
    {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' ||
                                       text_[pos_] == '\r'))
            ++pos_;
    }

    bool Literal(const char* word)
    {
        size_t n = std::char_traits<char>::length(word);
        if (text_.compare(pos_, n, word) != 0)
            return false;
        pos_ += n;
        return true;
    }

    std::optional<Json> Fail(const char* why)
    {
        error_ = why;
        return std::nullopt;
    }

    std::optional<Json> Value(int depth)
    {
        if (depth > 64)
            return Fail("nesting too deep");
        Skip();
        if (pos_ >= text_.size())
            return Fail("unexpected end");
        char c = text_[pos_];
        if (c == '{')
            return ObjectValue(depth);
        if (c == '[')
            return ArrayValue(depth);
        if (c == '"') {
            std::string s;
            if (!StringValue(s))
                return std::nullopt;
            return Json::String(std::move(s));
        }
        if (Literal("null"))
            return Json();
        if (Literal("true"))
            return Json::Bool(true);
        if (Literal("false"))
            return Json::Bool(false);
        if (c == '-' || (c >= '0' && c <= '9')) {
            const char* start = text_.c_str() + pos_;
            char* end = nullptr;
            double v = std::strtod(start, &end);
            if (end == start)
                return Fail("bad number");
            pos_ += static_cast<size_t>(end - start);
            return Json::Number(v);
        }
        return Fail("unexpected character");
    }

    std::optional<Json> ArrayValue(int depth)
    {
        ++pos_;
        Json array = Json::Array();
        Skip();
        if (pos_ < text_.size() && text_[pos_] == ']') {
            ++pos_;
            return array;
        }
        for (;;) {
            std::optional<Json> item = Value(depth + 1);
            if (!item)
                return std::nullopt;
            array.Push(std::move(*item));
            Skip();
            if (pos_ < text_.size() && text_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < text_.size() && text_[pos_] == ']') {
                ++pos_;
                return array;
            }
            return Fail("expected , or ]");
        }
    }

    std::optional<Json> ObjectValue(int depth)
    {
        ++pos_;
        Json object = Json::Object();
        Skip();
        if (pos_ < text_.size() && text_[pos_] == '}') {
            ++pos_;
            return object;
        }
        for (;;) {
            Skip();
            std::string key;
            if (pos_ >= text_.size() || text_[pos_] != '"' || !StringValue(key))
                return Fail("expected a member name");
            Skip();
            if (pos_ >= text_.size() || text_[pos_] != ':')
                return Fail("expected :");
            ++pos_;
            std::optional<Json> value = Value(depth + 1);
            if (!value)
                return std::nullopt;
            object.Set(key, std::move(*value));
            Skip();
            if (pos_ < text_.size() && text_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < text_.size() && text_[pos_] == '}') {
                ++pos_;
                return object;
            }
            return Fail("expected , or }");
        }
    }

    static void AppendUtf8(std::string& out, uint32_t cp)
    {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool Hex4(uint32_t& value)
    {
        if (pos_ + 4 > text_.size())
            return false;
        value = 0;
        for (int i = 0; i < 4; ++i) {
            char c = text_[pos_++];
            value <<= 4;
            if (c >= '0' && c <= '9')
                value |= static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f')
                value |= static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                value |= static_cast<uint32_t>(c - 'A' + 10);
            else
                return false;
        }
        return true;
    }

    bool StringValue(std::string& out)
    {
        ++pos_;
        while (pos_ < text_.size()) {
            char c = text_[pos_++];
            if (c == '"')
                return true;
            if (static_cast<unsigned char>(c) < 0x20) {
                error_ = "control character in a string";
                return false;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= text_.size())
                break;
            char e = text_[pos_++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                uint32_t cp = 0;
                if (!Hex4(cp)) {
                    error_ = "bad \\u escape";
                    return false;
                }
                if (cp >= 0xD800 && cp < 0xDC00 && text_.compare(pos_, 2, "\\u") == 0) {
                    size_t save = pos_;
                    pos_ += 2;
                    uint32_t low = 0;
                    if (Hex4(low) && low >= 0xDC00 && low < 0xE000)
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    else
                        pos_ = save;
                }
                AppendUtf8(out, cp);
                break;
            }
            default: error_ = "bad escape"; return false;
            }
        }
        error_ = "unterminated string";
        return false;
    }

    const std::string& text_;
    size_t pos_ = 0;
    std::string error_;
};

} // namespace

std::string Json::Dump() const
{
    std::string out;
    DumpValue(*this, out);
    return out;
}

std::optional<Json> Json::Parse(const std::string& text, std::string* error)
{
    return Parser(text).Document(error);
}

} // namespace trumik::host
