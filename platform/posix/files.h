// Small files the layer keeps its state in: the status file, unit files, registry keys.
// Failures leave errno set and return false (or -1).
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

// Creates the directory and each missing parent (mode 0755); true when it exists.
bool MakeDirectories(std::string_view path);

// Replaces the file with `content` in one step (a ".tmp" beside it, renamed into place),
// so that a reader sees the old file or the new one, never a mix. Mode 0644.
bool ReplaceFile(const char* path, std::string_view content);

// Creates the file with `content`; fails with EEXIST when it exists. A half-written file
// is removed again.
bool CreateNewFile(const char* path, std::string_view content);

// Reads the whole file into `out`: the byte count, or -1. A file larger than `out`
// fails with EFBIG rather than be read in part.
long ReadSmallFile(const char* path, std::span<char> out);

// Joins the pieces into `out` (zero-terminated). False when they do not fit.
bool JoinPath(std::span<char> out, std::string_view first, std::string_view second,
              std::string_view third = {});
