// Writing and removing the files the setup command owns, so that browsers
// running as any user can read them and nothing is left half-written.
#pragma once

#include <filesystem>
#include <string>

// Creates the folder and any missing parents, each open to all.
void MakeFolders(const std::filesystem::path& folder);
// Replaces the file in one step; readable by all, and runnable by all if asked.
void WriteFileAtomically(const std::filesystem::path& file, const std::string& text, bool executable = false);
// The file's text; false when it cannot be read, with errno telling why.
bool ReadFileText(const std::filesystem::path& file, std::string& text);
// Removes the file, saying so; false when there was none.
bool RemoveFile(const std::filesystem::path& file);
// Removes the folders from folder up to, not including, base while they are empty.
void RemoveEmptyFolders(const std::filesystem::path& base, const std::filesystem::path& folder);
