/* kvsender: sends numbered Ethernet/IPv4/UDP frames through an AF_PACKET socket with sendmmsg,
 * flat out or at a given rate, for the capture benchmark.
 *
 * Each frame carries, right after the UDP header, the magic "KVSQ" and a 64-bit little-endian
 * sequence number (bytes 42 to 53 of the frame). The destination MAC address is a locally
 * administered unicast address that no interface has: a receiver's stack drops the frames, so
 * only a capture in promiscuous mode sees them.
 *
 * Usage: kvsender --interface=IF --count=N --size=BYTES [--first=N] [--batch=N] [--rate=PPS]
 *                 [--source-ip=A.B.C.D] [--destination-ip=A.B.C.D]
 *                 [--signal-pid=PID --signal-after=N [--after-signal-seconds=S]]
 * With --signal-pid, SIGINT goes to PID once exactly --signal-after frames have been sent;
 * sending then goes on until --count frames are sent or --after-signal-seconds have passed.
 * With --rate, each batch leaves at its time on a schedule from the start (a late batch at once,
 * so the average rate holds), with a timer slack of 1 us so that the sleeps end on time.
 * Prints one line of key=value figures. */

#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum {
    kMinimumFrame = 60,
    kMaximumFrame = 1514,
    kMaximumBatch = 1024,
    kSequenceOffset = 42,
    kEthernetHeader = 14,
    kIpHeader = 20,
    kUdpHeader = 8,
};

static const unsigned char kDestinationMac[6] = {0x02, 0x6b, 0x76, 0x00, 0x00, 0x01};
static const char kMagic[4] = {'K', 'V', 'S', 'Q'};

struct Options {
    const char* interface;
    uint64_t count;
    uint64_t first;
    unsigned int size;
    unsigned int batch;
    double rate;
    struct in_addr source;
    struct in_addr destination;
    pid_t signalPid;
    uint64_t signalAfter;
    double afterSignalSeconds;
};

static void Usage(void) {
    fprintf(stderr,
            "usage: kvsender --interface=IF --count=N --size=60..1514 [--first=N] [--batch=N]\n"
            "                [--rate=PPS] [--source-ip=ADDR] [--destination-ip=ADDR]\n"
            "                [--signal-pid=PID --signal-after=N [--after-signal-seconds=S]]\n");
    exit(2);
}

static const char* ValueOf(const char* argument, const char* name) {
    const size_t length = strlen(name);
    if (strncmp(argument, name, length) == 0 && argument[length] == '=') {
        return argument + length + 1;
    }
    return NULL;
}

static uint64_t ParseCount(const char* text) {
    char* end = NULL;
    errno = 0;
    const unsigned long long value = strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0') {
        Usage();
    }
    return value;
}

static double ParseReal(const char* text) {
    char* end = NULL;
    const double value = strtod(text, &end);
    if (end == text || *end != '\0' || value < 0) {
        Usage();
    }
    return value;
}

static struct in_addr ParseAddress(const char* text) {
    struct in_addr address;
    if (inet_pton(AF_INET, text, &address) != 1) {
        Usage();
    }
    return address;
}

static struct Options ParseOptions(int argc, char** argv) {
    struct Options options;
    memset(&options, 0, sizeof(options));
    options.batch = 64;
    options.source = ParseAddress("10.255.255.2");
    options.destination = ParseAddress("10.255.255.1");
    options.afterSignalSeconds = 2.0;
    for (int index = 1; index < argc; ++index) {
        const char* argument = argv[index];
        const char* value;
        if ((value = ValueOf(argument, "--interface")) != NULL) {
            options.interface = value;
        } else if ((value = ValueOf(argument, "--count")) != NULL) {
            options.count = ParseCount(value);
        } else if ((value = ValueOf(argument, "--first")) != NULL) {
            options.first = ParseCount(value);
        } else if ((value = ValueOf(argument, "--size")) != NULL) {
            options.size = (unsigned int)ParseCount(value);
        } else if ((value = ValueOf(argument, "--batch")) != NULL) {
            options.batch = (unsigned int)ParseCount(value);
        } else if ((value = ValueOf(argument, "--rate")) != NULL) {
            options.rate = ParseReal(value);
        } else if ((value = ValueOf(argument, "--source-ip")) != NULL) {
            options.source = ParseAddress(value);
        } else if ((value = ValueOf(argument, "--destination-ip")) != NULL) {
            options.destination = ParseAddress(value);
        } else if ((value = ValueOf(argument, "--signal-pid")) != NULL) {
            options.signalPid = (pid_t)ParseCount(value);
        } else if ((value = ValueOf(argument, "--signal-after")) != NULL) {
            options.signalAfter = ParseCount(value);
        } else if ((value = ValueOf(argument, "--after-signal-seconds")) != NULL) {
            options.afterSignalSeconds = ParseReal(value);
        } else {
            Usage();
        }
    }
    if (options.interface == NULL || options.count == 0 || options.size < kMinimumFrame ||
        options.size > kMaximumFrame || options.batch == 0 || options.batch > kMaximumBatch ||
        (options.signalPid != 0 && options.signalAfter > options.count)) {
        Usage();
    }
    return options;
}

static double Now(clockid_t clock) {
    struct timespec now;
    clock_gettime(clock, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

static uint16_t IpChecksum(const unsigned char* header) {
    uint32_t sum = 0;
    for (int index = 0; index < kIpHeader; index += 2) {
        sum += (uint32_t)(header[index] << 8 | header[index + 1]);
    }
    while (sum >> 16) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return (uint16_t)~sum;
}

static void PutBig16(unsigned char* at, uint16_t value) {
    at[0] = (unsigned char)(value >> 8);
    at[1] = (unsigned char)value;
}

static void PutSequence(unsigned char* frame, uint64_t sequence) {
    for (int index = 0; index < 8; ++index) {
        frame[kSequenceOffset + 4 + index] = (unsigned char)(sequence >> (8 * index));
    }
}

/* Ethernet, IPv4 (no fragmentation, TTL 64) and UDP (port 9, no checksum) headers, then the
 * magic; the rest of the payload is a fixed pattern. */
static void BuildFrame(unsigned char* frame, const struct Options* options,
                       const unsigned char* sourceMac) {
    memset(frame, 0, kMaximumFrame);
    memcpy(frame, kDestinationMac, 6);
    memcpy(frame + 6, sourceMac, 6);
    PutBig16(frame + 12, ETHERTYPE_IP);
    unsigned char* ip = frame + kEthernetHeader;
    ip[0] = 0x45;
    PutBig16(ip + 2, (uint16_t)(options->size - kEthernetHeader));
    PutBig16(ip + 6, 0x4000);
    ip[8] = 64;
    ip[9] = IPPROTO_UDP;
    memcpy(ip + 12, &options->source, 4);
    memcpy(ip + 16, &options->destination, 4);
    PutBig16(ip + 10, IpChecksum(ip));
    unsigned char* udp = ip + kIpHeader;
    PutBig16(udp, 40000);
    PutBig16(udp + 2, 9);
    PutBig16(udp + 4, (uint16_t)(options->size - kEthernetHeader - kIpHeader));
    memcpy(frame + kSequenceOffset, kMagic, sizeof(kMagic));
    for (unsigned int at = kSequenceOffset + 12; at < options->size; ++at) {
        frame[at] = (unsigned char)at;
    }
}

static int OpenSocket(const char* interface, unsigned char* mac) {
    const int fd = socket(AF_PACKET, SOCK_RAW, 0); /* protocol 0: this socket receives nothing */
    if (fd < 0) {
        perror("kvsender: socket");
        exit(1);
    }
    struct ifreq request;
    memset(&request, 0, sizeof(request));
    snprintf(request.ifr_name, sizeof(request.ifr_name), "%s", interface);
    if (ioctl(fd, SIOCGIFHWADDR, &request) != 0) {
        perror("kvsender: SIOCGIFHWADDR");
        exit(1);
    }
    memcpy(mac, request.ifr_hwaddr.sa_data, 6);
    struct sockaddr_ll address;
    memset(&address, 0, sizeof(address));
    address.sll_family = AF_PACKET;
    address.sll_ifindex = (int)if_nametoindex(interface);
    if (address.sll_ifindex == 0 || bind(fd, (struct sockaddr*)&address, sizeof(address)) != 0) {
        perror("kvsender: bind");
        exit(1);
    }
    const int bypass = 1; /* the frames skip the queueing discipline, as a NIC driver's would */
    (void)setsockopt(fd, SOL_PACKET, PACKET_QDISC_BYPASS, &bypass, sizeof(bypass));
    return fd;
}

static void WaitUntil(double monotonicSeconds) {
    struct timespec until;
    until.tv_sec = (time_t)monotonicSeconds;
    until.tv_nsec = (long)((monotonicSeconds - (double)until.tv_sec) * 1e9);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL) == EINTR) {
    }
}

static unsigned char gFrames[kMaximumBatch][kMaximumFrame];
static struct iovec gVectors[kMaximumBatch];
static struct mmsghdr gMessages[kMaximumBatch];

int main(int argc, char** argv) {
    const struct Options options = ParseOptions(argc, argv);
    unsigned char mac[6];
    const int fd = OpenSocket(options.interface, mac);
    if (options.rate > 0) {
        (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }
    for (unsigned int index = 0; index < options.batch; ++index) {
        BuildFrame(gFrames[index], &options, mac);
        gVectors[index].iov_base = gFrames[index];
        gVectors[index].iov_len = options.size;
        memset(&gMessages[index], 0, sizeof(gMessages[index]));
        gMessages[index].msg_hdr.msg_iov = &gVectors[index];
        gMessages[index].msg_hdr.msg_iovlen = 1;
    }

    uint64_t sent = 0;
    uint64_t retries = 0;
    int signalled = 0;
    double signalRealtime = 0;
    double signalMonotonic = 0;
    const double start = Now(CLOCK_MONOTONIC);
    while (sent < options.count) {
        if (options.signalPid != 0 && !signalled && sent == options.signalAfter) {
            signalRealtime = Now(CLOCK_REALTIME);
            signalMonotonic = Now(CLOCK_MONOTONIC);
            if (kill(options.signalPid, SIGINT) != 0) {
                perror("kvsender: kill");
                return 1;
            }
            signalled = 1;
        }
        if (signalled && Now(CLOCK_MONOTONIC) - signalMonotonic > options.afterSignalSeconds) {
            break;
        }
        uint64_t chunk = options.count - sent;
        if (chunk > options.batch) {
            chunk = options.batch;
        }
        if (options.signalPid != 0 && !signalled && sent + chunk > options.signalAfter) {
            chunk = options.signalAfter - sent; /* the signal falls exactly between two frames */
        }
        if (options.rate > 0) {
            WaitUntil(start + (double)sent / options.rate);
        }
        for (uint64_t index = 0; index < chunk; ++index) {
            PutSequence(gFrames[index], options.first + sent + index);
        }
        const int done = sendmmsg(fd, gMessages, (unsigned int)chunk, 0);
        if (done < 0) {
            if (errno == ENOBUFS || errno == EAGAIN || errno == EINTR) {
                ++retries; /* the frames were not sent: send the same numbers again */
                continue;
            }
            perror("kvsender: sendmmsg");
            return 1;
        }
        sent += (uint64_t)done;
    }
    if (options.signalPid != 0 && !signalled && sent == options.signalAfter) {
        signalRealtime = Now(CLOCK_REALTIME);
        signalled = kill(options.signalPid, SIGINT) == 0;
    }
    const double seconds = Now(CLOCK_MONOTONIC) - start;
    close(fd);
    printf("sent=%llu seconds=%.6f pps=%.0f retries=%llu target_pps=%.0f", (unsigned long long)sent,
           seconds, seconds > 0 ? (double)sent / seconds : 0.0, (unsigned long long)retries,
           options.rate);
    if (options.signalPid != 0) {
        printf(" signalled=%d signal_after=%llu signal_time=%.6f", signalled,
               (unsigned long long)options.signalAfter, signalRealtime);
    }
    printf("\n");
    return 0;
}
