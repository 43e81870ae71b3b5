// Standard input and output as byte pipes, for the tools that stream samples.
#pragma once

// Makes standard input and output carry bytes unchanged, and a closed output pipe show
// up as a failed write instead of ending the process.
void byte_streams_open();

// Right after a write to standard output failed with errno value error: whether it
// failed because the reader closed the pipe.
bool write_found_pipe_closed(int error);
