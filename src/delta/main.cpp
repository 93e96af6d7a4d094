#include "image/command_line.h"
#include "messages.h"
#include "run.h"

int main(int argc, char** argv)
{
    if (!img::start_tool())
        return delta::exit_failure;
    delta::run_pixdelta(argc, argv);
}
