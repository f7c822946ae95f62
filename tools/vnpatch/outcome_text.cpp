#include "tools/vnpatch/outcome_text.h"

std::string CheckText(RecordCheck check) {
    switch (check) {
    case RecordAccepted:
        return "accepted";
    case RecordUnsafeName:
        return "the name leaves the installation directory or holds a wildcard";
    case RecordPathTooLong:
        return "the target or backup path is over 259 bytes";
    default:
        return "bad record header (magic, version, operation or name)";
    }
}

namespace {

std::string Reason(RecordOutcome outcome, const std::string& name) {
    switch (outcome) {
    case OutcomeRebuilt:
        return "rebuilds the file";
    case OutcomeWritten:
        return "writes the file";
    case OutcomeDeleted:
        return "deletes the file";
    case OutcomeSkippedMissing:
        return "the file is missing";
    case OutcomeSkippedOtherVersion:
        return "the file is another version than the record's source";
    case OutcomeBadHeader:
        return CheckText(RecordBadHeader);
    case OutcomeUnsafeName:
        return CheckText(RecordUnsafeName);
    case OutcomePathTooLong:
        return CheckText(RecordPathTooLong);
    case OutcomeMissing:
        return "the file is missing";
    case OutcomeSourceMismatch:
        return "the file is another version than the record's source";
    case OutcomeBackupInTheWay:
        return "a backup " + name + ".bak is in the way";
    case OutcomeBackupNotRestored:
        return "a backup " + name +
               ".bak of the old version stands beside a file that is not its rebuild";
    case OutcomeRenameRefused:
        return "the file could not be renamed, or its backup not put back (held open, or no "
               "rights)";
    case OutcomeReadFailed:
        return "the old file could not be read";
    case OutcomeCreateFailed:
        return "the new file could not be created";
    case OutcomeMalformedChunks:
        return "a chunk lies outside the record or the old file";
    case OutcomeVerifyFailed:
        return "the file read back does not match the record's target checksum";
    case OutcomeFlushFailed:
        return "the new file's data could not be written through to the disk";
    case OutcomeBackupNotDeleted:
        return "the file was rebuilt, but its backup " + name + ".bak could not be deleted";
    }
    return "unknown outcome";
}

} // namespace

std::string OutcomeText(const RecordReport& report, const std::string& name) {
    std::string text = Reason(report.outcome, name);
    return report.healed ? text + " (after putting its backup back)" : text;
}
