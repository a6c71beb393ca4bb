#include "pcmbuffercollector.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

TEST(PCMBufferCollectorTest, ConcurrentAppendersLoseNothingAndKeepEachChunkWhole)
{
    constexpr int writers = 4, chunksPerWriter = 2000, chunkSize = 4 + sizeof(int);
    PCMBufferCollector collector;
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([&collector, w] {
            // Each chunk: four bytes naming its writer, then its sequence number.
            for (int i = 0; i < chunksPerWriter; ++i)
                collector.append(QByteArray(4, char('A' + w)) + QByteArray(reinterpret_cast<const char *>(&i), 4));
        });
    }
    // A reader taking while the writers still write, as the main thread does at stop:
    // what it takes is gone from the store, so nothing comes out twice.
    QByteArray taken;
    for (int i = 0; i < 50; ++i)
        taken.append(collector.takeAll());
    for (std::thread &thread : threads)
        thread.join();
    taken.append(collector.takeAll());
    EXPECT_TRUE(collector.takeAll().isEmpty());

    ASSERT_EQ(taken.size(), writers * chunksPerWriter * chunkSize);
    std::vector<int> next(writers, 0);
    for (qsizetype offset = 0; offset < taken.size(); offset += chunkSize) {
        const int writer = taken[offset] - 'A';
        ASSERT_TRUE(writer >= 0 && writer < writers);
        ASSERT_EQ(taken.mid(offset, 4), QByteArray(4, taken[offset])) << "a chunk was torn";
        int sequence = 0;
        std::memcpy(&sequence, taken.constData() + offset + 4, sizeof sequence);
        ASSERT_EQ(sequence, next[std::size_t(writer)]++) << "chunks of one writer out of order";
    }
}

} // namespace
