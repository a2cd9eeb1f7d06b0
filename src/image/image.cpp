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

bool wt_img(FILE *fp, uint32_t addr, uint32_t data)
{
    unsigned char bytes[IMG_WORD_SIZE];
    for (unsigned i = 0; i < IMG_WORD_SIZE; i++)
        bytes[i] = (unsigned char)(data >> (8 * i));
    if (fseek(fp, (long)addr, SEEK_SET) != 0 || fwrite(bytes, 1, sizeof bytes, fp) != sizeof bytes) {
        clearerr(fp);
        return false;
    }
    s_written = true;
    return true;
}

// A word that cannot be read whole (beyond the end of the file) leaves
// *data as it was.
bool rd_img(FILE *fp, uint32_t addr, uint32_t *data)
{
    unsigned char bytes[IMG_WORD_SIZE];
    if (fseek(fp, (long)addr, SEEK_SET) != 0 || fread(bytes, 1, sizeof bytes, fp) != sizeof bytes) {
        clearerr(fp);
        return false;
    }
    uint32_t val = 0;
    for (unsigned i = 0; i < IMG_WORD_SIZE; i++)
        val |= (uint32_t)bytes[i] << (8 * i);
    *data = val;
    return true;
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
    for (size_t i = 0; i < n; i++)
        words[i] = rd_word(fp, addr + (uint32_t)(i * IMG_WORD_SIZE));
}

// Writes n consecutive words, stopping at the first that fails.
bool wt_img_words(FILE *fp, uint32_t addr, const uint32_t *words, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (!wt_img(fp, addr + (uint32_t)(i * IMG_WORD_SIZE), words[i]))
            return false;
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
