// What every test suite shares: bytes, a seeded generator, a scratch
// directory removed at the end, installation trees written and read by
// relative path, and running commands (vnpatch among them). Paths are in the
// engine's form: a native directory, then "\"- or "/"-separated names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "patch/record_writer.h"
#include "tests/support/seeded_random.h"

namespace testsupport {

// The one bytes type of the tests, the engine's own.
using ::ByteVector;

ByteVector TextBytes(const std::string& text);

// A fresh, empty directory under the system's temporary directory (or under
// parent when given), removed with everything in it when the object goes.
class ScratchDir {
  public:
    ScratchDir();
    explicit ScratchDir(const std::string& parent);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string path; // without a trailing separator; empty when none could be made
    // path + "\" + relative
    std::string At(const std::string& relative) const;
    // path + "\", as the patch worker and ApplyPatchRecord take it
    std::string Install() const;
};

bool WriteFile(const std::string& path, const ByteVector& bytes);
bool WriteText(const std::string& path, const std::string& text);
// Contents, or false when the file cannot be read.
bool ReadFile(const std::string& path, ByteVector* bytes);
// Contents of a file the test expects to be readable; a failed read fails
// the test (test_support only).
ByteVector Contents(const std::string& path);
bool Exists(const std::string& path);
bool MakeDirectory(const std::string& path);

// The tree helpers take names as they are on the disk: on POSIX they call the
// system directly, without the backend's letter-case matching.
// A file, or a directory with everything in it (read-only entries too).
void RemoveTree(const std::string& path);
// Every file under dir, relative and "/" separated, sorted.
std::vector<std::string> FilesUnder(const std::string& dir);

// An installation tree: contents by relative "/"-separated name.
using Tree = std::map<std::string, ByteVector>;
// Writes one file under root by relative name, making its folders; false
// when it cannot.
bool PutFile(const std::string& root, const std::string& relative, const ByteVector& bytes);
// Writes every file of the tree under root.
bool WriteTree(const std::string& root, const Tree& tree);
// Every file under root.
Tree ReadTree(const std::string& root);
// to becomes a copy of the files under from; a failed write fails the test
// (test_support only).
void CopyTree(const std::string& from, const std::string& to);

// Text quoted as one argument for RunCommand.
std::string Quote(const std::string& text);
// Runs a command line through the system's shell; its exit code (-1 when it
// could not run or did not exit), with stdout and stderr in *output.
int RunCommand(const std::string& command, std::string* output = nullptr);
// The vnpatch of this build, or VARNELO_VNPATCH from the environment (to try
// another build of the tool).
std::string VnpatchPath();
// "vnpatch ARGS" through RunCommand.
int Vnpatch(const std::string& args, std::string* output = nullptr);

} // namespace testsupport
