/* kvrusage: runs a command and reports the kernel's accounting of it, for the benchmark.
 *
 * Usage: kvrusage --pid-file=FILE --output=FILE [--lines=FILE] -- COMMAND [ARGS...]
 * The command's process id is written to the pid file as soon as it exists, so that a script
 * can signal the command itself (SIGINT and SIGQUIT are reset to their default actions for it,
 * which a shell's background job would otherwise ignore). When the command ends, the output
 * file receives one line: its user and system CPU seconds (all its threads, and the children it
 * waited for), its peak resident set in KiB, its wall time, the wall-clock time at which it
 * ended and its exit status. The exit status of kvrusage is the command's.
 * With --lines, the command's standard output and error pass through a pipe and are copied to
 * kvrusage's standard output; each line (ended by a newline or a carriage return) is also
 * appended to the lines file after the wall-clock time at which it arrived ("SECONDS TEXT"), so
 * that a script can tell when the command said what. */

#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
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
    fprintf(stderr,
            "usage: kvrusage --pid-file=FILE --output=FILE [--lines=FILE] -- COMMAND [ARGS...]\n");
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

/* The lines of the command's console with their times of arrival. */
struct LineLog {
    FILE* file;
    char line[4096];
    size_t length;
};

static void WriteAll(int descriptor, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = write(descriptor, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return; /* nobody reads our output any more: the lines file still gets it */
        }
        data += written;
        size -= (size_t)written;
    }
}

static void EndLine(struct LineLog* log, double when) {
    if (log->length > 0) {
        fprintf(log->file, "%.6f %.*s\n", when, (int)log->length, log->line);
        fflush(log->file);
    }
    log->length = 0;
}

static void LogBytes(struct LineLog* log, const char* data, size_t size, double when) {
    for (size_t index = 0; index < size; ++index) {
        const char byte = data[index];
        if (byte == '\n' || byte == '\r') {
            EndLine(log, when);
        } else if (log->length < sizeof(log->line)) {
            log->line[log->length++] = byte;
        }
    }
}

/* Copies the pipe until the command has ended and nothing more is there to read (a process the
 * command left behind may keep the pipe open: what it writes after that is not waited for). */
static int CopyOutputUntilEnd(int pipeEnd, struct LineLog* log, pid_t child, int* status,
                              struct rusage* usage) {
    enum { kReadsAfterEnd = 1000 };
    char data[65536];
    int open = 1;
    int reaped = 0;
    int readsAfterEnd = 0;
    for (;;) {
        if (!reaped) {
            const pid_t ended = wait4(child, status, WNOHANG, usage);
            if (ended == child) {
                reaped = 1;
            } else if (ended < 0 && errno != EINTR) {
                perror("kvrusage: wait4");
                return -1;
            }
        }
        if (!open || (reaped && ++readsAfterEnd > kReadsAfterEnd)) {
            if (reaped) {
                break;
            }
            const struct timespec pause = {0, 100 * 1000 * 1000};
            nanosleep(&pause, NULL);
            continue;
        }
        struct pollfd event = {pipeEnd, POLLIN, 0};
        const int ready = poll(&event, 1, reaped ? 0 : 100);
        if (ready > 0) {
            const ssize_t got = read(pipeEnd, data, sizeof(data));
            if (got > 0) {
                const double when = Now(CLOCK_REALTIME);
                WriteAll(STDOUT_FILENO, data, (size_t)got);
                LogBytes(log, data, (size_t)got, when);
            } else if (got == 0 || errno != EINTR) {
                open = 0;
            }
        } else if (ready == 0 && reaped) {
            break;
        }
    }
    EndLine(log, Now(CLOCK_REALTIME));
    return 0;
}

int main(int argc, char** argv) {
    const char* pidFile = NULL;
    const char* output = NULL;
    const char* linesFile = NULL;
    int command = 0;
    for (int index = 1; index < argc; ++index) {
        if (strncmp(argv[index], "--pid-file=", 11) == 0) {
            pidFile = argv[index] + 11;
        } else if (strncmp(argv[index], "--output=", 9) == 0) {
            output = argv[index] + 9;
        } else if (strncmp(argv[index], "--lines=", 8) == 0) {
            linesFile = argv[index] + 8;
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

    struct LineLog log = {NULL, {0}, 0};
    int pipeEnds[2] = {-1, -1};
    if (linesFile != NULL) {
        log.file = fopen(linesFile, "we");
        if (log.file == NULL || pipe2(pipeEnds, O_CLOEXEC) != 0) {
            perror("kvrusage: lines");
            return 125;
        }
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
        if (pipeEnds[1] >= 0 &&
            (dup2(pipeEnds[1], STDOUT_FILENO) < 0 || dup2(pipeEnds[1], STDERR_FILENO) < 0)) {
            _exit(126);
        }
        execvp(argv[command], argv + command);
        perror("kvrusage: exec");
        _exit(127);
    }
    char text[512];
    snprintf(text, sizeof(text), "%d\n", (int)child);
    WriteFile(pidFile, text);

    int status = 0;
    struct rusage usage;
    if (log.file != NULL) {
        close(pipeEnds[1]);
        if (CopyOutputUntilEnd(pipeEnds[0], &log, child, &status, &usage) != 0) {
            return 125;
        }
        fclose(log.file);
    } else {
        while (wait4(child, &status, 0, &usage) < 0) {
            if (errno != EINTR) {
                perror("kvrusage: wait4");
                return 125;
            }
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
