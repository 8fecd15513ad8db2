// The current user's directories: the home directory and the per-user cache root shared by every
// front end (the library, the command-line program and the Python package apply the same rule).
#pragma once

#include <string>

namespace nvx {

// HOME when set and not empty, else the password entry's home directory; "" when there is none.
std::string user_home();

// "$XDG_CACHE_HOME/nuvex" when XDG_CACHE_HOME is an absolute path, else "<home>/.cache/nuvex";
// "" without a home directory.
std::string user_cache_root();

}  // namespace nvx
