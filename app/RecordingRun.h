#pragma once

#include <csignal>

// Cleared by the stop handler to end the acquisition; 1 while the operator has not asked to
// stop.
extern volatile std::sig_atomic_t sContinue;

// The handler of SIGINT, SIGTERM and SIGHUP during the acquisition: only clears sContinue.
void Stop(int signal);

// One recording from the command line to "Done!". Returns the process exit code, always 0.
int RunRecording(int argc, char** argv);
