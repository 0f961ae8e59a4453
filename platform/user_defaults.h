// The user's preferences: a typed key-value store kept in a file under the user's config folder.
// There are no registered defaults: every reader supplies its own when a key is missing.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/value.h"

namespace platform {

// The largest defaults file read: a store of preferences takes a few hundred bytes.
inline constexpr uint64_t kMaxDefaultsFileBytes = uint64_t(1) << 20;

class UserDefaults {
public:
    // The store at path; its contents are loaded now. A missing file is an empty store; so is a
    // file that is not a regular file (opened without waiting, never read), is longer than
    // kMaxDefaultsFileBytes, cannot be read or is not a store, and problem() then says why.
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
    // Why the file at path() was not loaded, to follow its name ("is a named pipe..."); empty
    // when it was loaded or does not exist.
    const std::string &problem() const { return m_problem; }

private:
    mutable std::mutex m_mutex;
    std::string m_path;
    std::string m_problem;
    Dictionary m_values;
};

// Serialisation used by the store, exposed for tests: encode then decode gives the same values;
// decode returns nothing for malformed text.
std::string encode_defaults(const Dictionary &values);
std::optional<Dictionary> decode_defaults(const std::string &text);

} // namespace platform
