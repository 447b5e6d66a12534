/* kvrusage: runs a command and reports the kernel's accounting of it, for the benchmark.
 *
 * Usage: kvrusage --pid-file=FILE --output=FILE -- COMMAND [ARGS...]
 * The command's process id is written to the pid file as soon as it exists, so that a script
 * can signal the command itself (SIGINT and SIGQUIT are reset to their default actions for it,
 * which a shell's background job would otherwise ignore). When the command ends, the output
 * file receives one line: its user and system CPU seconds (all its threads, and the children it
 * waited for), its peak resident set in KiB, its wall time, the wall-clock time at which it
 * ended and its exit status. The exit status of kvrusage is the command's. */

#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static void Usage(void) {
    fprintf(stderr, "usage: kvrusage --pid-file=FILE --output=FILE -- COMMAND [ARGS...]\n");
    exit(2);
}

static double Seconds(const struct timeval* value) {
    return (double)value->tv_sec + (double)value->tv_usec / 1e6;
}

static double Now(clockid_t clock) {
    struct timespec now;
    clock_gettime(clock, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

/* Written under a temporary name and renamed: a reader never sees a partial file. */
static void WriteFile(const char* path, const char* text) {
    char temporary[4096];
    if (snprintf(temporary, sizeof(temporary), "%s.part", path) >= (int)sizeof(temporary)) {
        Usage();
    }
    FILE* file = fopen(temporary, "w");
    if (file == NULL || fputs(text, file) == EOF || fclose(file) != 0 ||
        rename(temporary, path) != 0) {
        perror("kvrusage: write");
        exit(125);
    }
}

int main(int argc, char** argv) {
    const char* pidFile = NULL;
    const char* output = NULL;
    int command = 0;
    for (int index = 1; index < argc; ++index) {
        if (strncmp(argv[index], "--pid-file=", 11) == 0) {
            pidFile = argv[index] + 11;
        } else if (strncmp(argv[index], "--output=", 9) == 0) {
            output = argv[index] + 9;
        } else if (strcmp(argv[index], "--") == 0) {
            command = index + 1;
            break;
        } else {
            Usage();
        }
    }
    if (pidFile == NULL || output == NULL || command == 0 || command >= argc) {
        Usage();
    }

    const double startMonotonic = Now(CLOCK_MONOTONIC);
    const pid_t child = fork();
    if (child < 0) {
        perror("kvrusage: fork");
        return 125;
    }
    if (child == 0) {
        signal(SIGINT, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        execvp(argv[command], argv + command);
        perror("kvrusage: exec");
        _exit(127);
    }
    char text[512];
    snprintf(text, sizeof(text), "%d\n", (int)child);
    WriteFile(pidFile, text);

    int status = 0;
    struct rusage usage;
    while (wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            perror("kvrusage: wait4");
            return 125;
        }
    }
    const double endRealtime = Now(CLOCK_REALTIME);
    const double wall = Now(CLOCK_MONOTONIC) - startMonotonic;
    const int exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    snprintf(text, sizeof(text),
             "pid=%d user_s=%.6f system_s=%.6f cpu_s=%.6f maxrss_kib=%ld wall_s=%.6f "
             "end_time=%.6f exit=%d\n",
             (int)child, Seconds(&usage.ru_utime), Seconds(&usage.ru_stime),
             Seconds(&usage.ru_utime) + Seconds(&usage.ru_stime), usage.ru_maxrss, wall,
             endRealtime, exitCode);
    WriteFile(output, text);
    return exitCode;
}
