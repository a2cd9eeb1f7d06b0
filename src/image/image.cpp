// Image store: the only code that opens, positions, reads, writes, flushes,
// locks or closes the image file.
#include "norvask-oem-cfg.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

// Set once a word has been written through the current stream, so that
// closing it makes the writes durable; read-only cycles skip the sync.
static bool s_written = false;
static int s_lock_fd = -1;

FILE *img_open(const char *path)
{
    FILE *fp = fopen(path, "rb+");
    if (fp == nullptr)
        return nullptr;
    // Unbuffered: each word goes to the file when written, so a failed
    // write is reported by the call that made it, not at a later flush.
    setvbuf(fp, nullptr, _IONBF, 0);
    s_written = false;
    return fp;
}

bool img_close(FILE *fp)
{
    bool ok = true;
    if (s_written)
        ok = fflush(fp) == 0 && fsync(fileno(fp)) == 0;
    s_written = false;
    return fclose(fp) == 0 && ok;
}

// An exclusive advisory lock held for the whole run keeps a second editor
// off the image; readers that do not lock are unaffected.
bool img_lock(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    s_lock_fd = fd;
    return true;
}

void img_unlock(void)
{
    if (s_lock_fd >= 0)
        close(s_lock_fd);
    s_lock_fd = -1;
}

long img_size(FILE *fp)
{
    if (fseek(fp, 0, SEEK_END) != 0)
        return -1;
    return ftell(fp);
}

// Blocks of up to one header block are moved in a single access, so that
// the header copy costs a few system calls rather than one per word.
static const size_t IMG_BLOCK_WORDS = IMG_HEADER_WORDS;

static void put_le(unsigned char *p, uint32_t v)
{
    for (unsigned i = 0; i < IMG_WORD_SIZE; i++)
        p[i] = (unsigned char)(v >> (8 * i));
}

static uint32_t get_le(const unsigned char *p)
{
    uint32_t v = 0;
    for (unsigned i = 0; i < IMG_WORD_SIZE; i++)
        v |= (uint32_t)p[i] << (8 * i);
    return v;
}

// Reads up to IMG_BLOCK_WORDS words; returns how many could be read whole.
static size_t read_block(FILE *fp, uint32_t addr, uint32_t *words, size_t n)
{
    unsigned char buf[IMG_BLOCK_WORDS * IMG_WORD_SIZE];
    size_t got = 0;
    if (fseek(fp, (long)addr, SEEK_SET) == 0)
        got = fread(buf, 1, n * IMG_WORD_SIZE, fp) / IMG_WORD_SIZE;
    clearerr(fp);
    for (size_t i = 0; i < got; i++)
        words[i] = get_le(buf + i * IMG_WORD_SIZE);
    return got;
}

static bool write_block(FILE *fp, uint32_t addr, const uint32_t *words, size_t n)
{
    unsigned char buf[IMG_BLOCK_WORDS * IMG_WORD_SIZE];
    for (size_t i = 0; i < n; i++)
        put_le(buf + i * IMG_WORD_SIZE, words[i]);
    if (fseek(fp, (long)addr, SEEK_SET) != 0 || fwrite(buf, 1, n * IMG_WORD_SIZE, fp) != n * IMG_WORD_SIZE) {
        clearerr(fp);
        return false;
    }
    s_written = true;
    return true;
}

bool wt_img(FILE *fp, uint32_t addr, uint32_t data)
{
    return write_block(fp, addr, &data, 1);
}

// A word that cannot be read whole (beyond the end of the file) leaves
// *data as it was.
bool rd_img(FILE *fp, uint32_t addr, uint32_t *data)
{
    return read_block(fp, addr, data, 1) == 1;
}

// A word that cannot be read counts as erased flash.
uint32_t rd_word(FILE *fp, uint32_t addr)
{
    uint32_t val = INVALID_ID;
    rd_img(fp, addr, &val);
    return val;
}

void rd_img_words(FILE *fp, uint32_t addr, uint32_t *words, size_t n)
{
    for (size_t done = 0; done < n;) {
        size_t k = n - done < IMG_BLOCK_WORDS ? n - done : IMG_BLOCK_WORDS;
        size_t got = read_block(fp, addr + (uint32_t)(done * IMG_WORD_SIZE), words + done, k);
        for (size_t i = got; i < k; i++)
            words[done + i] = INVALID_ID;
        done += k;
    }
}

// Writes n consecutive words, stopping at the first block that fails.
bool wt_img_words(FILE *fp, uint32_t addr, const uint32_t *words, size_t n)
{
    for (size_t done = 0; done < n;) {
        size_t k = n - done < IMG_BLOCK_WORDS ? n - done : IMG_BLOCK_WORDS;
        if (!write_block(fp, addr + (uint32_t)(done * IMG_WORD_SIZE), words + done, k))
            return false;
        done += k;
    }
    return true;
}

// Puts back words saved before a command that could not finish, trying
// every word, and tells whether the file now holds them all again.
bool restore_img_words(FILE *fp, uint32_t addr, const uint32_t *old, size_t n)
{
    for (size_t i = 0; i < n; i++)
        wt_img(fp, addr + (uint32_t)(i * IMG_WORD_SIZE), old[i]);
    for (size_t i = 0; i < n; i++) {
        uint32_t now = ~old[i];
        if (!rd_img(fp, addr + (uint32_t)(i * IMG_WORD_SIZE), &now) || now != old[i])
            return false;
    }
    return true;
}
