// vnpatch subcommands; each returns the process exit code.
#pragma once

#include <cstdint>

int CommandApply(int argc, char** argv);
int CommandInspect(int argc, char** argv);
int CommandBuild(int argc, char** argv);
int CommandCompress(int argc, char** argv);
int CommandExpand(int argc, char** argv);
int CommandVerify(int argc, char** argv);
int CommandVersion(int argc, char** argv);
int CommandStamp(int argc, char** argv);
int CommandResources(int argc, char** argv);

// Progress on a terminal: "[#####     ] 12/72 label".
void DrawProgress(const char* label, int64_t done, int64_t total);
void EndProgress();
