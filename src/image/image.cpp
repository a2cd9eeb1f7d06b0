// Image store: the only code that opens, reads, writes, syncs, locks or
// closes the image file, and the undo record that makes every command all
// or nothing. Calls go one way: the store calls the journal (journal.cpp),
// both call the system through g_img_sys (sys.cpp), and the front ends see
// a cycle's end only as its outcome.
//
// A run: img_start opens and locks the image and lets the journal apply or
// refuse what it finds, then one cycle per command (img_t.state):
//   CLOSED   --img_start-->         IDLE      locked; what lay beside it applied or refused
//   IDLE     --img_cycle_begin-->   OPEN      the path still names the locked file
//   OPEN     --wt_img_words-->      WRITING   region kept, journal record synced, write
//            (batched: the writes wait in memory, each region written once at the sync)
//   WRITING  --img_cycle_end-->     SYNCED    committing: image synced, journal closed,
//   SYNCED   (the same call)        IDLE      the caller's output out, journal removed,
//                                             its directory synced
//   OPEN, WRITING, SYNCED           IDLE      undone (asked, failed, refused by the caller or
//            --img_cycle_end-->               the journal not removed): old bytes back,
//                                             synced, read back, journal removed
//   IDLE, OPEN --img_end-->         CLOSED
// A cycle that wrote nothing may begin again without an end.
//
// Ordering rules (each named by a case of the journal tests); rules 3 to 5
// are kept by img_cycle_end alone:
//   1. A write's record, and the journal's directory entry when the
//      record is the cycle's first, are synced before the write is made.
//   2. The header and the first records go out in one write.
//   3. The image is synced before its journal is removed.
//   4. The journal goes (removed, its directory synced) only after the
//      command's output is flushed and while no terminating signal has
//      come, and before the next prompt; a journal not removed for good
//      undoes the command.
//   5. An undo is synced and read back before its journal is removed; one
//      that fails keeps the journal for the next start. (A journal left
//      after a whole undo holds only bytes that are back.)
//   6. A start applies a journal only when every byte it covers holds a
//      value from before the command or one of its recorded writes, and
//      every other byte matches the digest taken before the command.
#include "journal.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstring>

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

// ---------------------------------------------------------------- state
// What each state promises of the other fields, checked at every move in
// debug builds.
static void assert_state([[maybe_unused]] const img_t *img)
{
#ifndef NDEBUG
    switch (img->state) {
    case IMG_CLOSED:
        assert(img->fd < 0);
        break;
    case IMG_IDLE:
    case IMG_OPEN:
        assert(img->fd >= 0 && img->nwritten == 0);
        break;
    case IMG_WRITING:
        assert(img->fd >= 0 && img->nwritten > 0);
        break;
    case IMG_SYNCED:
        assert(img->fd >= 0 && img->nwritten > 0 && img->failed == IMG_OK);
        break;
    }
#endif
}

#define STATE_BIT(s) (1u << (s))
// The moves the diagram at the top allows, by the state moved from.
[[maybe_unused]] static const unsigned NEXT_STATES[] = {
    STATE_BIT(IMG_IDLE),                                                  // CLOSED
    STATE_BIT(IMG_OPEN) | STATE_BIT(IMG_CLOSED),                          // IDLE
    STATE_BIT(IMG_OPEN) | STATE_BIT(IMG_WRITING) | STATE_BIT(IMG_IDLE) |  // OPEN
        STATE_BIT(IMG_CLOSED),
    STATE_BIT(IMG_SYNCED) | STATE_BIT(IMG_IDLE),  // WRITING
    STATE_BIT(IMG_IDLE),                          // SYNCED
};

static void move_to(img_t *img, img_state_t to)
{
    assert((NEXT_STATES[img->state] & STATE_BIT(to)) != 0);
    img->state = to;
    assert_state(img);
}

// ---------------------------------------------------------------- run
static void forget_cycle(img_t *img)
{
    img->failed = IMG_OK;
    img->nwritten = 0;
    for (int i = 0; i < IMG_NREGIONS; i++) {
        img_region_t *r = &img->region[i];
        r->loaded = r->saved = r->verify = false;
        r->lo = r->hi = 0;
    }
}

// Only a regular file or a block device holds an image; a FIFO or a
// terminal would hand out different bytes at every read.
static bool image_kind(const struct stat *st)
{
    return S_ISREG(st->st_mode) || S_ISBLK(st->st_mode);
}

const int TERMINATING_SIGNALS[4] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// A refusal: the descriptor (if any) is closed and the reason kept.
static img_start_t refuse(img_t *img, int fd, img_start_t why, const char *text)
{
    img->why = text != nullptr ? text : strerror(errno);
    if (fd >= 0)
        g_img_sys.close(fd);
    return why;
}

void img_init(img_t *img)
{
    img->state = IMG_CLOSED;
    img->fd = -1;
}

// Opens and locks the image for the run: a writer exclusively, readers
// shared. The advisory lock keeps a second editor off the file, and a
// reader off a file an editor is changing.
img_start_t img_start(img_t *img, const char *path, img_mode_t mode, long *size)
{
    // The region buffers are left alone: a page is touched only when a
    // command needs its region.
    assert(img->state == IMG_CLOSED);
    img->fd = -1;
    img->path = path;
    img->dev = img->ino = 0;
    img->dry_run = mode == IMG_READ_ONLY;
    img->batched = mode == IMG_UPDATE_BATCHED;
    img->why = img->jwhy = img->no_journal = nullptr;
    img->journal = JOURNAL_NONE;
    img->jpath[0] = '\0';
    for (int i = 0; i < IMG_NREGIONS; i++) {
        img->region[i].start = img_region_start(i);
        img->region[i].len = img_region_len(i);
    }
    forget_cycle(img);
    int flags = (mode == IMG_READ_ONLY ? O_RDONLY : O_RDWR) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd = g_img_sys.open(path, flags, 0);
    if (fd < 0)
        return refuse(img, -1, IMG_CANNOT_OPEN, nullptr);
    if (fd <= STDERR_FILENO) {  // the lowest free descriptor: a standard one is closed
        g_img_sys.close(fd);
        return IMG_ON_STD_FD;
    }
    struct stat st;
    if (g_img_sys.fstat(fd, &st) != 0)
        return refuse(img, fd, IMG_CANNOT_OPEN, nullptr);
    if (!image_kind(&st))
        return refuse(img, fd, IMG_CANNOT_OPEN, "not a regular file or block device");
    if (g_img_sys.flock(fd, (mode == IMG_READ_ONLY ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? refuse(img, fd, IMG_IN_USE, "locked by another process")
                                    : refuse(img, fd, IMG_CANNOT_OPEN, nullptr);
    off_t bytes = S_ISREG(st.st_mode) ? st.st_size : g_img_sys.lseek(fd, 0, SEEK_END);
    *size = (long)bytes;
    if (bytes < (off_t)IMG_MIN_SIZE)
        return refuse(img, fd, bytes < 0 ? IMG_CANNOT_OPEN : IMG_TOO_SHORT,
                      bytes < 0 ? nullptr : "too short");
    img->fd = fd;
    img->dev = (uint64_t)st.st_dev;
    img->ino = (uint64_t)st.st_ino;
    img->size = (uint64_t)bytes;
    jrn_report_t found;
    bool started = jrn_start(fd, path, &st, img->size, mode, &found);
    img->journal = found.found;
    snprintf(img->jpath, sizeof img->jpath, "%s", found.name);
    img->no_journal = found.no_journal;
    img->jwhy = img->why = found.why;
    img->jowner = found.owner;
    move_to(img, IMG_IDLE);
    if (!started) {
        img_end(img);
        return IMG_CANNOT_OPEN;
    }
    return IMG_STARTED;
}

// A cycle works on the locked file only: if the path now names another
// file (renamed over, a symlink retargeted) or the file has shrunk, nothing
// may be read or written. The descriptor always holds the locked file, so
// when the path names that file its stat is the file's own, size included.
bool img_cycle_begin(img_t *img)
{
    assert(img->state == IMG_IDLE || img->state == IMG_OPEN);
    forget_cycle(img);
    img->jwhy = nullptr;
    struct stat at_path;
    if (g_img_sys.stat(img->path, &at_path) != 0) {
        img->why = strerror(errno);
        return false;
    }
    if ((uint64_t)at_path.st_dev != img->dev || (uint64_t)at_path.st_ino != img->ino) {
        img->why = "no longer the file opened at start-up";
        return false;
    }
    off_t bytes =
        S_ISREG(at_path.st_mode) ? at_path.st_size : g_img_sys.lseek(img->fd, 0, SEEK_END);
    img->why = bytes < 0 ? strerror(errno) : "too short";
    if (bytes < (off_t)IMG_MIN_SIZE)
        return false;
    move_to(img, IMG_OPEN);
    return true;
}

img_fail_t img_failure(const img_t *img)
{
    return img->failed;
}

void img_mark_failed(img_t *img, img_fail_t why)
{
    if (img->failed == IMG_OK)
        img->failed = why;
}

// A journal failure: the cycle fails, with the journal's reason kept.
static bool journal_failed(img_t *img, img_fail_t why)
{
    img->jwhy = jrn_why();
    img_mark_failed(img, why);
    return false;
}

// Writes bytes [lo, hi) of region r, as the cycle has them, to the file.
static bool write_region(img_t *img, img_region_t *r, uint32_t lo, uint32_t hi,
                         const unsigned char *old)
{
    ssize_t n = hi - lo,
            put = g_img_sys.pwrite(img->fd, r->cur + lo, (size_t)n, (off_t)(r->start + lo));
    jrn_note_write(r->start + lo, old, r->cur + lo, (size_t)n, put == n);
    if (put != n)
        img_mark_failed(img, IMG_WRITE_FAIL);
    return put == n;
}

// The written bytes [lo, hi) of region r, read from the file, equal expect;
// unread says when they could not be read.
static bool same_on_file(img_t *img, const img_region_t *r, const unsigned char *expect,
                         bool *unread)
{
    unsigned char back[IMG_REGION_CAP];
    size_t n = r->hi - r->lo;
    *unread = g_img_sys.pread(img->fd, back, n, (off_t)(r->start + r->lo)) != (ssize_t)n;
    return !*unread && memcmp(back, expect, n) == 0;
}

// A region whose copy is to be verified holds on the file what the cycle
// wrote there.
static bool read_back(img_t *img, const img_region_t *r)
{
    bool unread = false;
    if (r->verify && !same_on_file(img, r, r->cur + r->lo, &unread))
        img_mark_failed(img, unread ? IMG_READ_FAIL : IMG_VERIFY_FAIL);
    return img->failed == IMG_OK;
}

// A batched cycle's writes: every region's record in one journal write,
// then each region written once.
static bool write_batch(img_t *img)
{
    jrn_write_t w[IMG_MAX_REGIONS];
    for (int k = 0; k < img->nwritten; k++) {
        img_region_t *r = &img->region[img->order[k]];
        w[k] =
            jrn_write_t{r->start, r->len, r->orig, r->start + r->lo, r->hi - r->lo, r->cur + r->lo};
    }
    if (img_fail_t why = jrn_cover(w, img->nwritten); why != IMG_OK) {
        img->nwritten = 0;  // nothing reached the image: nothing to undo
        return journal_failed(img, why);
    }
    for (int k = 0; k < img->nwritten; k++) {
        img_region_t *r = &img->region[img->order[k]];
        if (!write_region(img, r, r->lo, r->hi, r->orig + r->lo) || !read_back(img, r))
            return false;
    }
    return true;
}

// Makes the cycle's writes durable (rule 3: before its journal can go).
static bool sync_cycle(img_t *img)
{
    if (img->failed != IMG_OK)
        return false;
    if (img->nwritten == 0 || img->dry_run)
        return true;
    if (img->batched && !write_batch(img))
        return false;
    if (g_img_sys.fsync(img->fd) != 0 || !jrn_close()) {
        img->failed = IMG_WRITE_FAIL;
        return false;
    }
    move_to(img, IMG_SYNCED);
    return true;
}

// Holds the terminating signals off; old keeps the mask to put back.
static void hold_signals(sigset_t *old)
{
    sigset_t held;
    sigemptyset(&held);
    for (int sig : TERMINATING_SIGNALS)
        sigaddset(&held, sig);
    sigprocmask(SIG_BLOCK, &held, old);
}

// Puts back every byte the cycle replaced, newest region first, syncs and
// reads the bytes back to be sure; then its journal goes, or stays when the
// undo failed (rule 5; kept says whether one stays). Every region is tried even when one fails. The
// terminating signals are held off meanwhile, so that the putting back is
// never cut short itself.
static img_undo_t roll_back(img_t *img, bool *kept)
{
    img_undo_t result = img->nwritten == 0 || img->dry_run ? IMG_NOTHING_TO_UNDO : IMG_UNDONE;
    sigset_t old;
    if (result == IMG_UNDONE) {
        hold_signals(&old);
        jrn_forget_digest();  // what reached the file is not known
        for (int k = img->nwritten - 1; k >= 0; k--) {
            const img_region_t *r = &img->region[img->order[k]];
            size_t n = r->hi - r->lo;
            // A short write is judged by the read-back below: the bytes past
            // a file size limit were never changed.
            (void)g_img_sys.pwrite(img->fd, r->orig + r->lo, n, (off_t)(r->start + r->lo));
        }
        bool ok = g_img_sys.fsync(img->fd) == 0;
        for (int k = img->nwritten - 1; k >= 0; k--) {
            const img_region_t *r = &img->region[img->order[k]];
            bool unread;
            ok = same_on_file(img, r, r->orig + r->lo, &unread) && ok;
        }
        result = ok ? IMG_UNDONE : IMG_NOT_RESTORED;
    }
    *kept = result == IMG_NOT_RESTORED && jrn_pending();
    // The only record left stays for the next start; after an undo, a journal
    // that cannot be removed holds only bytes that are back.
    if (result == IMG_NOT_RESTORED || !jrn_remove())
        jrn_keep();
    forget_cycle(img);
    if (img->state != IMG_IDLE)
        move_to(img, IMG_IDLE);
    if (result != IMG_NOTHING_TO_UNDO)
        sigprocmask(SIG_SETMASK, &old, nullptr);
    return result;
}

img_outcome_t img_cycle_end(img_t *img, bool commit, img_output_t output, void *ctx)
{
    assert(img->state != IMG_CLOSED);
    assert_state(img);
    img_outcome_t o = {.why = IMG_END_DONE,
                       .undo = IMG_NOTHING_TO_UNDO,
                       .failure = IMG_OK,
                       .error = 0,
                       .written = img->nwritten > 0 && !img->dry_run,
                       .jwhy = nullptr,
                       .journal = img->jpath,
                       .journal_kept = false};
    if (!commit || !sync_cycle(img)) {
        o.why = img->failed != IMG_OK ? IMG_END_FAILED : IMG_END_ASKED;
    } else if (!output(ctx)) {  // rule 4: the output out, and no signal come
        o.why = IMG_END_WITHDRAWN;
    } else if (!jrn_remove()) {
        // Not removed for good, a crash could bring the journal back and
        // undo the command after it was told done: undone now.
        o.why = IMG_END_NOT_REMOVED;
        img->jwhy = jrn_why();
    }
    if (o.why == IMG_END_DONE) {
        forget_cycle(img);
        if (img->state != IMG_IDLE)
            move_to(img, IMG_IDLE);
    } else {
        // The cycle's failure and its reasons, before the undo makes calls of its own.
        o.failure = img->failed;
        o.error = errno;
        o.jwhy = img->jwhy;
        o.undo = roll_back(img, &o.journal_kept);
    }
    return o;
}

// Ends the run: the lock goes with the descriptor.
img_found_t img_found(const img_t *img)
{
    return {.found = img->journal,
            .image = img->path,
            .journal = img->jpath,
            .no_journal = img->no_journal,
            .why = img->jwhy,
            .owner = img->jowner};
}

bool img_end(img_t *img)
{
    bool ok = jrn_end();
    if (img->state == IMG_CLOSED)
        return ok;
    ok = g_img_sys.close(img->fd) == 0 && ok;
    img->fd = -1;
    move_to(img, IMG_CLOSED);
    return ok;
}

// ---------------------------------------------------------------- word access
// The region holding [addr, addr + len), read from the file on first use.
// Any failure is the cycle's failure: later accesses fail at once, so an
// operation never goes on from a value it could not read.
static img_region_t *region_for(img_t *img, uint32_t addr, uint32_t len, img_fail_t fail_as)
{
    if (img->failed != IMG_OK)
        return nullptr;
    int i = img_region_index(addr, len);
    if (i < 0) {
        img->failed = fail_as;  // no word outside the regions is ever touched
        return nullptr;
    }
    img_region_t *r = &img->region[i];
    if (!r->loaded) {
        if (g_img_sys.pread(img->fd, r->cur, r->len, (off_t)r->start) != (ssize_t)r->len) {
            img->failed = IMG_READ_FAIL;
            return nullptr;
        }
        jrn_overlay(r->start, r->cur, r->len);  // a reader sees the interrupted command undone
        r->loaded = true;
    }
    return r;
}

void img_each_change(const img_t *img,
                     void (*fn)(uint32_t addr, uint32_t before, uint32_t now, void *ctx), void *ctx)
{
    for (const img_region_t &r : img->region) {
        if (!r.saved)
            continue;
        for (uint32_t at = r.lo; at < r.hi; at += IMG_WORD_SIZE) {
            uint32_t before = get_le(r.orig + at), now = get_le(r.cur + at);
            if (before != now)
                fn(r.start + at, before, now, ctx);
        }
    }
}

bool rd_img_words(img_t *fp, uint32_t addr, uint32_t *words, size_t n)
{
    uint32_t len = (uint32_t)n * IMG_WORD_SIZE;
    img_region_t *r = region_for(fp, addr, len, IMG_READ_FAIL);
    if (r == nullptr)
        return false;
    for (size_t i = 0; i < n; i++)
        words[i] = get_le(r->cur + (addr - r->start) + i * IMG_WORD_SIZE);
    return true;
}

bool rd_img(img_t *fp, uint32_t addr, uint32_t *data)
{
    return rd_img_words(fp, addr, data, 1);
}

// Writes n consecutive words in one access. The first write of the cycle
// into a region keeps the region's bytes as they were; the journal holds
// them, and the bytes written, before the write is made.
bool wt_img_words(img_t *fp, uint32_t addr, const uint32_t *words, size_t n)
{
    assert(fp->state == IMG_OPEN || fp->state == IMG_WRITING);
    uint32_t len = (uint32_t)n * IMG_WORD_SIZE;
    img_region_t *r = region_for(fp, addr, len, IMG_WRITE_FAIL);
    if (r == nullptr)
        return false;
    uint32_t lo = addr - r->start, hi = lo + len;
    unsigned char now[IMG_REGION_CAP], old[IMG_REGION_CAP];
    for (size_t i = 0; i < n; i++)
        put_le(now + i * IMG_WORD_SIZE, words[i]);
    // Covered before the region counts as written: a failure here has
    // changed nothing of the image.
    const jrn_write_t w = {r->start, r->len, r->saved ? nullptr : r->cur, addr, len, now};
    if (!fp->dry_run && !fp->batched)
        if (img_fail_t why = jrn_cover(&w, 1); why != IMG_OK)
            return journal_failed(fp, why);
    if (!r->saved) {
        memcpy(r->orig, r->cur, r->len);
        r->saved = true;
        r->lo = lo;
        r->hi = hi;
        fp->order[fp->nwritten++] = (int)(r - fp->region);
        if (fp->state == IMG_OPEN)
            move_to(fp, IMG_WRITING);
    }
    r->lo = lo < r->lo ? lo : r->lo;
    r->hi = hi > r->hi ? hi : r->hi;
    memcpy(old, r->cur + lo, len);
    memcpy(r->cur + lo, now, len);
    if (fp->dry_run || fp->batched)
        return true;
    return write_region(fp, r, lo, hi, old);
}

bool wt_img(img_t *fp, uint32_t addr, uint32_t data)
{
    return wt_img_words(fp, addr, &data, 1);
}

// Reads words from the file itself, past the cycle's copy: the header copy
// is verified against what the file really holds.
bool img_reread_words(img_t *fp, uint32_t addr, uint32_t *words, size_t n)
{
    img_region_t *r = region_for(fp, addr, (uint32_t)n * IMG_WORD_SIZE, IMG_READ_FAIL);
    if (r == nullptr)
        return false;
    r->verify = fp->batched;  // a batch reaches the file at the sync, and is read back then
    if (fp->dry_run || fp->batched)
        return rd_img_words(fp, addr, words, n);
    unsigned char buf[IMG_REGION_CAP];
    size_t len = n * IMG_WORD_SIZE;
    if (g_img_sys.pread(fp->fd, buf, len, (off_t)addr) != (ssize_t)len) {
        fp->failed = IMG_READ_FAIL;
        return false;
    }
    for (size_t i = 0; i < n; i++)
        words[i] = get_le(buf + i * IMG_WORD_SIZE);
    return true;
}
