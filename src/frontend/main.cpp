#include "norvask-oem-cfg.h"

int main(int argc, char **argv)
{
    if (!oem_tool_process_setup())
        return -1;
    return oem_tool_main(argc, argv);
}
