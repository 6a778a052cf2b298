// Reads the SQLite file header as the SQLite file format lays it out: big-endian integers.
#include "sqlite/database_file.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <fstream>

namespace hostwin::sqlite {

namespace {

constexpr size_t kStoreHeaderSize = 100;

uint32_t BigEndian32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

bool FileSize(const std::string& path, uint64_t* size) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        return false;
    *size = static_cast<uint64_t>(info.st_size);
    return true;
}

bool ValidPageSize(uint32_t size) {
    return size >= 512 && size <= 65536 && (size & (size - 1)) == 0;
}

} // namespace

FileState CheckDatabaseFile(const std::string& path, bool checkLength, std::string* detail) {
    uint64_t size = 0;
    if (!FileSize(path, &size))
        return FileState::Missing;
    if (size == 0) {
        *detail = "the file is empty";
        return FileState::Empty;
    }
    unsigned char header[kStoreHeaderSize] = {};
    std::ifstream in(path, std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(header), sizeof header) ||
        std::memcmp(header, "SQLite format 3", 16) != 0) {
        *detail = "file is not a database";
        return FileState::Damaged;
    }
    uint32_t pageSize = static_cast<uint32_t>(header[16]) << 8 | header[17];
    if (pageSize == 1)
        pageSize = 65536;
    const uint32_t changeCounter = BigEndian32(header + 24);
    const uint32_t pages = BigEndian32(header + 28);
    const uint32_t validFor = BigEndian32(header + 92);
    if (!ValidPageSize(pageSize)) {
        *detail = "file is not a database";
        return FileState::Damaged;
    }
    // The page count in the header only counts when written by a version that kept it.
    if (checkLength && pages != 0 && changeCounter == validFor &&
        size < static_cast<uint64_t>(pages) * pageSize) {
        *detail = "the file is shorter than its header says: truncated";
        return FileState::Damaged;
    }
    return FileState::Sound;
}

} // namespace hostwin::sqlite
