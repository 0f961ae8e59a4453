// The application bundle's services: localized strings and named resources.
// Strings default to their key; resources live under a root that the driver or a test sets.
#pragma once

#include <map>
#include <string>

namespace platform {

// The value for key in the loaded table, or the key itself when the table lacks it.
std::string localized_string(const std::string &key);
// Replaces the table (for translations, and for tests).
void set_localized_strings(std::map<std::string, std::string> table);

// Sets the folder that resources are looked up in.
void set_resources_root(const std::string &root);
std::string resources_root();
// Full path of "<root>/<name>.<type>" when that file exists, else an empty string.
std::string path_for_resource(const std::string &name, const std::string &type);

// The resources folder of the running program: "<its folder>/../resources" in the build tree,
// else "<its folder>/../share/zenit/resources" where it is installed; the root in force when
// neither exists or the program's path cannot be read.
std::string program_resources_root();

} // namespace platform
