// The texts of the two menus.
#include "norvask-oem-cfg.h"

// The image path as the note line shows it: a control character is printed
// escaped, so that a file name cannot add lines to the transcript.
void print_path(const char *filename)
{
    fput_escaped(filename, -1, stdout);
}

static void option_display_head(const char *filename)
{
    printf("\n");
    printf("============================================================\n");
    printf("Please read User_Manual carefully before configuring!!!\n");
    printf("[Note] Modifying file : ");
    print_path(filename);
    printf("\n");
    printf("To select config option:\n");
    printf("01. Main switch of config val\n");
}

void vn_option_display(const char *filename)
{
    option_display_head(filename);
    printf("02. YT8521s LED config\n");
    printf("03. MV1512 LED config\n");
    printf("04. INNER LED config\n");
    printf("05. GPIO OEM config \n");
    printf("06. MV1512 PHY MODE config\n");
    printf("07. Show config val\n");
    printf("08. Show Menu\n");
    printf("09. Enable or Disable SMBUS ARP function\n");
    printf("10. WOL Wake IO pull down time config\n");
    printf("11. LLDP TX default switch settings\n");
    printf("12. Network port disable\n");
    printf("00. Exit\n");
}

void mr_option_display(const char *filename)
{
    option_display_head(filename);
    printf("02. INNER LED config\n");
    printf("03. Show config val\n");
    printf("04. Show Menu\n");
    printf("05. Enable or Disable SMBUS ARP function\n");
    printf("06. LLDP TX default switch settings\n");
    printf("00. Exit\n");
}
