#include "core/boundedchunkstream.h"
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
