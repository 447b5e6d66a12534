#pragma once

#include <csignal>

// Cleared by the SIGINT handler to end the acquisition; 1 while the operator has not asked to
// stop.
extern volatile std::sig_atomic_t sContinue;

// The SIGINT handler of the acquisition phase: only clears sContinue.
void Stop(int signal);

// One recording from the command line to "Done!". Returns the process exit code, always 0.
int RunRecording(int argc, char** argv);
