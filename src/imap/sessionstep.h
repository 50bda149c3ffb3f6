#pragma once

namespace imap {

// How far a conversation that logs in and lists the folders has come (the search engine's
// first connection, the Browse job), for a status line.
enum class SessionStep { Connecting, LoggingIn, ListingFolders, LoggingOut };

} // namespace imap
