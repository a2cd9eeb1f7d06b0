// The one way a message of the tool reaches standard error, and the pieces
// its lines share: a name the user gave, shown escaped, and the nearest
// known word to a misspelt one.
#include "norvask-oem-cfg.h"

#include <cstdarg>
#include <cstring>

FILE *say_begin(FILE *to)
{
    fputs(to == stdout ? "[Warn]" : TOOL_NAME ": ", to);
    return to;
}

void say(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vfprintf(say_begin(stderr), fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
}

// Four at a time, so that one message can show a file, a name and a value.
#define SHOWN_SLOTS 4
#define SHOWN_CAP   (4 * 4096 + 1)

const char *shown(const char *s, int len)
{
    static char slot[SHOWN_SLOTS][SHOWN_CAP];
    static int next = 0;
    char *buf = slot[next];
    next = (next + 1) % SHOWN_SLOTS;
    buf[0] = '\0';
    FILE *to = fmemopen(buf, SHOWN_CAP, "w");
    if (to != nullptr) {
        fput_escaped(s, len, to);
        fclose(to);
    }
    return buf;
}

#define NEAR_EDITS 2
#define NEAR_LEN   32  // longer words are never close to a name of ours

// Edits from a to b (insert, delete, replace, swap two neighbours).
static int edits(const char *a, int la, const char *b, int lb)
{
    int d[NEAR_LEN + 1][NEAR_LEN + 1];
    for (int i = 0; i <= la; i++)
        for (int j = 0; j <= lb; j++) {
            if (i == 0 || j == 0) {
                d[i][j] = i + j;
                continue;
            }
            int best = d[i - 1][j - 1] + (a[i - 1] != b[j - 1]);
            best = d[i - 1][j] + 1 < best ? d[i - 1][j] + 1 : best;
            best = d[i][j - 1] + 1 < best ? d[i][j - 1] + 1 : best;
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1] &&
                d[i - 2][j - 2] + 1 < best)
                best = d[i - 2][j - 2] + 1;
            d[i][j] = best;
        }
    return d[la][lb];
}

const char *nearest_word(const char *word, int len, const char *const *names, int n)
{
    const char *best = nullptr;
    int fewest = NEAR_EDITS + 1;
    for (int i = 0; len <= NEAR_LEN && i < n; i++) {
        int ln = (int)strlen(names[i]);
        int e = ln > NEAR_LEN ? fewest : edits(word, len, names[i], ln);
        if (e < fewest) {
            fewest = e;
            best = names[i];
        }
    }
    return best;
}
