// Reads the SQLite file headers and write-ahead log frames as the SQLite file format lays them
// out: big-endian integers, a cumulative two-word checksum over each frame.
#include "registry_log.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

namespace hostwin::registry {

namespace {

constexpr size_t kStoreHeaderSize = 100;
constexpr size_t kLogHeaderSize = 32;
constexpr size_t kFrameHeaderSize = 24;
constexpr uint32_t kLogMagic = 0x377f0682; // low bit: checksums over big-endian words

uint32_t BigEndian32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

uint32_t NativeWord(const unsigned char* p, bool bigEndian) {
    if (bigEndian)
        return BigEndian32(p);
    return static_cast<uint32_t>(p[3]) << 24 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[1]) << 8 | p[0];
}

// Continues the checksum (s0, s1) over `size` bytes, a multiple of 8.
void Checksum(const unsigned char* data, size_t size, bool bigEndian, uint32_t* s0, uint32_t* s1) {
    for (size_t i = 0; i + 8 <= size; i += 8) {
        *s0 += NativeWord(data + i, bigEndian) + *s1;
        *s1 += NativeWord(data + i + 4, bigEndian) + *s0;
    }
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

FileState CheckStoreFile(const std::string& path, std::string* detail) {
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
    if (pages != 0 && changeCounter == validFor && size < static_cast<uint64_t>(pages) * pageSize) {
        *detail = "the file is shorter than its header says: truncated";
        return FileState::Damaged;
    }
    return FileState::Sound;
}

FileState CheckWriteAheadLog(const std::string& path, std::string* detail) {
    uint64_t size = 0;
    if (!FileSize(path, &size))
        return FileState::Missing;
    if (size == 0)
        return FileState::Empty;
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> bytes(static_cast<size_t>(size));
    if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size))) {
        *detail = "cannot be read";
        return FileState::Damaged;
    }
    const unsigned char* header = bytes.data();
    const uint32_t magic = size >= kLogHeaderSize ? BigEndian32(header) : 0;
    const uint32_t pageSize = size >= kLogHeaderSize ? BigEndian32(header + 8) : 0;
    if ((magic & ~1u) != kLogMagic || BigEndian32(header + 4) != 3007000 ||
        !ValidPageSize(pageSize)) {
        *detail = "its header is broken";
        return FileState::Damaged;
    }
    const bool bigEndian = magic & 1;
    uint32_t s0 = 0, s1 = 0;
    Checksum(header, 24, bigEndian, &s0, &s1);
    if (s0 != BigEndian32(header + 24) || s1 != BigEndian32(header + 28)) {
        *detail = "its header checksum fails";
        return FileState::Damaged;
    }
    const size_t frameSize = kFrameHeaderSize + pageSize;
    bool broken = false;
    for (size_t offset = kLogHeaderSize; offset + frameSize <= bytes.size(); offset += frameSize) {
        const unsigned char* frame = bytes.data() + offset;
        // Frames whose salt differs are left from an earlier round of the log: its end.
        if (std::memcmp(frame + 8, header + 16, 8) != 0)
            break;
        if (broken) {
            *detail = "a frame of committed changes fails its checksum";
            return FileState::Damaged;
        }
        Checksum(frame, 8, bigEndian, &s0, &s1);
        Checksum(frame + kFrameHeaderSize, pageSize, bigEndian, &s0, &s1);
        broken = s0 != BigEndian32(frame + 16) || s1 != BigEndian32(frame + 20);
    }
    // A broken last frame is what a writer killed between a frame's header and its page leaves
    // (the page bytes are from an earlier round); its transaction never committed.
    return FileState::Sound;
}

} // namespace hostwin::registry
