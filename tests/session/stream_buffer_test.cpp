// A carried stream's two directions: bytes in order, each once, whatever order and how
// many times their messages come; never more than the window held or in flight; credit
// that lets a sender on; all of it across the wire's 2^32 wrap.
#include "session/stream_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "protocol/stream_wire.h"

namespace ozlan {
namespace {

struct Chunk {
    uint32_t offset;
    std::vector<uint8_t> bytes;
};

// A sender and a reader joined by a link that reorders and repeats what it carries;
// the reader takes at most `read_per_step` bytes a step. What the reader got, in order.
std::vector<uint8_t> Carry(const std::vector<uint8_t>& stream, uint64_t start, uint32_t window,
                           size_t read_per_step, unsigned seed, size_t* most_held) {
    std::mt19937 random(seed);
    StreamOutbound out;
    out.window = window;
    out.sent = out.credited = uint32_t(start);
    StreamInbound in;
    in.window = window;
    in.next = in.credit_sent = start;
    std::vector<Chunk> link;
    std::vector<uint8_t> got;
    size_t position = 0;
    *most_held = 0;
    for (int step = 0; step < 100000 && got.size() < stream.size(); ++step) {
        size_t n = NextStreamChunk(out, stream.size() - position);
        if (n > 0) {
            n = std::min<size_t>(n, 1 + random() % kStreamMaxData);
            link.push_back({out.sent,
                            {stream.begin() + std::ptrdiff_t(position),
                             stream.begin() + std::ptrdiff_t(position + n)}});
            StreamChunkSent(out, n);
            position += n;
        }
        // The link hands over one of what it carries, and now and then keeps a copy.
        if (!link.empty()) {
            size_t pick = random() % link.size();
            Chunk c = link[pick];
            if (random() % 4 != 0) link.erase(link.begin() + std::ptrdiff_t(pick));
            EXPECT_NE(StreamAccept::OverWindow,
                      AcceptStreamData(in, c.offset, c.bytes.data(), c.bytes.size()));
        }
        *most_held = std::max(*most_held, StreamBytesHeld(in));
        std::vector<uint8_t> buffer(read_per_step);
        got.insert(
            got.end(), buffer.begin(),
            buffer.begin() + std::ptrdiff_t(TakeStreamBytes(in, buffer.data(), buffer.size())));
        uint32_t credit;
        if (StreamCreditDue(in, &credit)) {
            EXPECT_TRUE(AcceptStreamCredit(out, credit));
        }
    }
    return got;
}

std::vector<uint8_t> Bytes(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 7 + i / 251);
    return v;
}

TEST(StreamBuffer, ReorderedAndRepeatedMessagesGiveTheBytesInOrderEachOnce) {
    std::vector<uint8_t> stream = Bytes(300000);
    for (unsigned seed : {1u, 2u, 3u}) {
        for (uint64_t start : {uint64_t(0), uint64_t(0xFFFF0000u)}) {  // and across the wrap
            size_t most_held = 0;
            EXPECT_EQ(stream, Carry(stream, start, 65536, 4096, seed, &most_held))
                << "seed " << seed << " start " << start;
            EXPECT_LE(most_held, 65536u);
        }
    }
}

TEST(StreamBuffer, ASlowReaderHoldsItsSenderBackToTheWindow) {
    std::vector<uint8_t> stream = Bytes(200000);
    size_t most_held = 0;
    EXPECT_EQ(stream, Carry(stream, 0, 8192, 16, 5, &most_held));
    EXPECT_LE(most_held, 8192u);
    EXPECT_GT(most_held, 4096u);  // the window was used, not starved
}

TEST(StreamBuffer, BeyondTheWindowDuplicatesAndCredits) {
    StreamInbound in;
    in.window = 1000;
    std::vector<uint8_t> bytes(1000, 'x');
    EXPECT_EQ(StreamAccept::Ok, AcceptStreamData(in, 0, bytes.data(), 600));
    EXPECT_EQ(StreamAccept::Duplicate, AcceptStreamData(in, 0, bytes.data(), 600));
    EXPECT_EQ(StreamAccept::Duplicate, AcceptStreamData(in, 100, bytes.data(), 500));
    // 600 unread: 400 more fit, 401 do not.
    EXPECT_EQ(StreamAccept::OverWindow, AcceptStreamData(in, 600, bytes.data(), 401));
    EXPECT_EQ(StreamAccept::Ok, AcceptStreamData(in, 800, bytes.data(), 200));  // a gap
    EXPECT_EQ(600u, in.ready.size());
    uint32_t credit = 0;
    EXPECT_FALSE(StreamCreditDue(in, &credit));  // nothing taken
    std::vector<uint8_t> out(1000);
    EXPECT_EQ(600u, TakeStreamBytes(in, out.data(), out.size()));
    ASSERT_TRUE(StreamCreditDue(in, &credit));  // a quarter of the window taken
    EXPECT_EQ(600u, credit);
    // The gap filled, overlapping what came: the rest in order.
    EXPECT_EQ(StreamAccept::Ok, AcceptStreamData(in, 550, bytes.data(), 300));
    EXPECT_EQ(400u, TakeStreamBytes(in, out.data(), out.size()));
    EXPECT_EQ(StreamAccept::Ok, AcceptStreamData(in, 1000, bytes.data(), 1000));
    EXPECT_EQ(StreamAccept::Duplicate, AcceptStreamData(in, 0, bytes.data(), 0));  // nothing

    StreamOutbound sender;
    sender.window = 1000;
    EXPECT_EQ(kStreamMaxData < 1000 ? kStreamMaxData : 1000u, NextStreamChunk(sender, 5000));
    StreamChunkSent(sender, 1000);
    EXPECT_EQ(0u, NextStreamChunk(sender, 5000));
    EXPECT_FALSE(AcceptStreamCredit(sender, 1001));  // beyond what was sent
    EXPECT_TRUE(AcceptStreamCredit(sender, 400));
    EXPECT_FALSE(AcceptStreamCredit(sender, 300));  // going back
    EXPECT_EQ(400u, NextStreamChunk(sender, 5000));
}

}  // namespace
}  // namespace ozlan
