#include "run.h"

int main(int argc, char** argv)
{
    run_pixcombine(argc, argv);
}
