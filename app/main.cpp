#include "writehelper.h"

#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    // The privileged mode takes over before any GUI object exists.
    if (argc >= 2 && std::strcmp(argv[1], "--write-helper") == 0)
        return runWriteHelper(argc, argv);
    std::fputs("tobra-installer: die grafische Oberfläche ist noch nicht eingebaut\n", stderr);
    return 1;
}
