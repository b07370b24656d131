// Long randomized mixes of enqueues, intermediate dequeues and releases against a reference
// model (queue_model.h): contents and order, every layout invariant after every operation,
// failures that change nothing, and guard bytes around the buffer. Fixed seeds, bounded length.
#include <gtest/gtest.h>

#include "queue_model.h"

namespace
{

struct RunCase {
    const char *name;
    U32 bufferLength;
    uint64_t seed;
    uint64_t operations;
    U32 maxBlobLength; // 0: a third of the buffer
};

// Odd and tiny lengths put blobs on odd offsets and make every other enqueue fail; the larger
// ones keep dozens to hundreds of entries in flight so that both rings wrap many times.
const RunCase kRuns[] = {
    {"TooSmallForAnyBlob", 53, 1, 2000, 0},
    {"SmallestUseful", 57, 2, 20000, 0},
    {"Odd97", 97, 3, 200000, 0},
    {"WorkedExampleSize", 448, 4, 200000, 0},
    {"Odd1021SmallBlobs", 1021, 5, 200000, 24},
    {"Odd4099", 4099, 6, 200000, 0},
    {"Frames64K", 65536, 7, 100000, 1514},
};

class QueueRandom : public ::testing::TestWithParam<RunCase>
{
};

TEST_P(QueueRandom, AgreesWithTheModel)
{
    const RunCase &c = GetParam();
    queuecheck::RandomRunConfig config;
    config.ulBufferLength = c.bufferLength;
    config.seed = c.seed;
    config.operations = c.operations;
    config.ulMaxBlobLength = c.maxBlobLength;
    const queuecheck::RandomRunResult r = queuecheck::RunAgainstModel(config);

    ASSERT_EQ(r.disagreement, "") << "at operation " << r.disagreementAt;
    EXPECT_GE(r.operations, c.operations);
    EXPECT_GT(r.badParms, 0u);
    EXPECT_GT(r.noMemory, 0u);
    if (c.bufferLength <= 56) {
        EXPECT_EQ(r.enqueued, 0u);
        return;
    }
    EXPECT_GT(r.enqueued, 0u);
    EXPECT_EQ(r.bytesEnqueued, r.bytesReleased) << "the run drains the queue at the end";
    if (c.bufferLength < 97)
        return; // room for one small blob at a time
    // The mix must have reached the interesting states, or the run proves little.
    EXPECT_GT(r.enqueued, c.operations / 10);
    EXPECT_GT(r.enqueuedInPlace, 0u);
    EXPECT_GT(r.enqueuedOnlyFinal, 0u);
    EXPECT_GT(r.emptyIntermediate, 0u);
    EXPECT_GT(r.emptyFinal, 0u);
    EXPECT_GT(r.queuePoolWraps, 10u);
    EXPECT_GT(r.dataPoolWraps, 10u);
}

INSTANTIATE_TEST_SUITE_P(Runs, QueueRandom, ::testing::ValuesIn(kRuns),
                         [](const ::testing::TestParamInfo<RunCase> &param) {
                             return std::string(param.param.name);
                         });

} // namespace
