// Scripted use: show, set, save and apply, a second front end over the
// dialogue's own editor rules.
#include "norvask-oem-cfg.h"

#include <cstring>

bool verb_word(const char *arg)
{
    (void)arg;
    return false;
}

int verb_main(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    return 2;
}
