// A minimal JSON writer for rtictl's --json output: one object per line.
// Strings are escaped so that any byte sequence (federate names, relayed
// payloads) yields valid JSON: control bytes and bytes >= 0x80 become \u00XX.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace rtictl {

// `s` as a quoted JSON string.
std::string jsonQuote(const std::string& s);

class JsonObject {
  public:
    JsonObject& add(const std::string& key, const std::string& value);
    JsonObject& add(const std::string& key, const char* value);
    JsonObject& add(const std::string& key, bool value);
    template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
    JsonObject& add(const std::string& key, T value) {
        return addRaw(key, std::to_string(value));
    }
    JsonObject& add(const std::string& key, const JsonObject& value);
    JsonObject& add(const std::string& key, const std::vector<JsonObject>& values);
    JsonObject& add(const std::string& key, const std::vector<uint64_t>& values);
    std::string str() const;

  private:
    JsonObject& addRaw(const std::string& key, const std::string& json);
    std::string body_;
};

}  // namespace rtictl
