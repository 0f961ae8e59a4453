#include "platform/temp_file.h"

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace platform {

std::string temporary_folder()
{
    const char *dir = std::getenv("TMPDIR");
    return dir && *dir ? std::string(dir) : std::string("/tmp");
}

TempFile::TempFile(TempFile &&other) noexcept
    : m_file(std::exchange(other.m_file, nullptr)), m_path(std::move(other.m_path))
{
}

TempFile &TempFile::operator=(TempFile &&other) noexcept
{
    if (this != &other) {
        remove();
        m_file = std::exchange(other.m_file, nullptr);
        m_path = std::move(other.m_path);
    }
    return *this;
}

TempFile::~TempFile()
{
    remove();
}

void TempFile::remove()
{
    if (!m_file)
        return;
    std::fclose(m_file);
    m_file = nullptr;
    ::unlink(m_path.c_str());
    m_path.clear();
}

TempFile TempFile::create(const char *path)
{
    TempFile t;
    int fd = -1;
    std::string name;
    if (path && *path) {
        // Exclusive and without following a link: a given name never clobbers what is there,
        // so removing it later removes only what this holder made.
        name = path;
        fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } else {
        name = temporary_folder() + "/zenit.XXXXXX"; // allocated before the file exists
        fd = ::mkstemp(name.data());
    }
    if (fd < 0)
        return t;
    FILE *f = ::fdopen(fd, "w+b");
    if (!f) {
        ::close(fd);
        ::unlink(name.c_str());
        return t;
    }
    t.m_file = f;
    t.m_path = std::move(name);
    return t;
}

} // namespace platform
