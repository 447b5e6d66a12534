#include "app/RecordingRun.h"

int main(int argc, char** argv) {
    return RunRecording(argc, argv);
}
