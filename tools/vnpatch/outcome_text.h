// What the engine made of a record, in words, for apply, verify and inspect.
#pragma once

#include <string>

#include "patch/apply_record.h"

// name is the record's target name; it appears where the text needs it.
std::string OutcomeText(const RecordReport& report, const std::string& name);
// The text for a check made before the disk is touched.
std::string CheckText(RecordCheck check);
