// A temporary file that removes itself: created new and private (mode 0600), open for reading
// and writing, and unlinked when its holder goes, whatever path the work took.
#pragma once

#include <cstdio>
#include <string>

namespace platform {

// The system's temporary folder: $TMPDIR when set and not empty, else /tmp.
std::string temporary_folder();

class TempFile {
public:
    TempFile() = default;
    TempFile(TempFile &&other) noexcept;
    TempFile &operator=(TempFile &&other) noexcept;
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile();

    // A new file at path, refused when anything (a file, a link) already stands there; with a
    // null or empty path a new name in temporary_folder() made by mkstemp. The holder is empty
    // (ok() false) when the file cannot be created.
    static TempFile create(const char *path = nullptr);

    bool ok() const { return m_file != nullptr; }
    FILE *get() const { return m_file; }
    const std::string &path() const { return m_path; }

    // Closes and removes the file now; the holder is empty afterwards.
    void remove();

private:
    FILE *m_file = nullptr;
    std::string m_path;
};

} // namespace platform
