// The user's preferences: a typed key-value store kept in a file under the user's config folder.
// There are no registered defaults: every reader supplies its own when a key is missing.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "platform/value.h"

namespace platform {

class UserDefaults {
public:
    // The store at path; its contents are loaded now (a missing or unreadable file is empty).
    explicit UserDefaults(std::string path);

    // "$XDG_CONFIG_HOME/zenit/defaults", else "$HOME/.config/zenit/defaults".
    static UserDefaults &standardUserDefaults();
    static std::string standard_path();

    // A null Value when the key is missing.
    Value objectForKey(const std::string &key) const;
    void setObject(const Value &value, const std::string &key); // a null value removes the key
    void removeObjectForKey(const std::string &key);
    // Writes the store to its file (folder created when needed); false when it cannot.
    bool synchronize();

    const std::string &path() const { return m_path; }

private:
    mutable std::mutex m_mutex;
    std::string m_path;
    Dictionary m_values;
};

// Serialisation used by the store, exposed for tests: encode then decode gives the same values;
// decode returns nothing for malformed text.
std::string encode_defaults(const Dictionary &values);
std::optional<Dictionary> decode_defaults(const std::string &text);

} // namespace platform
