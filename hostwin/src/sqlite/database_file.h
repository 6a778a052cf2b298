// A check of a database's main file made before SQLite opens it, so that a file that cannot be
// a whole database is reported rather than taken for a new one (SQLite would take an empty file
// for an empty database, and a cut one for whatever its pages still hold).
#pragma once

#include <string>

namespace hostwin::sqlite {

enum class FileState { Missing, Empty, Sound, Damaged };

// Damaged when the file is not an SQLite database, or (`checkLength`: only while no log holds
// newer pages, which a checkpoint cut short would still be copying) is shorter than its own
// header says.
FileState CheckDatabaseFile(const std::string& path, bool checkLength, std::string* detail);

} // namespace hostwin::sqlite
