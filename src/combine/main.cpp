#include "run.h"

int main(int argc, char** argv)
{
    combine::run_pixcombine(argc, argv);
}
