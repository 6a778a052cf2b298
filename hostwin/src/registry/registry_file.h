// A check of the registry store's main file made before SQLite opens it, so that a file that
// cannot be a whole store is reported rather than taken for a new one.
#pragma once

#include <string>

namespace hostwin::registry {

enum class FileState { Missing, Empty, Sound, Damaged };

// Damaged when the file is not an SQLite database, or (`checkLength`: only while no log holds
// newer pages, which a checkpoint cut short would still be copying) is shorter than its own
// header says.
FileState CheckStoreFile(const std::string& path, bool checkLength, std::string* detail);

} // namespace hostwin::registry
