#include "run.h"

int main(int argc, char** argv)
{
    delta::run_pixdelta(argc, argv);
}
