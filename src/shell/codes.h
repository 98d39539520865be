// Result codes of the batch shell: start-up, users, jobs and dispatch.
// The texts belong to the message files of the installation (group "Common").
#pragma once

#include <cstdint>

namespace corvanta::codes {

inline constexpr std::int32_t kCommandFile = -11;       // command file missing or unreadable
inline constexpr std::int32_t kMissingParameter = -11;  // a parameter the command needs is missing
// A file a command names: cannot be opened or created; cannot be written.
inline constexpr std::int32_t kCannotOpenFile = -13;
inline constexpr std::int32_t kCannotWriteFile = -16;
// SETUP_LOD: no backup of the block from today.
inline constexpr std::int32_t kNoBackup = -31;
inline constexpr std::int32_t kOutOfMemory = -102;
inline constexpr std::int32_t kServerConfig = -103;  // "Messages" or server configuration unreadable
inline constexpr std::int32_t kUsersOutOfMemory = -122;
inline constexpr std::int32_t kUnknownUser = -124;  // missing, unknown, or name too long
inline constexpr std::int32_t kWrongPassword = -125;
inline constexpr std::int32_t kUsersTableOpen = -126;     // cannot be opened or created
inline constexpr std::int32_t kUsersTableRewrite = -127;  // rewritten table cannot be created or locked
inline constexpr std::int32_t kUsersTableWrite = -128;    // cannot be written; or own ADM removed
inline constexpr std::int32_t kNoPermission = -129;
inline constexpr std::int32_t kNoCurrentPool = -151;
inline constexpr std::int32_t kNoCurrentFile = -152;
// A command of the table that this installation does not provide.
inline constexpr std::int32_t kNotAvailable = -160;
// The pool names no index for user profiles.
inline constexpr std::int32_t kNoPoolProfiles = -161;
// Command files nested deeper than the service allows.
inline constexpr std::int32_t kCommandFilesNested = -162;
inline constexpr std::int32_t kCommandLineTooLong =
    -163;  // a command line over 1000 characters: nothing of it runs
// Limits/MaxJobNo above what the job file holds (kMaxJobNumber).
inline constexpr std::int32_t kMaxJobNoTooLarge = -164;
// A command or the start-up ended by an error the service did not expect;
// the command's changes up to then stand as the journal recorded them.
inline constexpr std::int32_t kUnexpectedError = -165;
// A command file's line names no command of the table.
inline constexpr std::int32_t kUnknownCommand = -166;
// A file parameter names one of the service's own files (for writing).
inline constexpr std::int32_t kOwnFile = -167;
// A file parameter names a file outside Directories/CommandFiles.
inline constexpr std::int32_t kOutsideDirectories = -168;
// A line of a stop word list that is not "number word [* term]".
inline constexpr std::int32_t kBadStopLine = -169;
// A script of a user without ADM would read one of the service's own files.
inline constexpr std::int32_t kOwnFileRead = -172;
// A command would ask a question, but its input is no terminal.
inline constexpr std::int32_t kNoOneToAsk = -173;
// A setup command names a block that is not in the table of blocks.
inline constexpr std::int32_t kUnknownBlock = -170;
// A sub-library code with blanks, control characters or path separators.
inline constexpr std::int32_t kBadSublib = -171;
// A file parameter names a directory, device or FIFO.
inline constexpr std::int32_t kNotARegularFile = -240;
inline constexpr std::int32_t kSequenceOpen = -801;
inline constexpr std::int32_t kSequenceLock = -802;
inline constexpr std::int32_t kSequenceWrite = -803;

}  // namespace corvanta::codes
