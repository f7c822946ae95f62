// Path texts: NUL-terminated bytes in the ANSI code page, in 260-byte buffers.
#pragma once

#include <cstddef>

constexpr int kPathSize = 260;

// Index of the last "\" or "/" at index 1 or above, or -1. Bytes that are the
// second half of a double-byte character are never taken for a separator.
int LastSeparator(const char* path);
// Index of the last "\" at index 1 or above (same double-byte rule), or -1.
int LastBackslash(const char* path);
// True when the text's last character is a single-byte "\" (or "/" too when
// allowSlash), so that "ソ" (0x83 0x5C) at the end does not count.
bool EndsWithSeparator(const char* path, bool allowSlash);

// Leading part up to and including the last separator, or empty. False (and
// out empty) when the path does not fit a path buffer.
bool DirectoryPart(const char* path, char* out);
// Part after the last separator, or the whole path. False (and out empty)
// when the path does not fit a path buffer.
bool FileNamePart(const char* path, char* out);
// directory + "\" (unless empty or already ending in a separator) + name.
// False when the result would not fit outSize bytes; out is then empty.
bool JoinPath(const char* directory, const char* name, char* out, size_t outSize = kPathSize);
// Copies or appends text with a length check; false (out unchanged) when it
// would not fit.
bool CopyText(char* out, size_t outSize, const char* text);
bool AppendText(char* out, size_t outSize, const char* text);
// Cuts the text at its last backslash (index 1 or above); no change without.
void CutAtLastBackslash(char* path);
// ASCII letter case, folded byte by byte: "A" to "Z" become "a" to "z" and
// every other byte stays, so a caller that keeps double-byte characters whole
// steps over their trail bytes itself.
unsigned char FoldCase(unsigned char c);
// FoldCase over the first length bytes of text, in place.
void FoldCaseInPlace(char* text, size_t length);
// Whether a and b are the same text but for ASCII letter case.
bool SameIgnoringCase(const char* a, const char* b);
// Whether name matches a search pattern of "*" and "?" wildcards, letters
// compared without regard to case; "*.*" matches every name, dotted or not,
// as a Windows search does.
bool MatchesPattern(const char* pattern, const char* name);
