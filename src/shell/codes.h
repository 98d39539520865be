// Result codes of the batch shell: start-up, users, jobs and dispatch.
// The texts belong to the message files of the installation (group "Common").
#pragma once

#include <cstdint>

namespace corvanta::codes {

inline constexpr std::int32_t kCommandFile = -11;  // command file missing or unreadable
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
inline constexpr std::int32_t kSequenceOpen = -801;
inline constexpr std::int32_t kSequenceLock = -802;
inline constexpr std::int32_t kSequenceWrite = -803;

}  // namespace corvanta::codes
