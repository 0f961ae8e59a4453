#include "platform/bundle.h"

#include <climits>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {
std::mutex g_mutex;
std::map<std::string, std::string> g_strings;
std::string g_root = "resources";

bool is_directory(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

std::string localized_string(const std::string &key)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_strings.find(key);
    return it == g_strings.end() ? key : it->second;
}

void set_localized_strings(std::map<std::string, std::string> table)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_strings = std::move(table);
}

void set_resources_root(const std::string &root)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_root = root;
}

std::string resources_root()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_root;
}

std::string path_for_resource(const std::string &name, const std::string &type)
{
    std::string path = resources_root() + "/" + name + (type.empty() ? "" : "." + type);
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        return path;
    return {};
}

std::string program_resources_root()
{
    char exe[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        const std::string path(exe, size_t(n));
        const std::string dir = path.substr(0, path.find_last_of('/') + 1);
        for (const char *rel : {"../resources", "../share/zenit/resources"})
            if (is_directory(dir + rel))
                return dir + rel;
    }
    return resources_root();
}

} // namespace platform
