#include "viewer_main.h"

int main(int argc, char *argv[])
{
    return viewerMain(argc, argv);
}
