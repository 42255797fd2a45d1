#include "Json.h"

#include <cstdio>

namespace rtictl {

std::string jsonQuote(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c >= 0x7f) {
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u%04x", c);
                    out += esc;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

JsonObject& JsonObject::addRaw(const std::string& key, const std::string& json) {
    if (!body_.empty()) body_ += ",";
    body_ += jsonQuote(key) + ":" + json;
    return *this;
}

JsonObject& JsonObject::add(const std::string& key, const std::string& value) {
    return addRaw(key, jsonQuote(value));
}

JsonObject& JsonObject::add(const std::string& key, const char* value) {
    return addRaw(key, jsonQuote(value));
}

JsonObject& JsonObject::add(const std::string& key, bool value) {
    return addRaw(key, value ? "true" : "false");
}

JsonObject& JsonObject::add(const std::string& key, const JsonObject& value) {
    return addRaw(key, value.str());
}

JsonObject& JsonObject::add(const std::string& key, const std::vector<JsonObject>& values) {
    std::string arr = "[";
    for (size_t i = 0; i < values.size(); ++i) arr += (i ? "," : "") + values[i].str();
    return addRaw(key, arr + "]");
}

JsonObject& JsonObject::add(const std::string& key, const std::vector<uint64_t>& values) {
    std::string arr = "[";
    for (size_t i = 0; i < values.size(); ++i) arr += (i ? "," : "") + std::to_string(values[i]);
    return addRaw(key, arr + "]");
}

std::string JsonObject::str() const { return "{" + body_ + "}"; }

}  // namespace rtictl
