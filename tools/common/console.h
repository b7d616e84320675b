// Small helpers the command-line tools share: how sizes, times and progress are shown, and
// the few file-system questions both tools ask.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace qvtools {

// "812 B", "1.5 KiB", "23.4 MiB", "1.02 GiB".
std::string formatBytes(uint64_t bytes);
// "00:01:23.4" (hours:minutes:seconds with tenths).
std::string formatClock(double seconds);
// "[##########----------]" of the given inner width.
std::string progressBar(double fraction, int width);

// True when the stream is an interactive terminal (status lines then redraw in place).
bool isTerminal(FILE* stream);

// The directory holding the running executable, without a trailing separator; empty when the
// system cannot tell.
std::string executableDirectory();

// The directory part of a path ("." when it has none).
std::string parentDirectory(const std::string& path);
bool isDirectory(const std::string& path);
bool fileExists(const std::string& path);
// Size in bytes, or -1 when the file cannot be examined.
int64_t fileSize(const std::string& path);
// Creates the directory and its missing parents; true when it exists afterwards.
bool makeDirectories(const std::string& path);

// Checks that a file can be created (or replaced) at path without touching an existing file:
// creates and removes a probe beside it. On failure, *reason says why in the system's words.
bool canCreateFile(const std::string& path, std::string* reason);

// The system's description of the last error of the C library (errno).
std::string lastErrorText();

// Puts the stream into binary mode, so pictures and sound written to stdout are not altered.
void setBinaryMode(FILE* stream);

// fseek/ftell with 64-bit offsets on every platform.
int seek64(FILE* file, int64_t offset, int whence);
int64_t tell64(FILE* file);

}  // namespace qvtools
