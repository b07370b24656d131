/*
 * queue_bench: nanoseconds per blob for the full trip through the two-phase circular queue
 * (enqueue, intermediate dequeue, final dequeue), as the driver and the sensor use it: the
 * producer enqueues a batch, the reader takes the batch with intermediate dequeues, the owner
 * releases it. Blobs of 64, 512 and 1514 bytes, once reserved only (null pDataIn, the producer
 * writes in place) and once copied from the caller's data. Tracing is off, as in production.
 *
 * Usage: queue_bench [blobs-per-measurement]
 * Each case is measured five times and the fastest run is reported.
 */
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "CircularQueue.h"

namespace
{

constexpr U32 kBufferLength = 1u << 20; /* a capture region's queue of 1 MiB */
constexpr U32 kBatch = 32;              /* frames per read request */
constexpr int kRepeats = 5;

struct Case {
    U32 blobLength;
    bool copy;
};

/* Runs `blobs` trips in batches; returns ns per blob, or a negative value on a queue error. */
double measure(void *pBuffer, const Case &c, const std::vector<BYTE> &source, uint64_t blobs,
               uint64_t *pSink)
{
    if (InitializeCircularQueue(pBuffer, kBufferLength) != PACKET_SUCCESS)
        return -1;
    uint64_t sink = 0;
    const auto start = std::chrono::steady_clock::now();
    for (uint64_t done = 0; done < blobs; done += kBatch) {
        for (U32 i = 0; i < kBatch; i++) {
            void *pQueued = nullptr;
            if (CircularQueueEnqueue(pBuffer, c.copy ? source.data() : nullptr, c.blobLength,
                                     &pQueued) != PACKET_SUCCESS)
                return -1;
            sink += reinterpret_cast<uintptr_t>(pQueued);
        }
        for (U32 i = 0; i < kBatch; i++) {
            void *pData = nullptr;
            U32 length = 0;
            if (CircularQueueDequeueIntermediate(pBuffer, &pData, &length) != PACKET_SUCCESS)
                return -1;
            sink += length;
        }
        for (U32 i = 0; i < kBatch; i++)
            if (CircularQueueDequeueFinal(pBuffer, nullptr, nullptr) != PACKET_SUCCESS)
                return -1;
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    *pSink += sink;
    return std::chrono::duration<double, std::nano>(elapsed).count() / static_cast<double>(blobs);
}

} // namespace

int main(int argc, char **argv)
{
    uint64_t blobs = 2000000;
    if (argc > 1) {
        char *end = nullptr;
        blobs = std::strtoull(argv[1], &end, 0);
        if (end == argv[1] || *end != '\0' || blobs == 0) {
            std::fprintf(stderr, "usage: queue_bench [blobs-per-measurement]\n");
            return 2;
        }
    }
    blobs = (blobs + kBatch - 1) / kBatch * kBatch;

    std::vector<uint64_t> storage(kBufferLength / 8);
    void *pBuffer = storage.data();
    std::vector<BYTE> source(2048, 0x5A);
    const Case cases[] = {{64, false}, {64, true},    {512, false},
                          {512, true}, {1514, false}, {1514, true}};

    std::printf("two-phase circular queue: enqueue + intermediate dequeue + final dequeue\n");
    std::printf("buffer %u bytes, batches of %u, %llu blobs per run, best of %d\n\n", kBufferLength,
                kBatch, static_cast<unsigned long long>(blobs), kRepeats);
    std::printf("%-8s %-22s %12s\n", "blob", "data", "ns/blob");
    uint64_t sink = 0;
    for (const Case &c : cases) {
        double best = 0;
        for (int r = 0; r < kRepeats; r++) {
            const double ns = measure(pBuffer, c, source, blobs, &sink);
            if (ns < 0) {
                std::fprintf(stderr, "queue error with %u-byte blobs\n", c.blobLength);
                return 1;
            }
            if (r == 0 || ns < best)
                best = ns;
        }
        std::printf("%-8u %-22s %12.1f\n", c.blobLength,
                    c.copy ? "copied from pDataIn" : "null pDataIn (in place)", best);
    }
    std::printf("\n(checksum %llu)\n", static_cast<unsigned long long>(sink));
    return 0;
}
