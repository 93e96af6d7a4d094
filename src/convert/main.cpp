#include "run.h"

int main(int argc, char** argv)
{
    return convert::run_pixconvert(argc, argv);
}
