#include "image/command_line.h"
#include "image/output_file.h"
#include "messages.h"
#include "run.h"

#include <cstdlib>

int main(int argc, char** argv)
{
    if (!img::start_tool())
        return combine::exit_failure;
    img::remove_unfinished_outputs_at_exit_and_on_signals();
    combine::run_pixcombine(argc, argv);
}
