// The cut rule, piece by piece: what a node is offered and what a monitor
// shows are the same pieces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/korva_cutter.hpp"
#include "test_link.hpp"

namespace {

using korva::link::Cut;
using korva::link::CutKind;
using korva::link::Cutter;
using korva::link::Tick;

const Bytes kWrite = {0xFB, 0x02, 0x3E, 0x14, 0x01, 0x02, 0xD7, 0xC8, 0xBF}; // 3 -> 14, id 5
constexpr Tick kGap = 10;

std::string piece_text(const Cut& piece)
{
    static const char* const kinds[] = {"noise", "frame", "stale"};
    std::string text = kinds[static_cast<int>(piece.kind)];
    if (piece.kind == CutKind::frame) {
        text += std::string(" ") + resolve_status(piece.verdict);
    }
    return text + ": " + hex(Bytes(piece.bytes, piece.bytes + piece.length));
}

struct CutRun {
    Cutter<512> cutter;
    std::vector<std::string> pieces;

    CutRun() { cutter.gap = kGap; }

    void feed(const Bytes& bytes, Tick now)
    {
        ASSERT_EQ(cutter.feed(bytes.data(), bytes.size(), now), bytes.size());
        cut(now);
    }
    void cut(Tick now)
    {
        cutter.cut(now, [&](const Cut& piece) { pieces.push_back(piece_text(piece)); });
    }
};

} // namespace

TEST(Cutter, PiecesInStreamOrder)
{
    Bytes bad_crc = kWrite;
    bad_crc[6] ^= 0x01;
    // A false start whose announced length ends exactly on the end byte of a
    // real frame: it looks whole, fails its checksum, and hides the frame.
    const Bytes false_start = concat({{0xFB, 0x04}, kWrite});
    struct Case {
        const char* name;
        Bytes stream;
        std::vector<std::string> pieces;
    } cases[] = {
        {"noise, then a frame",
         concat({{0x00, 0x11}, kWrite}),
         {"noise: 00 11", "frame KORVA_SUCCESS: " + hex(kWrite)}},
        {"a damaged frame is offered, then scanned again",
         bad_crc,
         {"frame KORVA_CRC_ERROR: " + hex(bad_crc), "noise: " + hex(Bytes(bad_crc.begin() + 1, bad_crc.end()))}},
        {"a frame inside a false start with a right end byte",
         false_start,
         {"frame KORVA_CRC_ERROR: " + hex(false_start), "noise: 04", "frame KORVA_SUCCESS: " + hex(kWrite)}},
        {"a wrong end byte",
         concat({Bytes(kWrite.begin(), kWrite.end() - 1), {0x00}, kWrite}),
         {"frame KORVA_END_BYTE_ERROR: FB 02 3E 14 01 02 D7 C8 00", "noise: 02 3E 14 01 02 D7 C8 00",
          "frame KORVA_SUCCESS: " + hex(kWrite)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CutRun run;
        run.feed(c.stream, 0);
        EXPECT_EQ(run.pieces, c.pieces);
        EXPECT_TRUE(run.cutter.rx.empty());
    }
}

TEST(Cutter, AFragmentWaitsForItsRestUntilTheLineIsQuietForAGap)
{
    CutRun run;
    run.feed({0xFB, 0x40}, 100);
    run.feed(kWrite, 105); // the fragment claims 64 body bytes: the frame is inside it
    EXPECT_TRUE(run.pieces.empty());
    run.cut(105 + kGap - 1);
    EXPECT_TRUE(run.pieces.empty()) << "not yet quiet for a whole gap";
    EXPECT_EQ(run.cutter.stale_in(105 + kGap - 1), 1u);
    run.cut(105 + kGap);
    const std::vector<std::string> expected = {"stale: FB", "noise: 40", "frame KORVA_SUCCESS: " + hex(kWrite)};
    EXPECT_EQ(run.pieces, expected);
    EXPECT_EQ(run.cutter.stats.cut_short, 1u);
    EXPECT_EQ(run.cutter.stats.bytes_hunted, 1u);
}

TEST(Cutter, TicksThatWrapAroundStillMeasureTheGap)
{
    CutRun run;
    const Tick just_before_wrap = static_cast<Tick>(0) - 3;
    run.feed({0xFB, 0x40}, just_before_wrap);
    run.cut(just_before_wrap + kGap - 1);
    EXPECT_TRUE(run.pieces.empty());
    run.cut(just_before_wrap + kGap);
    EXPECT_EQ(run.pieces.front(), "stale: FB");
}

TEST(Cutter, StatsCountEveryByteOnce)
{
    CutRun run;
    Bytes bad_crc = kWrite;
    bad_crc[7] ^= 0x80;
    run.feed(concat({{0x01, 0x02, 0x03}, bad_crc, kWrite}), 0);
    EXPECT_EQ(run.cutter.stats.bytes_received, 3 + 2 * kWrite.size());
    EXPECT_EQ(run.cutter.stats.resyncs, 1u);
    EXPECT_EQ(run.cutter.stats.bytes_hunted, 3 + kWrite.size() - 1);
}
