// An output that appears under its name only once it is complete, and then
// at once (rename). Until then it has no name at all where the system
// allows (Linux's O_TMPFILE, linked into place at the end), so that nothing
// is left behind whatever ends the run, SIGKILL and crashes included.
// Elsewhere it is a hidden file beside the output, removed on failure and
// on any terminating signal that can be caught.
//
// Every path is taken byte for byte: the folder is opened as named and the
// file is created in it through that descriptor.
#pragma once

#include <climits>
#include <sys/stat.h>

namespace img {

struct Output_File {
    int folder = -1;              // the folder the output's name is in
    int fd = -1;                  // the file being written, O_RDWR
    bool named = false;           // a hidden name exists in the folder
    char base[NAME_MAX + 1] = ""; // the output's last component
    char hidden[NAME_MAX + 1] = "";
    // While it has a hidden name, the output is on a list of the unfinished
    // ones, which the clean-up below walks: it must then stay where it is.
    Output_File* next_unfinished = nullptr;
};

// Process-wide policy, for a tool's main to choose: from now on, any
// terminating signal that can be caught (SIGINT, SIGTERM, SIGHUP, a crash),
// and the process's exit, first remove the hidden names of the outputs not
// yet finished, however many there are. Signals ignored on entry stay
// ignored, and handlers already installed (the sanitizers') stay.
void remove_unfinished_outputs_at_exit_and_on_signals();

// What stands at an output's name before the result replaces it: nothing,
// a regular file or a symbolic link (the rename replaces the link itself,
// not what it points to), or something no result may replace (a folder, a
// device, a FIFO). For `file`, `target` describes the file the name leads
// to, for telling whether it is an input.
enum class Output_Target { absent, file, other };
Output_Target output_target(const char* path, struct stat& target);

// 0 on success, or the error number. An empty last component (a path that
// ends in "/") is EISDIR.
int create_output(const char* path, Output_File& out);

// What becomes of the signals once an output is in place. Signals are
// blocked while the name changes; after the last output of a run they may
// stay blocked, since the run is done and a signal that comes now must not
// make it look failed to whoever waits for it. A tool with more outputs to
// make lets them in again.
enum class After_Commit { signals_restored, signals_kept_blocked };

// Puts the complete file in place under its name, replacing any file of
// that name, and closes it. 0 on success, or the error number; on failure
// the output is abandoned and the signals restored.
int commit_output(Output_File& out, After_Commit after);

// Closes the file and removes any name it has; the output's name keeps
// whatever it had before.
void abandon_output(Output_File& out);

} // namespace img
