#include "pelionp/demux/sid.h"

#include <gtest/gtest.h>

namespace {

using namespace pelionp::demux;

// Every probe stream of the board, both ways.
TEST(SidMapping, EveryProbeStreamMapsBothWays) {
    struct Case {
        int port;
        int dock;
        StreamKind kind;
        uint32_t sid;
    };
    const Case cases[] = {
        {0, 0, StreamKind::NP1, 0},  {1, 0, StreamKind::NP1, 1},  {2, 0, StreamKind::NP1, 2},
        {3, 0, StreamKind::NP1, 3},  {0, 0, StreamKind::NP2, 8},  {1, 0, StreamKind::NP2, 9},
        {2, 0, StreamKind::NP2, 10}, {3, 0, StreamKind::NP2, 11}, {0, 1, StreamKind::NP2, 12},
        {1, 1, StreamKind::NP2, 13}, {2, 1, StreamKind::NP2, 14}, {3, 1, StreamKind::NP2, 15},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "SID " << c.sid);
        ASSERT_EQ(sid_of(c.port, c.dock, c.kind), SID{c.sid});
        ASSERT_EQ(place_of(SID{c.sid}), (StreamPlace{c.port, c.dock, c.kind}));
    }
}

TEST(SidMapping, StreamsWithoutAProbeAndPortsOffTheBoardHaveNoPlace) {
    for (uint32_t sid : {4u, 5u, 6u, 7u, 16u, 255u}) EXPECT_FALSE(place_of(SID{sid}).has_value()) << sid;
    for (int port : {-1, 4, 100}) {
        EXPECT_FALSE(sid_of(port, 0, StreamKind::NP1).has_value()) << port;
        EXPECT_FALSE(sid_of(port, 1, StreamKind::NP2).has_value()) << port;
    }
    // Any dock other than 0 is the second one, as the headstage routes it.
    EXPECT_EQ(sid_of(3, 7, StreamKind::NP2), SID{15});
}

TEST(SidMapping, PortStreamsShareTheProducerBitOfTheirPort) {
    for (int port = 0; port < PORT_COUNT; ++port) {
        for (const SID sid : port_stream_ids(port)) EXPECT_EQ(place_of(sid)->port, port);
    }
    EXPECT_THROW((void)port_stream_ids(4), std::runtime_error);
}

}  // namespace
