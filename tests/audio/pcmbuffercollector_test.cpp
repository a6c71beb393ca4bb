#include "pcmbuffercollector.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(PCMBufferCollectorTest, TakeAllEmptiesTheStore)
{
    PCMBufferCollector collector;
    EXPECT_TRUE(collector.takeAll().isEmpty());
    collector.append("ab");
    collector.append("cd");
    EXPECT_EQ(collector.takeAll(), QByteArray("abcd"));
    EXPECT_TRUE(collector.takeAll().isEmpty());
    collector.append("e");
    EXPECT_EQ(collector.takeAll(), QByteArray("e"));
}

TEST(PCMBufferCollectorTest, ConcurrentAppendersLoseNothingAndKeepEachChunkWhole)
{
    constexpr int writers = 4;
    constexpr int chunksPerWriter = 2000;
    PCMBufferCollector collector;
    QByteArray taken;
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([&collector, w] {
            // Each chunk: four bytes naming its writer, then its sequence number.
            for (int i = 0; i < chunksPerWriter; ++i) {
                QByteArray chunk(4, static_cast<char>('A' + w));
                chunk.append(reinterpret_cast<const char *>(&i), sizeof i);
                collector.append(chunk);
            }
        });
    }
    // A reader taking while the writers still write, as the main thread does at stop.
    for (int i = 0; i < 50; ++i)
        taken.append(collector.takeAll());
    for (std::thread &thread : threads)
        thread.join();
    taken.append(collector.takeAll());

    constexpr int chunkSize = 4 + sizeof(int);
    ASSERT_EQ(taken.size(), writers * chunksPerWriter * chunkSize);
    std::vector<int> next(writers, 0);
    for (qsizetype offset = 0; offset < taken.size(); offset += chunkSize) {
        const int writer = taken[offset] - 'A';
        ASSERT_GE(writer, 0);
        ASSERT_LT(writer, writers);
        ASSERT_EQ(taken.mid(offset, 4), QByteArray(4, taken[offset])) << "a chunk was torn";
        int sequence = 0;
        std::memcpy(&sequence, taken.constData() + offset + 4, sizeof sequence);
        ASSERT_EQ(sequence, next[static_cast<std::size_t>(writer)]++) << "chunks of one writer out of order";
    }
}

} // namespace
