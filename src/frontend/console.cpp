// Console input: every answer the user types is read here, and every
// prompt is shown from here.
#include "norvask-oem-cfg.h"

#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>

// Standard input is read in blocks of our own, so that a signal can cut a
// wait short (the read fails with EINTR) and nothing is left in a stdio
// buffer that the process could still act on after the signal.
// One page, page-aligned: a long session touches no more memory than a short one.
alignas(4096) static unsigned char s_in[4096];
static size_t s_in_pos = 0, s_in_len = 0;
static bool s_in_closed = false;

// Characters read ahead and given back; a CR folded into a line end can
// leave one pending while the caller gives back another.
static int s_pushback[4];
static int s_npush = 0;
static bool s_ended = false;
static bool s_output_failed = false;
static int s_output_errno;  // errno of the first failed flush, 0: none told
static volatile sig_atomic_t s_signal = 0;
static int s_in_fd = STDIN_FILENO;

// Largest magnitudes a typed number may have: hexadecimal answers are
// 32-bit patterns, decimal answers signed 32-bit values.
static const uint64_t HEX_MAX = 0xFFFFFFFFull;
static const uint64_t NEG_MAX = 0x80000000ull;
static const uint64_t DEC_MAX = 0x7FFFFFFFull;
static const uint64_t MAG_CAP = 0x1FFFFFFFFull;  // keeps accumulation in range

void con_reset(void)
{
    s_npush = 0;
    s_ended = false;
    s_output_failed = false;
    s_output_errno = 0;
    s_in_pos = s_in_len = 0;
    s_in_closed = false;
    s_in_fd = fileno(stdin);
}

// A terminating signal: remember it and make any read that is about to
// start return at once, so that the command loop can undo the command.
void con_note_signal(int sig)
{
    if (s_signal == 0)
        s_signal = sig;
    close(s_in_fd);
}

int con_interrupted(void)
{
    return s_signal;
}

static int read_byte(void)
{
    if (s_in_pos == s_in_len) {
        if (s_in_closed || s_signal != 0)
            return EOF;
        ssize_t got;
        do {
            got = read(s_in_fd, s_in, sizeof s_in);
            // A non-blocking input (one left so by another process sharing
            // it) waits for its next bytes rather than ending.
            struct pollfd in = {s_in_fd, POLLIN, 0};
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && poll(&in, 1, -1) >= 0)
                errno = EINTR;
        } while (got < 0 && errno == EINTR && s_signal == 0);
        // A read error, like the end of input, leaves nothing more to answer.
        if (got <= 0) {
            s_in_closed = true;
            return EOF;
        }
        s_in_pos = 0;
        s_in_len = (size_t)got;
    }
    return s_in[s_in_pos++];
}

static void con_ungetc(int c)
{
    if (c != EOF && s_npush < (int)(sizeof s_pushback / sizeof s_pushback[0]))
        s_pushback[s_npush++] = c;
}

// One character of standard input; CR LF reads as a single LF so that
// answer files with either line end give the same dialogue.
static int con_getc(void)
{
    if (s_npush > 0)
        return s_pushback[--s_npush];
    int c = read_byte();
    if (c == '\r') {
        int next = read_byte();
        if (next == '\n')
            return '\n';
        con_ungetc(next);
    }
    return c;
}

bool con_input_ended(void)
{
    return s_ended;
}

bool con_output_failed(void)
{
    return s_output_failed;
}

int con_output_errno(void)
{
    return s_output_errno;
}

// Makes everything printed so far visible. A failure (standard output on a
// full device, its reader gone) is remembered: the command loop then undoes
// the command whose output was lost and ends the run.
bool con_flush(void)
{
    errno = 0;
    if ((fflush(stdout) != 0 || ferror(stdout)) && !s_output_failed) {
        s_output_failed = true;
        s_output_errno = errno;
    }
    return !s_output_failed;
}

// Standard input goes through the console reader, so that characters given
// back and CR LF line ends count as they do for every other read.
void clear_flush(FILE *fp)
{
    int c;
    do
        c = fp == stdin ? con_getc() : getc(fp);
    while (c != '\n' && c != EOF);
}

static int digit_value(int c, num_base_t base)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (base == BASE_HEX && isxdigit(c))
        return tolower(c) - 'a' + 10;
    return -1;
}

// Reads one number the way formatted input does (white space, sign, 0x
// prefix, digits) and leaves the first character after it unread.
static num_read_t con_read_number(num_base_t base, int64_t *value)
{
    int c;
    while ((c = con_getc()) != EOF && isspace(c)) {
    }
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = con_getc();
    }
    bool any_digit = false;
    if (base == BASE_HEX && c == '0') {
        any_digit = true;
        c = con_getc();
        if (c == 'x' || c == 'X')
            c = con_getc();
    }
    uint64_t mag = 0;
    int d;
    while ((d = digit_value(c, base)) >= 0) {
        any_digit = true;
        mag = mag * (uint64_t)base + (uint64_t)d;
        if (mag > MAG_CAP)
            mag = MAG_CAP;
        c = con_getc();
    }
    con_ungetc(c);
    if (!any_digit)
        return c == EOF ? NUM_EOF : NUM_NONE;
    uint64_t limit = negative ? NEG_MAX : (base == BASE_HEX ? HEX_MAX : DEC_MAX);
    if (mag > limit)
        return NUM_RANGE;
    *value = negative ? -(int64_t)mag : (int64_t)mag;
    return NUM_OK;
}

// Shows a prompt (it must be visible before the tool waits) and reads one
// number after it; the end of input is remembered for the command loop.
static num_read_t show_and_read(const char *prompt, num_base_t base, int64_t *value)
{
    fputs(prompt, stdout);
    if (!con_flush())
        return NUM_EOF;
    num_read_t got = con_read_number(base, value);
    if (got == NUM_EOF)
        s_ended = true;
    return got;
}

// Prompts and reads one number into *var as a 32-bit pattern; a line without
// a number leaves *var unchanged. Returns false when input has ended.
bool prompt_number(const char *prompt, num_base_t base, uint32_t *var)
{
    for (;;) {
        int64_t value = 0;
        num_read_t got = show_and_read(prompt, base, &value);
        if (got == NUM_EOF)
            return false;
        clear_flush(stdin);
        if (got == NUM_RANGE) {
            printf("ERROR, Input Value out of 32-bit range\n");
            continue;
        }
        if (got == NUM_OK)
            *var = (uint32_t)value;
        return true;
    }
}

// The validated number prompt of the value editors: negative answers are
// refused, then anything outside [min, max] with the caller's refusal text,
// which may take the value and refusal_arg.
bool ask_number(const char *prompt, num_base_t base, int32_t min, int32_t max, const char *refusal,
                int32_t refusal_arg, int32_t *value)
{
    uint32_t user_input = INVALID_ID;
    for (;;) {
        if (!prompt_number(prompt, base, &user_input))
            return false;
        CHECK(user_input, 0, continue);
        int32_t v = (int32_t)user_input;
        if (v < min || v > max) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"  // the editors' own refusal texts
            printf(refusal, v, refusal_arg);
#pragma GCC diagnostic pop
            continue;
        }
        *value = v;
        return true;
    }
}

yes_no_t ask_yes_no(const char *question)
{
    for (;;) {
        fputs(question, stdout);
        if (!con_flush())
            return ANSWER_EOF;
        int c = con_getc();
        if (c == EOF) {
            s_ended = true;
            return ANSWER_EOF;
        }
        // An empty answer: the discard below swallows the next line too.
        clear_flush(stdin);
        if (c == 'y' || c == 'Y')
            return ANSWER_YES;
        if (c == 'n' || c == 'N')
            return ANSWER_NO;
        printf("Illegal input, Please input 'Y' or 'N'\n");
    }
}

menu_read_t read_menu_number(int *num)
{
    int64_t value = 0;
    num_read_t got = show_and_read("\nInput your number:", BASE_DEC, &value);
    if (got == NUM_EOF)
        return s_output_failed ? MENU_OUTPUT_FAILED : MENU_EOF;
    if (got == NUM_NONE) {
        printf("Illegal input!!!\n");
        clear_flush(stdin);
        return MENU_ILLEGAL;
    }
    // Only the character after the number is consumed; the rest of the
    // line is left for the next read.
    con_getc();
    if (got == NUM_RANGE)
        return MENU_OUT_OF_RANGE;
    *num = (int)value;
    return MENU_OK;
}

// Control characters of what the user typed are shown escaped, so that a
// refusal cannot move the cursor or clear the terminal. len < 0: up to NUL.
void fput_escaped(const char *s, int len, FILE *to)
{
    for (const unsigned char *p = (const unsigned char *)s;
         len < 0 ? *p != '\0' : p < (const unsigned char *)s + len; p++) {
        if (*p == '\n')
            fputs("\\n", to);
        else if (*p < 0x20 || *p == 0x7F)
            fprintf(to, "\\x%02x", *p);
        else
            putc(*p, to);
    }
}
