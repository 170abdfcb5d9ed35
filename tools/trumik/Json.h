// A small JSON value with a parser and a UTF-8 writer, for the host's output
// and its script input.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace trumik::host {

class Json {
  public:
    enum class Kind { Null, Bool, Number, String, Array, Object };

    Json() = default;
    static Json Bool(bool value);
    static Json Number(double value);
    static Json String(std::string utf8);
    static Json Array();
    static Json Object();

    Kind kind() const { return kind_; }
    bool IsNull() const { return kind_ == Kind::Null; }
    bool AsBool() const { return bool_; }
    double AsNumber() const { return number_; }
    const std::string& AsString() const { return string_; }
    const std::vector<Json>& Items() const { return items_; }
    // Object members keep their insertion order.
    const std::vector<std::pair<std::string, Json>>& Members() const { return members_; }
    const Json* Find(const std::string& key) const;

    Json& Push(Json value);
    Json& Set(const std::string& key, Json value);

    std::string Dump() const;
    // Parses one JSON text; nullopt with a reason in *error when it is not one.
    static std::optional<Json> Parse(const std::string& text, std::string* error);

  private:
    Kind kind_ = Kind::Null;
    bool bool_ = false;
    double number_ = 0;
    std::string string_;
    std::vector<Json> items_;
    std::vector<std::pair<std::string, Json>> members_;
};

} // namespace trumik::host
