// Writing and removing the files the setup command owns, so that browsers
// running as any user can read them and nothing is left half-written.
#pragma once

#include <filesystem>
#include <string>

// Creates the folder and any missing parents, each open to all.
void MakeFolders(const std::filesystem::path& folder);
// Replaces the file in one step; readable by all.
void WriteFileAtomically(const std::filesystem::path& file, const std::string& text);
// Removes the folders from folder up to, not including, base while they are empty.
void RemoveEmptyFolders(const std::filesystem::path& base, const std::filesystem::path& folder);
