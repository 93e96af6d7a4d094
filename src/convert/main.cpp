#include "image/command_line.h"
#include "image/output_file.h"
#include "run.h"

// Where this program's format modules are, relative to the program, fixed
// when it is built: beside it in the build tree, in LIBDIR/pixdelta once
// installed (the installed program is a build of its own).
int main(int argc, char** argv)
{
    // 1: refused or failed, as any failure of pixconvert's.
    if (!img::start_tool())
        return 1;
    img::remove_unfinished_outputs_at_exit_and_on_signals();
    return convert::run_pixconvert(argc, argv, PIXCONVERT_MODULES);
}
