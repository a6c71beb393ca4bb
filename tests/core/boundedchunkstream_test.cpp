#include "boundedchunkstream.h"
#include "testutil.h"

#include <QCoro/QCoroTask>

#include <gtest/gtest.h>

#include <thread>

namespace {

QCoro::Task<> drain(std::shared_ptr<BoundedChunkStream> stream, std::vector<int> *received, bool *ended)
{
    while (auto chunk = co_await stream->next())
        received->push_back(chunk->trimmed().toInt());
    *ended = true;
}

// Past its bound the stream drops the oldest unread audio and says where in the recording it was.
TEST(BoundedChunkStreamTest, PastItsBoundDropsTheOldestAndReportsWhere)
{
    const qsizetype tenth = AbstractAudioRecorder::bytesPerSecond / 10;
    auto stream = std::make_shared<BoundedChunkStream>(10 * tenth);
    const auto record = [&](int from, int to) { // tenths of a second
        for (int i = from; i < to; ++i)
            stream->yield(QByteArray::number(i).leftJustified(tenth));
    };
    std::vector<int> received;
    bool ended = false;
    drain(stream, &received, &ended);
    record(0, 3);
    ASSERT_TRUE(TestUtil::runUntil([&] { return received.size() == 3; }));
    record(3, 25); // while the main thread stands still
    stream->finish();
    stream->yield("999"); // after finish: ignored

    ASSERT_TRUE(TestUtil::runUntil([&] { return ended; }));
    EXPECT_EQ(received, (std::vector<int> { 0, 1, 2, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24 }));
    const std::optional<AudioLoss> loss = stream->takeLoss();
    ASSERT_TRUE(loss);
    EXPECT_EQ(loss->from, std::chrono::milliseconds(300));
    EXPECT_EQ(loss->length, std::chrono::milliseconds(1200));
    EXPECT_EQ(loss->chunks, 12u);
    EXPECT_FALSE(stream->takeLoss()) << "told once";
}

// The consumer waits on the main thread for the next chunk, and for the end once it has them all.
TEST(BoundedChunkStreamTest, ConsumerWaitingOnTheMainThreadGetsEveryChunkInOrderAndIsWokenByTheEnd)
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
    });
    const bool all = TestUtil::runUntil([&] { return received.size() == 5000u; }, std::chrono::seconds(20));
    producer.join();
    ASSERT_TRUE(all);
    for (int i = 0; i < 5000; ++i)
        ASSERT_EQ(received[static_cast<std::size_t>(i)], i);
    TestUtil::runFor(std::chrono::milliseconds(20));
    EXPECT_FALSE(ended);
    stream->finish();
    EXPECT_TRUE(TestUtil::runUntil([&] { return ended; }));
}

} // namespace
