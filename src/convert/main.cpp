#include "run.h"

// Where this program's format modules are, relative to the program, fixed
// when it is built: beside it in the build tree, in LIBDIR/pixdelta once
// installed (the installed program is a build of its own).
int main(int argc, char** argv)
{
    return convert::run_pixconvert(argc, argv, PIXCONVERT_MODULES);
}
