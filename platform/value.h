// The small set of property-list values that dictionaries, notifications and user defaults carry.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace platform {

struct Value;
using Dictionary = std::map<std::string, Value>;

struct Value {
    std::variant<std::monostate, int64_t, double, std::string, std::vector<uint8_t>,
                 std::vector<double>, std::vector<std::string>, Dictionary>
        v;

    Value() = default;
    Value(int x) : v(int64_t(x)) {}
    Value(int64_t x) : v(x) {}
    Value(double x) : v(x) {}
    Value(float x) : v(double(x)) {}
    Value(const char *s) : v(std::string(s)) {}
    Value(std::string s) : v(std::move(s)) {}
    Value(std::vector<uint8_t> b) : v(std::move(b)) {}
    Value(std::vector<double> d) : v(std::move(d)) {}
    Value(std::vector<std::string> s) : v(std::move(s)) {}
    Value(Dictionary d) : v(std::move(d)) {}

    bool isNull() const { return std::holds_alternative<std::monostate>(v); }
    // Numbers convert between integer and float as the framework's number objects do;
    // anything else gives the fallback.
    int64_t intValue(int64_t fallback = 0) const;
    double doubleValue(double fallback = 0) const;
    const std::string *string() const { return std::get_if<std::string>(&v); }
    const std::vector<uint8_t> *bytes() const { return std::get_if<std::vector<uint8_t>>(&v); }
    const Dictionary *dictionary() const { return std::get_if<Dictionary>(&v); }

    bool operator==(const Value &o) const { return v == o.v; }
};

} // namespace platform
