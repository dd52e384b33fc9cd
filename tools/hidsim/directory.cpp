#include "directory.h"

#include <cstdlib>

namespace hidsim {

std::string DefaultDir()
{
    const char* dir = std::getenv(DIR_VARIABLE);
    return dir && *dir ? dir : FALLBACK_DIR;
}

std::string InDir(const std::string& dir, const char* name)
{
    return dir + "/" + name;
}

}  // namespace hidsim
