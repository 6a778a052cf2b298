// Checks of the registry store's files made before SQLite opens them, so that damage is
// reported instead of SQLite quietly dropping what it cannot read.
#pragma once

#include <string>

namespace hostwin::registry {

enum class FileState { Missing, Empty, Sound, Damaged };

// The store's main file: Damaged when it is not an SQLite database or is shorter than its own
// header says (only meaningful while no write-ahead log holds newer pages).
FileState CheckStoreFile(const std::string& path, std::string* detail);

// The write-ahead log: Damaged for a broken header, or for a frame of the current log whose
// checksum fails while later frames of the same log follow it (committed changes SQLite would
// silently skip). A frame cut short at the very end is what a crash mid-write leaves: Sound.
FileState CheckWriteAheadLog(const std::string& path, std::string* detail);

} // namespace hostwin::registry
