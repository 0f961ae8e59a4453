#include "platform/bundle.h"

#include <mutex>
#include <sys/stat.h>

namespace platform {
namespace {
std::mutex g_mutex;
std::map<std::string, std::string> g_strings;
std::string g_root = "resources";
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

} // namespace platform
