// A small updater-like Windows executable built in memory: headers, a code
// section, .rsrc with the updater's three dialogs, a string table block and a
// named resource under Japanese, and .reloc after it, as the MinGW linker
// lays an updater out. Input for the stamp's tests and fuzz seeds.
#pragma once

#include "tools/pe/pe_image.h"
#include "tools/pe/resource_tree.h"

namespace testsupport {

// The resource tree SyntheticUpdater stores by default; its leaves' bytes
// stay valid for the program's run.
const pe::ResourceNode& SyntheticResources();
// plus: PE32+ (x86_64) instead of PE32 (i386).
pe::Bytes SyntheticUpdater(bool plus, const pe::ResourceNode& resources = SyntheticResources());

} // namespace testsupport
