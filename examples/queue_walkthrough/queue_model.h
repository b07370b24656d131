/*
 * Randomized run of the circular queue against a reference model, shared by the queue tests and
 * the walk-through.
 *
 * The model is a FIFO of blobs (sequence number and length; the bytes are a pattern derived from
 * both) split into the final part (dequeued intermediate, not yet released) and the intermediate
 * part. Every operation is made on the real queue in a guarded buffer, then checked: the result
 * against what the model allows, the blob handed out against the model's bytes, every layout
 * invariant (queue_invariants.h), the entries' lengths and phases against the model, the queries,
 * and that a failed operation left the descriptor (and, on sampled operations, the whole buffer)
 * byte-for-byte unchanged. Guard bytes around the buffer are checked periodically and at the end.
 * The run stops at the first disagreement.
 */
#ifndef NVX_QUEUE_MODEL_H
#define NVX_QUEUE_MODEL_H

#include <cstdint>
#include <string>

#include "nvxtypes.h"

namespace queuecheck
{

struct RandomRunConfig {
    U32 ulBufferLength = 4096; /* queue buffer under test; any length >= 49 */
    uint64_t seed = 1;
    uint64_t operations = 200000; /* bound on the operations made */
    U32 ulMaxBlobLength = 0;      /* usual largest blob; 0 picks a third of the buffer */
};

struct RandomRunResult {
    uint64_t operations = 0;
    uint64_t enqueued = 0;             /* successful enqueues */
    uint64_t enqueuedInPlace = 0;      /* of which with a null pDataIn, filled in place */
    uint64_t enqueuedOnlyFinal = 0;    /* of which into a queue holding only final entries */
    uint64_t dequeuedIntermediate = 0; /* successful intermediate dequeues */
    uint64_t released = 0;             /* successful final dequeues */
    uint64_t bytesEnqueued = 0;
    uint64_t bytesReleased = 0;
    uint64_t noMemory = 0;          /* enqueues refused with PACKETERR_NO_MEMORY */
    uint64_t emptyIntermediate = 0; /* intermediate dequeues answered PACKETERR_QUEUE_EMPTY */
    uint64_t emptyFinal = 0;        /* final dequeues answered PACKETERR_QUEUE_EMPTY */
    uint64_t badParms = 0;          /* deliberately bad calls answered PACKETERR_D_BAD_PARMS */
    uint64_t queuePoolWraps = 0;    /* times the entry ring went from unwrapped to wrapped */
    uint64_t dataPoolWraps = 0;     /* times the data pool went from unwrapped to wrapped */
    uint64_t maxEntriesHeld = 0;
    std::string disagreement;    /* empty when the queue agreed with the model throughout */
    uint64_t disagreementAt = 0; /* operation number (from 1) of the disagreement */
};

RandomRunResult RunAgainstModel(const RandomRunConfig &config);

} // namespace queuecheck

#endif /* NVX_QUEUE_MODEL_H */
