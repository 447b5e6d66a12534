/* kvpcapcheck: reads a classic pcap file and checks the numbered frames of kvsender in it.
 *
 * Usage: kvpcapcheck FILE --expect=N [--area-size=BYTES]
 * Counts the records, the numbered frames, the distinct sequence numbers below N, those missing
 * below N, duplicates, numbers at or above N, frames out of order, records stored longer than
 * the snapshot length, and the length of the complete run of numbers from 0. With --area-size,
 * also the number of memory areas of that size the records fill when written one after the
 * other without splitting a record (as the recorder's Buffers are filled).
 * Prints one line of key=value figures; exit status 0, or 2 when the file is not a whole pcap
 * file. */

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum {
    kGlobalHeader = 24,
    kRecordHeader = 16,
    kMaximumStored = 262144,
    kSequenceOffset = 42,
    kNumberedLength = kSequenceOffset + 12,
};

static const unsigned char kMagic[4] = {'K', 'V', 'S', 'Q'};

struct Figures {
    uint64_t records;
    uint64_t bytes;
    uint64_t numbered;
    uint64_t distinct;
    uint64_t duplicates;
    uint64_t beyond;
    uint64_t others;
    uint64_t reordered;
    uint64_t oversize;
    uint64_t areas;
    uint32_t storedMaximum;
};

static uint32_t Swap32(uint32_t value) {
    return (value >> 24) | ((value >> 8) & 0xff00u) | ((value << 8) & 0xff0000u) | (value << 24);
}

static void Fail(const char* file, const char* reason) {
    fprintf(stderr, "kvpcapcheck: %s: %s\n", file, reason);
    exit(2);
}

static void Usage(void) {
    fprintf(stderr, "usage: kvpcapcheck FILE --expect=N [--area-size=BYTES]\n");
    exit(2);
}

static uint64_t ParseCount(const char* text) {
    char* end = NULL;
    const unsigned long long value = strtoull(text, &end, 10);
    if (end == text || *end != '\0') {
        Usage();
    }
    return value;
}

/* The sequence number of a kvsender frame: IPv4, UDP, the magic after the UDP header. */
static int SequenceOf(const unsigned char* data, uint32_t stored, uint64_t* sequence) {
    if (stored < kNumberedLength || data[12] != 0x08 || data[13] != 0x00 || data[23] != 17 ||
        memcmp(data + kSequenceOffset, kMagic, sizeof(kMagic)) != 0) {
        return 0;
    }
    uint64_t value = 0;
    for (int index = 7; index >= 0; --index) {
        value = value << 8 | data[kSequenceOffset + 4 + index];
    }
    *sequence = value;
    return 1;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        Usage();
    }
    const char* path = argv[1];
    uint64_t expect = 0;
    uint64_t areaSize = 0;
    for (int index = 2; index < argc; ++index) {
        if (strncmp(argv[index], "--expect=", 9) == 0) {
            expect = ParseCount(argv[index] + 9);
        } else if (strncmp(argv[index], "--area-size=", 12) == 0) {
            areaSize = ParseCount(argv[index] + 12);
        } else {
            Usage();
        }
    }
    FILE* file = fopen(path, "rb");
    if (file == NULL) {
        Fail(path, "cannot open");
    }
    static char streamBuffer[1 << 20];
    setvbuf(file, streamBuffer, _IOFBF, sizeof(streamBuffer));

    unsigned char global[kGlobalHeader];
    if (fread(global, 1, sizeof(global), file) != sizeof(global)) {
        Fail(path, "no global header");
    }
    uint32_t magic;
    memcpy(&magic, global, 4);
    const int swapped = magic == 0xd4c3b2a1u || magic == 0x4d3cb2a1u;
    if (!swapped && magic != 0xa1b2c3d4u && magic != 0xa1b23c4du) {
        Fail(path, "not a classic pcap file");
    }
    uint32_t snapLength;
    uint32_t linkType;
    memcpy(&snapLength, global + 16, 4);
    memcpy(&linkType, global + 20, 4);
    if (swapped) {
        snapLength = Swap32(snapLength);
        linkType = Swap32(linkType);
    }

    unsigned char* seen = calloc(expect / 8 + 1, 1);
    static unsigned char data[kMaximumStored];
    if (seen == NULL) {
        Fail(path, "out of memory");
    }
    struct Figures figures;
    memset(&figures, 0, sizeof(figures));
    uint64_t areaUsed = 0;
    uint64_t highest = 0;
    int anyNumbered = 0;
    figures.bytes = kGlobalHeader;
    for (;;) {
        uint32_t header[4];
        const size_t got = fread(header, 1, sizeof(header), file);
        if (got == 0) {
            break;
        }
        if (got != sizeof(header)) {
            Fail(path, "truncated record header");
        }
        const uint32_t stored = swapped ? Swap32(header[2]) : header[2];
        if (stored > kMaximumStored) {
            Fail(path, "record longer than any pcap record");
        }
        if (fread(data, 1, stored, file) != stored) {
            Fail(path, "truncated record");
        }
        ++figures.records;
        figures.bytes += kRecordHeader + stored;
        figures.oversize += stored > snapLength;
        if (stored > figures.storedMaximum) {
            figures.storedMaximum = stored;
        }
        if (areaSize != 0) {
            if (figures.areas == 0 || areaUsed + kRecordHeader + stored > areaSize) {
                ++figures.areas;
                areaUsed = 0;
            }
            areaUsed += kRecordHeader + stored;
        }
        uint64_t sequence;
        if (!SequenceOf(data, stored, &sequence)) {
            ++figures.others;
            continue;
        }
        ++figures.numbered;
        if (anyNumbered && sequence < highest) {
            ++figures.reordered;
        }
        if (!anyNumbered || sequence > highest) {
            highest = sequence;
        }
        anyNumbered = 1;
        if (sequence >= expect) {
            ++figures.beyond;
            continue;
        }
        unsigned char* byte = &seen[sequence / 8];
        const unsigned char bit = (unsigned char)(1u << (sequence % 8));
        if (*byte & bit) {
            ++figures.duplicates;
        } else {
            *byte |= bit;
            ++figures.distinct;
        }
    }
    fclose(file);

    uint64_t contiguous = 0;
    while (contiguous < expect && (seen[contiguous / 8] & (1u << (contiguous % 8)))) {
        ++contiguous;
    }
    printf(
        "records=%llu bytes=%llu snaplen=%u linktype=%u stored_max=%u oversize=%llu "
        "numbered=%llu distinct=%llu missing=%llu duplicates=%llu beyond=%llu others=%llu "
        "reordered=%llu contiguous=%llu areas=%llu\n",
        (unsigned long long)figures.records, (unsigned long long)figures.bytes, snapLength,
        linkType, figures.storedMaximum, (unsigned long long)figures.oversize,
        (unsigned long long)figures.numbered, (unsigned long long)figures.distinct,
        (unsigned long long)(expect - figures.distinct), (unsigned long long)figures.duplicates,
        (unsigned long long)figures.beyond, (unsigned long long)figures.others,
        (unsigned long long)figures.reordered, (unsigned long long)contiguous,
        (unsigned long long)figures.areas);
    free(seen);
    return 0;
}
