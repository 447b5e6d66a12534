#pragma once

#include <csignal>

// Cleared by the stop handler to end the acquisition; 1 while the operator has not asked to
// stop.
extern volatile std::sig_atomic_t sContinue;

// The handler of SIGINT, SIGTERM and SIGHUP during the acquisition: only clears sContinue.
void Stop(int signal);

// Counts the snapshots asked for with SIGUSR1; only the SIGUSR1 handler writes it.
extern volatile std::sig_atomic_t sSnapshotRequests;

// The handler of SIGUSR1: asks for one more snapshot.
void RequestSnapshot(int signal);

// The program's exit status.
enum ExitStatus : int {
    kExitStored = 0,   // stored completely; also nothing to record, the help and the licence
    kExitFailed = 1,   // the recording could not be made or stored
    kExitRefused = 2,  // the command line was refused
};

// One recording from the command line to "Done!". Returns the process exit status.
int RunRecording(int argc, char** argv);
