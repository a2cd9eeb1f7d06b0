// The journal's on-disk layout and its private state, shared by the journal's
// two halves: what a cycle writes (journal.cpp) and what a start finds
// (journal_start.cpp). Nothing outside src/image/journal*.cpp includes it.
#ifndef NORVASK_JOURNAL_FORMAT_H
#define NORVASK_JOURNAL_FORMAT_H

#include "journal.h"

#include <sys/stat.h>

#include <climits>
#include <cstring>

#define JOURNAL_SUFFIX ".norvask-journal"

// On disk, little-endian: a header, then records. The header and the first
// record go out in one write, synced before the image is touched; each later
// record is synced before the write it covers.
inline constexpr unsigned char MAGIC[8] = {'N', 'V', 'O', 'E', 'M', 'J', '2', '\n'};
enum {
    HDR_MAGIC = 0,    // 8 bytes: MAGIC
    HDR_INO = 8,      // 8: the image's inode number
    HDR_SIZE = 16,    // 8: the image's size in bytes
    HDR_DIGEST = 24,  // 8: the digest of the whole image before the command
    HDR_CRC = 32,     // 4: CRC-32 of the header's bytes before it
    HDR_LEN = 36,
    REC_KIND = 0,    // 4: REC_BEFORE or REC_WRITE
    REC_LEN = 4,     // 4: n, the bytes of the record's data
    REC_AT = 8,      // 8: the data's offset in the image
    REC_DATA = 16,   // n: a region as it was, or the bytes a write put there
    REC_FIXED = 20,  // and a CRC-32 of the record's bytes before it
};
enum { REC_BEFORE = 1, REC_WRITE = 2 };
enum { JOURNAL_MAX = 0x20000, MAX_RECORDS = 256, CHUNK = 0x10000 };

typedef struct {
    uint32_t kind, len;
    uint64_t at;
    const unsigned char *data;  // in the found journal's bytes
} record_t;

// The journal's whole state, kept by journal.cpp and journal_start.cpp alone.
typedef struct jrn_state_t {
    int image_fd = -1;
    uint64_t dev, ino, size;
    unsigned mode;            // the image's read and write bits, the journal's mode
    unsigned uid, gid;        // the image's owner and group
    struct timespec seen[2];  // the image's modification and change times after the last write
    uint64_t seen_size;       // and its size then
    int dir = -1;       // the image's directory (O_PATH), where the journal lives; -1: none kept
    int dir_sync = -1;  // the same directory opened for reading, to sync it
    char base[NAME_MAX + 1];  // the image's name in dir
    char name[NAME_MAX + 1];  // the journal's
    char path[PATH_MAX + sizeof JOURNAL_SUFFIX];
    int fd = -1;          // the cycle's journal, open until the image is synced
    bool exists;          // the cycle's journal is on disk
    uint64_t jdev, jino;  // which file it is
    uint64_t jsize;
    bool digest_known;  // digest is the image's, kept up to date by every write (and seen[] then)
    uint64_t digest;
    const char *why;
    int nrecords;  // a found journal's records
    record_t records[MAX_RECORDS];
} jrn_state_t;
extern jrn_state_t g_jrn;

// CRC-32 (the reflected 0xEDB88320 polynomial), a table built at compile time.
struct crc_table_t {
    uint32_t v[256];
};
inline constexpr crc_table_t CRC_TABLE = [] {
    crc_table_t t{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
        t.v[i] = c;
    }
    return t;
}();

inline uint32_t crc32(const unsigned char *p, size_t n)
{
    uint32_t crc = 0xFFFFFFFFu;
    while (n-- > 0)
        crc = (crc >> 8) ^ CRC_TABLE.v[(crc ^ *p++) & 0xFF];
    return ~crc;
}

inline void put32(unsigned char *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = (unsigned char)(v >> (8 * i));
}

inline void put64(unsigned char *p, uint64_t v)
{
    put32(p, (uint32_t)v);
    put32(p + 4, (uint32_t)(v >> 32));
}

inline uint32_t get32(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

inline uint64_t get64(const unsigned char *p)
{
    return get32(p) | (uint64_t)get32(p + 4) << 32;
}

// Sets the reason of a failure (NULL: errno's) and returns false.
bool jrn_fail(const char *why);
// The digest of the whole image, with a found journal's old bytes over it.
bool jrn_digest_file(uint64_t *digest);
// The entry `name` of the image's directory is still the file dev/ino.
bool jrn_entry_is(const char *name, uint64_t dev, uint64_t ino);
// Removes the journal, if still the file dev/ino, and syncs its directory.
bool jrn_unlink(uint64_t dev, uint64_t ino);

#endif
