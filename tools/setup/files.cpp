#include "files.h"

#include <cerrno>
#include <fstream>
#include <iostream>
#include <iterator>
#include <system_error>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr fs::perms READABLE_BY_ALL = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                      fs::perms::others_read;
constexpr fs::perms OPEN_TO_ALL = READABLE_BY_ALL | fs::perms::owner_exec | fs::perms::group_exec |
                                  fs::perms::others_exec;

bool IsInside(const fs::path& base, const fs::path& folder)
{
    const fs::path relative = folder.lexically_relative(base);
    return !relative.empty() && relative != "." && *relative.begin() != "..";
}

}  // namespace

void MakeFolders(const fs::path& folder)
{
    if (fs::is_directory(folder))
        return;
    MakeFolders(folder.parent_path());
    // A root with umask 077 would otherwise make folders that the browser,
    // running as the user, cannot look into.
    fs::create_directory(folder);
    fs::permissions(folder, OPEN_TO_ALL);
}

void WriteFileAtomically(const fs::path& file, const std::string& text, bool executable)
{
    const fs::path temporary = file.string() + ".new-" + std::to_string(getpid());
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out.is_open())
        throw fs::filesystem_error("cannot create", temporary, std::error_code(errno, std::generic_category()));
    out << text;
    out.close();
    if (!out) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw fs::filesystem_error("cannot write", temporary, std::make_error_code(std::errc::io_error));
    }
    fs::permissions(temporary, executable ? OPEN_TO_ALL : READABLE_BY_ALL);
    fs::rename(temporary, file);
}

bool RemoveFile(const fs::path& file)
{
    if (!fs::is_regular_file(file))
        return false;
    fs::remove(file);
    std::cout << "removed " << file.string() << "\n";
    return true;
}

void RemoveEmptyFolders(const fs::path& base, const fs::path& folder)
{
    for (fs::path current = folder; IsInside(base, current); current = current.parent_path()) {
        std::error_code error;
        if (!fs::is_directory(current, error) || !fs::is_empty(current, error) || error)
            return;
        fs::remove(current, error);
    }
}

bool ReadFileText(const fs::path& file, std::string& text)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return false;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}
