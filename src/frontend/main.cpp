#include "norvask-oem-cfg.h"

int main(int argc, char **argv)
{
    return oem_tool_main(argc, argv);
}
