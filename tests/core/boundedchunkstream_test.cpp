#include "boundedchunkstream.h"
#include "testutil.h"

#include <QCoro/QCoroTask>

#include <gtest/gtest.h>

#include <thread>

namespace {

QCoro::Task<> drain(std::shared_ptr<BoundedChunkStream> stream, std::vector<int> *received, bool *ended)
{
    while (auto chunk = co_await stream->next())
        received->push_back(chunk->toInt());
    *ended = true;
}

TEST(BoundedChunkStreamTest, KeepsTheNewestUnreadChunksWhenTheConsumerLags)
{
    auto stream = std::make_shared<BoundedChunkStream>();
    std::thread([stream] {
        for (int i = 0; i < 500; ++i)
            stream->yield(QByteArray::number(i));
        stream->finish();
        stream->yield("999"); // after finish: ignored
    }).join();

    std::vector<int> received;
    bool ended = false;
    drain(stream, &received, &ended);
    ASSERT_TRUE(TestUtil::runUntil([&] { return ended; }));
    ASSERT_EQ(received.size(), BoundedChunkStream::defaultCapacity);
    for (std::size_t i = 0; i < received.size(); ++i)
        EXPECT_EQ(received[i], 380 + static_cast<int>(i));
    EXPECT_EQ(stream->droppedCount(), 380u);
}

TEST(BoundedChunkStreamTest, ConsumerWaitingOnTheMainThreadGetsEveryChunkInOrder)
{
    auto stream = std::make_shared<BoundedChunkStream>(100'000);
    std::vector<int> received;
    bool ended = false;
    drain(stream, &received, &ended); // suspends at once: nothing yielded yet

    std::thread producer([stream] {
        for (int i = 0; i < 5000; ++i) {
            stream->yield(QByteArray::number(i));
            if (i % 500 == 0)
                std::this_thread::yield();
        }
        stream->finish();
    });
    const bool finished = TestUtil::runUntil([&] { return ended; }, std::chrono::seconds(20));
    producer.join();
    ASSERT_TRUE(finished);
    ASSERT_EQ(received.size(), 5000u);
    for (int i = 0; i < 5000; ++i)
        ASSERT_EQ(received[static_cast<std::size_t>(i)], i);
}

TEST(BoundedChunkStreamTest, FinishWakesAWaitingConsumer)
{
    auto stream = std::make_shared<BoundedChunkStream>();
    std::vector<int> received;
    bool ended = false;
    drain(stream, &received, &ended);
    TestUtil::runFor(std::chrono::milliseconds(20));
    stream->finish();
    EXPECT_TRUE(TestUtil::runUntil([&] { return ended && received.empty(); }));
}

} // namespace
