#include "tests/support/scratch_files.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

namespace testsupport {

PrivateTmp::PrivateTmp()
{
    char name[] = "/tmp/zenit-test.XXXXXX";
    if (::mkdtemp(name))
        m_dir = name;
    if (const char *old = std::getenv("TMPDIR")) {
        m_old = old;
        m_hadOld = true;
    }
    ::setenv("TMPDIR", m_dir.c_str(), 1);
}

PrivateTmp::~PrivateTmp()
{
    for (const std::string &e : entries())
        ::unlink(path(e).c_str());
    ::rmdir(m_dir.c_str());
    if (m_hadOld)
        ::setenv("TMPDIR", m_old.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
}

std::vector<std::string> PrivateTmp::entries() const
{
    std::vector<std::string> v;
    if (DIR *d = ::opendir(m_dir.c_str())) {
        while (const dirent *e = ::readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                v.push_back(e->d_name);
        ::closedir(d);
    }
    std::sort(v.begin(), v.end());
    return v;
}

FileSizeLimit::FileSizeLimit(uint64_t bytes)
{
    ::getrlimit(RLIMIT_FSIZE, &m_old);
    m_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit r = m_old;
    r.rlim_cur = rlim_t(bytes);
    ::setrlimit(RLIMIT_FSIZE, &r);
}

FileSizeLimit::~FileSizeLimit()
{
    ::setrlimit(RLIMIT_FSIZE, &m_old);
    std::signal(SIGXFSZ, m_handler);
}

} // namespace testsupport
