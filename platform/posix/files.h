// Small files the layer keeps its state in: the status file, unit files, registry keys.
// Failures leave errno set and return false (or -1).
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <span>
#include <string_view>

// Creates the directory and each missing parent (mode 0755); true when it exists.
bool MakeDirectories(std::string_view path);

// Replaces the file with `content` in one step (a new ".tmp" beside it, renamed into
// place), so that a reader sees the old file or the new one, never a mix; a failure
// leaves the old file. Mode 0644. Nothing at the ".tmp" name is ever written through.
bool ReplaceFile(const char* path, std::string_view content);

// The same for `name` in the open `directory`.
bool ReplaceFileAt(int directory, const char* name, std::string_view content);

// Creates the file with `content`; fails with EEXIST when it exists. A half-written file
// is removed again.
bool CreateNewFile(const char* path, std::string_view content);

// Opens `name` in `directory` (AT_FDCWD: a path) for reading with its status in *info:
// the descriptor, or -1. A symbolic link fails with ELOOP, anything but a regular file
// with EACCES; neither ever blocks the caller.
int OpenRegularFile(int directory, const char* name, struct stat* info);

// Reads the whole regular file into `out` (its status into *info unless null): the byte
// count, or -1. A file larger than `out` fails with EFBIG rather than be read in part.
long ReadSmallFileAt(int directory, const char* name, std::span<char> out, struct stat* info);
long ReadSmallFile(const char* path, std::span<char> out);

// Joins the pieces into `out` (zero-terminated). False when they do not fit.
bool JoinPath(std::span<char> out, std::string_view first, std::string_view second,
              std::string_view third = {});
