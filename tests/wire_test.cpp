#include <gtest/gtest.h>

#include "device/nibble_decoder.h"
#include "link/backend.h"
#include "wire/nibble.h"

namespace {

struct SplitCase {
    unsigned char byte, high, low;
};

TEST(SplitByte, HighNibbleThenLowNibbleWithNoSignLeaking) {
    const SplitCase cases[] = {
        {0x00, 0x0, 0x0}, {0xFF, 0xF, 0xF}, {0x10, 0x1, 0x0}, {0x90, 0x9, 0x0}, {0x11, 0x1, 0x1},
        {0x13, 0x1, 0x3}, {0x41, 0x4, 0x1}, {0xFE, 0xF, 0xE}, {0x80, 0x8, 0x0}, {0x0A, 0x0, 0xA},
    };
    for (const SplitCase& c : cases) {
        const NibblePair pair = split_byte(c.byte);
        EXPECT_EQ(pair.high, c.high) << int(c.byte);
        EXPECT_EQ(pair.low, c.low) << int(c.byte);
    }
}

TEST(SplitByte, NoPairHoldsTheTerminatorOrXonXoff) {
    for (int value = 0; value < 256; ++value) {
        const NibblePair pair = split_byte(static_cast<unsigned char>(value));
        EXPECT_LE(pair.high, 0x0F);
        EXPECT_LE(pair.low, 0x0F);
        EXPECT_EQ((pair.high << 4) | pair.low, value);
    }
}

struct DecodeCase {
    const char* name;
    std::vector<std::uint8_t> wire;
    std::vector<std::uint8_t> data;
    bool terminated;
    std::size_t faults;
};

TEST(NibbleDecoder, RebuildsTheFileAndFlagsEveryProtocolFault) {
    const DecodeCase cases[] = {
        {"clean", {0x04, 0x01, 0x0F, 0x0E, 0x10}, {0x41, 0xFE}, true, 0},
        {"only the terminator", {0x10}, {}, true, 0},
        {"no terminator yet", {0x04, 0x01}, {0x41}, false, 0},
        {"byte above 0x10", {0x04, 0x20, 0x01, 0x10}, {0x41}, true, 1},
        {"half pair before the terminator", {0x04, 0x01, 0x0F, 0x10}, {0x41}, true, 1},
        {"bytes after the terminator", {0x10, 0x01, 0x10}, {}, true, 2},
    };
    for (const DecodeCase& c : cases) {
        simdev::NibbleDecoder decoder;
        for (std::uint8_t byte : c.wire) decoder.feed(byte);
        EXPECT_EQ(decoder.data(), c.data) << c.name;
        EXPECT_EQ(decoder.terminated(), c.terminated) << c.name;
        EXPECT_EQ(decoder.faults().size(), c.faults) << c.name;
        EXPECT_EQ(decoder.wire_bytes(), c.wire.size()) << c.name;
    }
}

}  // namespace

#include "common/sha256.h"

namespace {

TEST(Sha256, MatchesPublishedDigests) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 56 bytes: the length no longer fits in the first padding chunk.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sha256_hex(std::vector<std::uint8_t>(c.first.begin(), c.first.end())), c.second) << c.first;
    }
}

// The uploaders add one byte at a time; the device has the whole file.
TEST(Sha256, ByteByByteGivesTheSameDigestAsAllAtOnce) {
    for (std::size_t size : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 1000u}) {
        std::vector<std::uint8_t> data(size);
        for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 3);
        Sha256 digest;
        sha256_start(digest);
        for (std::uint8_t byte : data) sha256_add(digest, &byte, 1);
        EXPECT_EQ(sha256_finish_hex(digest), sha256_hex(data)) << size << " bytes";
    }
}

}  // namespace

namespace {

struct WriteCase {
    const char* name;
    bool succeeded;
    unsigned long written;
    bool timed_out;
    bool sliced;
    OneByteWrite outcome;
};

// A Windows write of one byte, as each driver may end it; a byte is never
// written twice, and nothing else is taken for the end of a slice.
TEST(OneByteWriteOnWindows, IsWrittenASliceThatEndedOrAFailure) {
    const WriteCase cases[] = {
        {"written", true, 1, false, false, byte_written},
        {"written within a slice", true, 1, false, true, byte_written},
        {"written as the slice ran out", false, 1, true, true, byte_written},
        {"written, then the port failed", false, 1, false, true, write_failed},
        {"slice ended, called success", true, 0, false, true, slice_ended},
        {"slice ended, called a time-out", false, 0, true, true, slice_ended},
        {"nothing written without a time-out", true, 0, false, false, write_failed},
        {"a time-out where none was set", false, 0, true, false, write_failed},
        {"failed within a slice", false, 0, false, true, write_failed},
    };
    for (const WriteCase& c : cases) {
        EXPECT_EQ(judge_one_byte_write(c.succeeded, c.written, c.timed_out, c.sliced), c.outcome) << c.name;
    }
}

}  // namespace

namespace {

struct Look {
    long long at_ms;
    long queued;
    long long held_ms;  // what the port says after this look
    bool too_long;
};

// A write that waits on a UART's driver: the kernel wakes it only when the
// queue is nearly empty, so the port looks at the queue instead. A queue
// that moves is no hold, however long the write waits; one that stays is,
// from the first look that saw it as it is.
TEST(WaitingWrite, IsHeldOnlyWhileTheQueueStaysAsItWas) {
    const Look looks[] = {
        {0, 4096, 0, false},    {1000, 3976, 0, false}, {2000, 3856, 0, false}, {3000, 3856, 1000, false},
        {4000, 3736, 0, false}, {5000, 3736, 1000, false}, {6000, 3736, 2000, true},
    };
    PortConnection port{};
    port.write_timeout_ms = 2000;
    end_wait(port);
    for (const Look& look : looks) {
        look_at_queue(port, look.queued, look.at_ms);
        EXPECT_EQ(port.held_ms, look.held_ms) << "at " << look.at_ms << " ms";
        EXPECT_EQ(held_too_long(port), look.too_long) << "at " << look.at_ms << " ms";
    }
    // A look never waits past the time limit, nor longer than a second.
    EXPECT_EQ(next_look_ms(port), 1);
    end_wait(port);
    EXPECT_EQ(next_look_ms(port), 1000);
    port.wait_report_ms = 250;
    EXPECT_EQ(next_look_ms(port), 250);
}

}  // namespace
