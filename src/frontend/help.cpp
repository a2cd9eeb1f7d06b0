// The text of --help. Its list of settings is made from the feature rows,
// so that a setting added to a row is listed (and completed) at once.
#include "norvask-oem-cfg.h"

#define HELP_COLUMN 28

// Between the usages, made from the command table, and the settings.
static const char VERBS_TEXT[] =
    "\nset and apply write only the words whose value changes: enabled-ports=N on an image whose\nheader already enables N ports keeps its header block (the dialogue's option 12 copies the\ntemplate over it all the same). set and apply write only into a file that starts with the\nimage magic; --force writes into any file. verify takes the files apply takes and writes\nnothing; VERB --help prints the usage and options of VERB.\n"
    "\n"
    "Settings (each is offered where the menu offers its editor):\n";

static const char TAIL_TEXT[] =
    "A value the setting's word would not keep as given is refused. HEX may start with 0x.\n"
    "A yes|no or on|off value is any of yes/no, y/n, on/off, true/false, 1/0, in any case.\n"
    "A value given without its -enable keeps the switch as it is.\n"
    "A settings FILE has one SETTING=VALUE a line; blanks around = and at the ends of a line\nare ignored and # starts a comment. At most 256 settings at once; a FILE of at most\n65536 bytes.\n"
    "\n"
    "Messages: each verb prints its results on standard output and every error, one line\neach, on standard error: 'norvask_oem_tool: PATH: reason', 'FILE:LINE: ...' for a line\nof a settings file.\n"
    "Exit status: 0 done; 1 nothing changed: a write to the image or to standard output failed\nand every change was undone, or verify found the image different, or get a setting without\na value; 2 refused settings or bad usage, nothing written; 3 the image cannot be opened,\nlocked or read, is too short or not an image, or its journal is refused; 4 a change or an\ninterrupted command's journal could not be undone. A verb whose standard output is a pipe\nwith no reader ends by SIGPIPE, without a message, as a filter does.\n"
    "\n"
    "Examples:\n"
    "  norvask_oem_tool set board.img gpio=1a2b gpio-enable=yes wake-io=250\n"
    "  norvask_oem_tool save golden.img > golden.cfg\n"
    "  for f in line/*.img; do norvask_oem_tool apply \"$f\" golden.cfg || exit 1; done\n"
    "  for f in line/*.img; do norvask_oem_tool verify \"$f\" golden.cfg || echo \"$f\"; done\n"
    "  norvask_oem_tool get board.img gpio gpio-enable\n"
    "  norvask_oem_tool show board.img --json | jq -e '.settings.\"gpio-enable\" == \"yes\"'\n"
    "  norvask_oem_tool set board.img enabled-ports=2 --dry-run\n";

// The values a number setting takes, from its row.
static void print_values(const feature_t *f, FILE *to)
{
    const char *number = f->base == BASE_HEX ? "%llx to %llx" : "%lld to %lld";
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"  // one of the two above
    if (f->kind == FEAT_ARP)
        return;
    if (f->kind == FEAT_PORTS)
        fprintf(to, "%lld to the port count; ", (long long)f->min);
    else if (!feature_kept_range(f))
        fprintf(to, "bits of %#x only; ", f->store_mask);
    else
        fprintf(to, number, (long long)f->min, (long long)feature_kept_max(f)), fputs("; ", to);
#pragma GCC diagnostic pop
}

// One setting's line: its names and values, then its help from the column.
static void print_setting(const setting_t *s, FILE *to)
{
    int at =
        fprintf(to, "  %s=%s", setting_name(s), s->sw != nullptr ? "yes|no" : s->feature->syntax);
    for (int part = 1; s->sw == nullptr && part < s->feature->nparts; part++)
        at += fprintf(to, " %s=%s", s->feature->names[part], s->feature->syntax);
    if (at >= HELP_COLUMN - 1)
        at = fprintf(to, "\n") - 1;
    fprintf(to, "%*s", HELP_COLUMN - at, "");
    if (s->sw == nullptr)
        print_values(s->feature, to);
    print_setting_help(s, to);
}

void print_help_text(FILE *to)
{
    fputs("Usage:\n", to);
    print_usages(to);
    fputs(VERBS_TEXT, to);
    setting_t all[MAX_SETTINGS];
    int n = settings_all(all);
    for (int i = 0; i < n; i++)
        if (all[i].sw != nullptr || all[i].part == 0)
            print_setting(&all[i], to);
    fputs(TAIL_TEXT, to);
}
