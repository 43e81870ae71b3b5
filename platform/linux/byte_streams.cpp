#include "platform/byte_streams.h"

#include <cerrno>
#include <csignal>

void byte_streams_open() { std::signal(SIGPIPE, SIG_IGN); }

bool write_found_pipe_closed(int error) { return error == EPIPE; }
