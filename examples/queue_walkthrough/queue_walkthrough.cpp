/*
 * queue_walkthrough: the two-phase circular queue that the driver and the sensor share, step by
 * step, and then at scale against a reference model.
 *
 * Part one replays the worked example (a 448-byte buffer, blobs of 100 bytes) on the real queue
 * with its trace switched on: every call, its result code, the trace lines the queue prints and
 * the descriptor after each step. Offsets and results are read back from the queue and compared
 * with what the example says; a difference is printed as a MISMATCH.
 *
 * Part two runs bounded randomized mixes of enqueues, intermediate dequeues and releases in a few
 * buffer sizes against a model, checking every layout invariant after every operation, and
 * prints a summary per run.
 *
 * Usage: queue_walkthrough [--ops N] [--seed S]
 * Exit status: 0 when every step matched and every run agreed with the model, 1 otherwise,
 * 2 for a bad command line.
 */
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "CircularQueue.h"
#include "debug.h"
#include "queue_model.h"

namespace
{

constexpr U32 kBufferLength = 448;
constexpr U32 kBlobLength = 100;
constexpr int kQueueTraceLevel = 64;

int mismatches = 0;

const char *resultName(U32 rc)
{
    switch (rc) {
    case PACKET_SUCCESS:
        return "PACKET_SUCCESS";
    case PACKETERR_D_BAD_PARMS:
        return "PACKETERR_D_BAD_PARMS";
    case PACKETERR_NO_MEMORY:
        return "PACKETERR_NO_MEMORY";
    case PACKETERR_QUEUE_EMPTY:
        return "PACKETERR_QUEUE_EMPTY";
    default:
        return "an unexpected code";
    }
}

/* Prints "ok" or a MISMATCH line, and counts the mismatches. */
void expect(const char *what, U32 actual, U32 expected)
{
    if (actual == expected) {
        std::printf("    check: %s = %u, as the example says\n", what, actual);
    } else {
        std::printf("    MISMATCH: %s = %u, the example says %u\n", what, actual, expected);
        mismatches++;
    }
}

/* The blob handed out must hold the letter it was filled with. */
void expectLetter(char actual, char expected)
{
    if (actual == expected) {
        std::printf("    check: the bytes are %c's\n", expected);
    } else {
        std::printf("    MISMATCH: the bytes are '%c', expected %c's\n", actual, expected);
        mismatches++;
    }
}

void expectResult(U32 actual, U32 expected)
{
    if (actual != expected) {
        std::printf("    MISMATCH: result %s (%u), the example says %s\n", resultName(actual),
                    actual, resultName(expected));
        mismatches++;
    }
}

struct WorkedExample {
    alignas(8) BYTE buffer[kBufferLength];
    BYTE blobs[5][kBlobLength]; /* A..E, each filled with its letter */

    const QueueDescriptor &desc() const
    {
        return *reinterpret_cast<const QueueDescriptor *>(buffer);
    }
    U32 entryBlobOffset(U32 ulEntry) const
    {
        QueueEntry entry;
        std::memcpy(&entry, buffer + ulEntry, sizeof entry);
        return entry.ulOffset;
    }

    void showState()
    {
        std::printf("  queue state:\n");
        DumpCircularQueueState(buffer);
    }

    /* Enqueues blob `name` of `length` bytes; on success reports where it went. */
    U32 enqueue(char name, U32 length, U32 expectedRc, U32 expectedBlob, U32 expectedEntry)
    {
        void *pQueued = nullptr;
        QueueDescriptor before;
        std::memcpy(&before, buffer, sizeof before);
        std::printf("> CircularQueueEnqueue(%c, %u bytes)\n", name, length);
        const U32 rc = CircularQueueEnqueue(buffer, blobs[name - 'A'], length, &pQueued);
        std::printf("  -> %s\n", resultName(rc));
        expectResult(rc, expectedRc);
        if (rc != PACKET_SUCCESS) {
            const bool unchanged = std::memcmp(&before, buffer, sizeof before) == 0;
            std::printf("    %s: the descriptor is %s\n", unchanged ? "check" : "MISMATCH",
                        unchanged ? "unchanged" : "CHANGED by a failed enqueue");
            mismatches += unchanged ? 0 : 1;
        }
        if (rc == PACKET_SUCCESS) {
            const U32 blob = static_cast<U32>(static_cast<BYTE *>(pQueued) - buffer);
            std::printf("  %c: blob at offset %u, entry at offset %u\n", name, blob,
                        desc().ulQueueTail);
            expect("blob offset", blob, expectedBlob);
            expect("entry offset", desc().ulQueueTail, expectedEntry);
        }
        return rc;
    }

    void dequeueIntermediate(char name)
    {
        void *pData = nullptr;
        U32 length = 0;
        std::printf("> CircularQueueDequeueIntermediate (the reader takes %c)\n", name);
        const U32 rc = CircularQueueDequeueIntermediate(buffer, &pData, &length);
        std::printf("  -> %s\n", resultName(rc));
        expectResult(rc, PACKET_SUCCESS);
        if (rc == PACKET_SUCCESS) {
            const char got = static_cast<char>(*static_cast<BYTE *>(pData));
            std::printf("  handed out %u bytes at offset %u holding '%c'; they stay in place\n",
                        length, static_cast<U32>(static_cast<BYTE *>(pData) - buffer), got);
            expectLetter(got, name);
        }
    }

    void release(char name)
    {
        void *pData = nullptr;
        U32 length = 0;
        std::printf("> CircularQueueDequeueFinal (the owner releases %c)\n", name);
        const U32 rc = CircularQueueDequeueFinal(buffer, &pData, &length);
        std::printf("  -> %s\n", resultName(rc));
        expectResult(rc, PACKET_SUCCESS);
        if (rc == PACKET_SUCCESS) {
            const char got = static_cast<char>(*static_cast<BYTE *>(pData));
            std::printf("  released %u bytes at offset %u holding '%c'; their space is free\n",
                        length, static_cast<U32>(static_cast<BYTE *>(pData) - buffer), got);
            expectLetter(got, name);
        }
    }
};

/* Dump callback: shows the first bytes of each dumped blob. */
void *showBlob(const void *pBlob)
{
    const char *p = static_cast<const char *>(pBlob);
    std::printf("      blob begins \"%.8s\"\n", p);
    return nullptr;
}

void walkWorkedExample()
{
    static WorkedExample ex;
    for (int i = 0; i < 5; i++)
        std::memset(ex.blobs[i], 'A' + i, kBlobLength);

    std::printf("Part one: the worked example, a %u-byte buffer and blobs of %u bytes\n"
                "=====================================================================\n"
                "The queue's own trace (level %d) and its dumps are switched on; their lines\n"
                "begin with \"NVX: \". Offsets count from the buffer's first byte: the\n"
                "descriptor takes 0..47, entries grow upward from 48, blobs downward from %u.\n\n",
                kBufferLength, kBlobLength, kQueueTraceLevel, kBufferLength);
    _dsetheader("NVX", 0);
    _dsetlevel(kQueueTraceLevel, 2);
    _debug(1);

    std::printf("> InitializeCircularQueue(%u bytes)\n", kBufferLength);
    U32 rc = InitializeCircularQueue(ex.buffer, kBufferLength);
    std::printf("  -> %s\n", resultName(rc));
    expectResult(rc, PACKET_SUCCESS);
    ex.showState();

    std::printf("\nStep 1: the producer enqueues A, B and C\n");
    ex.enqueue('A', kBlobLength, PACKET_SUCCESS, 348, 48);
    ex.enqueue('B', kBlobLength, PACKET_SUCCESS, 248, 56);
    ex.enqueue('C', kBlobLength, PACKET_SUCCESS, 148, 64);
    ex.showState();

    std::printf("\nStep 2: a fourth blob fails the quick test\n");
    const QueueDescriptor &d = ex.desc();
    const U32 ulFree = d.ulLength - d.ulTotalDataBytes - 8 * d.ulEntryCount - 48;
    std::printf("  free bytes by the descriptor: %u - %u - 8 x %u - 48 = %u, needed %u + 8 = %u\n",
                d.ulLength, d.ulTotalDataBytes, d.ulEntryCount, ulFree, kBlobLength,
                kBlobLength + 8);
    expect("free bytes", ulFree, 76);
    ex.enqueue('D', kBlobLength, PACKETERR_NO_MEMORY, 0, 0);

    std::printf("\nStep 3: A is read and released; D then wraps the data pool\n");
    ex.dequeueIntermediate('A');
    ex.showState();
    ex.release('A');
    std::printf("  D's candidate below C would be %u, under the end of the entry ring at %u,\n"
                "  so D goes back to the end of the buffer, directly above B's blob\n",
                ex.entryBlobOffset(d.ulQueueTail) - kBlobLength, d.ulHighestQueueEntry + 8);
    ex.enqueue('D', kBlobLength, PACKET_SUCCESS, 348, 72);
    ex.showState();

    std::printf("\nStep 4: a 50-byte blob finds no contiguous room, although a gap is reported\n");
    ex.enqueue('E', 50, PACKETERR_NO_MEMORY, 0, 0);
    U32 largest = 0;
    rc = CircularQueueLargestFreeBlock(ex.buffer, &largest);
    std::printf("> CircularQueueLargestFreeBlock -> %s, %u bytes (between D's entry and C's "
                "blob)\n",
                resultName(rc), largest);
    expectResult(rc, PACKET_SUCCESS);
    expect("largest free block", largest, 68);

    std::printf("\nStep 5: B and C are read and released; the 50-byte blob then fits\n");
    ex.dequeueIntermediate('B');
    ex.dequeueIntermediate('C');
    ex.release('B');
    ex.release('C');
    expect("ulLowestBlobEntry (D's entry)", d.ulLowestBlobEntry, 72);
    ex.enqueue('E', 50, PACKET_SUCCESS, 298, 80);
    ex.showState();

    std::printf("\nThe entries held, dumped with a callback that shows each blob:\n");
    rc = DumpCircularQueue(ex.buffer, showBlob);
    std::printf("  -> %s\n", resultName(rc));
    expectResult(rc, PACKET_SUCCESS);

    std::printf("\nDraining: D and E are read, then released\n");
    ex.dequeueIntermediate('D');
    ex.dequeueIntermediate('E');
    void *pData = nullptr;
    U32 length = 0;
    rc = CircularQueueDequeueIntermediate(ex.buffer, &pData, &length);
    std::printf("> CircularQueueDequeueIntermediate -> %s (end of the reading loop)\n",
                resultName(rc));
    expectResult(rc, PACKETERR_QUEUE_EMPTY);
    ex.release('D');
    ex.release('E');
    rc = CircularQueueDequeueFinal(ex.buffer, nullptr, nullptr);
    std::printf("> CircularQueueDequeueFinal -> %s (end of the release loop)\n", resultName(rc));
    expectResult(rc, PACKETERR_QUEUE_EMPTY);
    ex.showState();
    expect("ulQueueHead after draining", d.ulQueueHead, 0);
    expect("ulHighestQueueEntry after draining", d.ulHighestQueueEntry, 0);

    _debug(0);
    _dsetheader("", 0);
}

bool randomRuns(uint64_t operations, uint64_t seed)
{
    std::printf("\nPart two: randomized runs against a reference model\n"
                "====================================================\n"
                "Each run mixes enqueues (random lengths, many multiples of 8, some filled in\n"
                "place), intermediate dequeues and releases, and checks after every operation\n"
                "the model's contents and order, every layout invariant, that failures changed\n"
                "nothing, and guard bytes around the buffer. Tracing is off.\n");
    /* Buffer lengths (odd ones put blobs on odd offsets) and their usual largest blob. */
    static constexpr struct {
        U32 length;
        U32 maxBlob; /* 0: a third of the buffer */
    } kRuns[] = {{kBufferLength, 0}, {97, 0}, {1021, 24}, {4099, 0}, {65536, 1514}};
    bool allAgreed = true;
    for (size_t i = 0; i < sizeof kRuns / sizeof kRuns[0]; i++) {
        queuecheck::RandomRunConfig config;
        config.ulBufferLength = kRuns[i].length;
        config.ulMaxBlobLength = kRuns[i].maxBlob;
        config.seed = seed + i;
        config.operations = operations;
        const queuecheck::RandomRunResult r = queuecheck::RunAgainstModel(config);
        std::printf("\nbuffer %u bytes, seed %" PRIu64 ":\n", config.ulBufferLength, config.seed);
        std::printf("  operations               %" PRIu64 "\n", r.operations);
        std::printf("  enqueued                 %" PRIu64 " (%" PRIu64 " filled in place, %" PRIu64
                    " while only final entries were held)\n",
                    r.enqueued, r.enqueuedInPlace, r.enqueuedOnlyFinal);
        std::printf("  dequeued intermediate    %" PRIu64 "\n", r.dequeuedIntermediate);
        std::printf("  released                 %" PRIu64 "\n", r.released);
        std::printf("  bytes moved              %" PRIu64 " in, %" PRIu64 " released\n",
                    r.bytesEnqueued, r.bytesReleased);
        std::printf("  failures by kind         PACKETERR_NO_MEMORY %" PRIu64
                    ", PACKETERR_QUEUE_EMPTY %" PRIu64 " (intermediate) + %" PRIu64
                    " (final), PACKETERR_D_BAD_PARMS %" PRIu64 " (deliberate)\n",
                    r.noMemory, r.emptyIntermediate, r.emptyFinal, r.badParms);
        std::printf("  wraps                    entry ring %" PRIu64 ", data pool %" PRIu64
                    "; at most %" PRIu64 " entries held\n",
                    r.queuePoolWraps, r.dataPoolWraps, r.maxEntriesHeld);
        if (r.disagreement.empty()) {
            std::printf("  model agrees\n");
        } else {
            std::printf("  DISAGREEMENT at operation %" PRIu64 ": %s\n", r.disagreementAt,
                        r.disagreement.c_str());
            allAgreed = false;
        }
    }
    return allAgreed;
}

bool parseCount(const char *text, uint64_t *pValue)
{
    char *end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (end == text || *end != '\0')
        return false;
    *pValue = v;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    uint64_t operations = 200000;
    uint64_t seed = 20050307;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--ops") == 0 && i + 1 < argc &&
            parseCount(argv[i + 1], &operations)) {
            i++;
        } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc &&
                   parseCount(argv[i + 1], &seed)) {
            i++;
        } else {
            std::fprintf(stderr, "usage: queue_walkthrough [--ops N] [--seed S]\n");
            return 2;
        }
    }

    walkWorkedExample();
    const bool agreed = randomRuns(operations, seed);

    std::printf("\nSummary: worked example %s; randomized runs %s.\n",
                mismatches == 0 ? "matched at every step" : "had MISMATCHES",
                agreed ? "agree with the model" : "DISAGREE with the model");
    return mismatches == 0 && agreed ? 0 : 1;
}
