// The renewal server's port (2000 on 127.0.0.1) is one for every test
// program on this machine; these helpers keep it closed for a test.
#pragma once

#include <string>

// Binds the port from a Linux process without listening on it, so that every
// connection is refused and no other program's server can listen there
// meanwhile (Wine's own sockets share their port with servers that ask for
// SO_REUSEADDR). Waits while another program holds the port. Returns the
// holder's process id for ReleaseServerPort, 0 on failure. logFile: a Linux
// path for the holder's output.
int HoldServerPortClosed(const std::string &logFile);
void ReleaseServerPort(int holder);
