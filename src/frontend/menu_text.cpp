// The texts of the two menus: a head, then the labelled rows of the menu.
#include "norvask-oem-cfg.h"

// The image path as the note line shows it: a control character is printed
// escaped, so that a file name cannot add lines to the transcript.
void print_path(const char *filename)
{
    fput_escaped(filename, -1, stdout);
}

static void option_display(const menu_table_t *menu, const char *filename)
{
    printf("\n============================================================\n"
           "Please read User_Manual carefully before configuring!!!\n"
           "[Note] Modifying file : ");
    print_path(filename);
    printf("\nTo select config option:\n");
    for (size_t i = 0; i < menu->len; i++)
        if (menu->rows[i].label != nullptr)
            printf("%02d. %s\n", menu->rows[i].num, menu->rows[i].label);
}

void vn_option_display(const char *filename)
{
    option_display(&vn_menu_table, filename);
}

void mr_option_display(const char *filename)
{
    option_display(&mr_menu_table, filename);
}
