/* norvask_startup_floor: the least a program does to start and end a
 * session "0" of the tool: open the image, find the journal's place beside
 * it (the path resolved, its directory opened, checked for writing and
 * synced, the journal's name looked up), read one word (the sub-system id),
 * write the menu, read the answer, exit. Plain C, linked with libc only, as
 * the tool is. */
#define _DEFAULT_SOURCE

#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static const char MENU[] = "\n============================================================\n"
                           "Please read User_Manual carefully before configuring!!!\n"
                           "[Note] Modifying file : %s\n"
                           "To select config option:\n"
                           "01. Main switch of config val\n"
                           "02. YT8521s LED config\n"
                           "03. MV1512 LED config\n"
                           "04. INNER LED config\n"
                           "05. GPIO OEM config \n"
                           "06. MV1512 PHY MODE config\n"
                           "07. Show config val\n"
                           "08. Show Menu\n"
                           "09. Enable or Disable SMBUS ARP function\n"
                           "10. WOL Wake IO pull down time config\n"
                           "11. LLDP TX default switch settings\n"
                           "12. Network port disable\n"
                           "00. Exit\n"
                           "\nInput your number:";

int main(int argc, char **argv)
{
    if (argc < 3)
        return 255;
    int fd = open(argv[2], O_RDWR | O_CLOEXEC);
    char real[PATH_MAX], journal[PATH_MAX + 32];
    struct stat st;
    if (fd < 0 || realpath(argv[2], real) == NULL)
        return 255;
    snprintf(journal, sizeof journal, "%s.norvask-journal", real);
    *strrchr(real, '/') = '\0';
    int dir = open(real[0] ? real : "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || lstat(journal, &st) == 0 || access(real[0] ? real : "/", W_OK) != 0 ||
        fsync(dir) != 0)
        return 255;
    unsigned char sid[4];
    if (pread(fd, sid, sizeof sid, 0xFFFDC) != (ssize_t)sizeof sid)
        return 255;
    char menu[sizeof MENU + 4096];
    int n = snprintf(menu, sizeof menu, MENU, argv[2]);
    if (n < 0 || write(1, menu, (size_t)n) != n)
        return 255;
    char answer[64];
    return read(0, answer, sizeof answer) > 0 && answer[0] == '0' ? 0 : 255;
}
