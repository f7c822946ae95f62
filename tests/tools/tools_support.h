// Helpers for the release-tool tests: scratch trees, files, and running the
// vnpatch executable and the Debian SZDD tools.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

typedef std::vector<unsigned char> Bytes;

// A fresh directory under the temporary directory, removed by Cleanup.
std::string MakeScratch(const char* tag);
void RemoveTree(const std::string& path);

// relative uses "/" here; folders are created.
void PutFile(const std::string& root, const std::string& relative, const Bytes& bytes);
bool ReadAll(const std::string& path, Bytes* bytes);
Bytes TextBytes(const std::string& text);
Bytes Random(size_t count, uint32_t seed);
// Every regular file under root by "/"-separated relative name.
std::map<std::string, Bytes> ReadTree(const std::string& root);
void CopyTree(const std::string& from, const std::string& to);

// Runs a shell command; its exit code, with stdout and stderr in *output.
int Shell(const std::string& command, std::string* output = nullptr);
// "vnpatch ARGS" with the built executable.
int Vnpatch(const std::string& args, std::string* output = nullptr);
std::string Quote(const std::string& text);
