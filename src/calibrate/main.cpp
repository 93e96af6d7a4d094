#include "image/command_line.h"
#include "image/output_file.h"
#include "messages.h"
#include "run.h"

int main(int argc, char** argv)
{
    if (!img::start_tool())
        return calibrate::exit_failure;
    img::remove_unfinished_outputs_at_exit_and_on_signals();
    calibrate::run_pixcalibrate(argc, argv);
}
