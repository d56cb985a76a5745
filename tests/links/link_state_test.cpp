// Serializer/deserializer drivers and the link-state transitions against
// the simulated board.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "pelionp/links/link_state.h"
#include "pelionp/links/serdes.h"
#include "tests/links/sim_fixture.h"
#include "sim/chips/register_file.h"
#include "tests/support/log_capture.h"

namespace pelionp::test {
namespace {

using sim::FrameRecord;
using sim::NackRule;

class LinkStates : public SimLink {
protected:
    SerDesState connect() {
        auto disconnected = DisconnectedSerDes::init(iic);
        EXPECT_TRUE(disconnected);
        SerDesState state = *disconnected;
        EXPECT_TRUE(try_make_connected(state, Preemphasis::None));
        EXPECT_EQ(state.index(), 1u);
        return state;
    }
    SerDesState data_linked() {
        auto state = connect();
        EXPECT_TRUE(switch_to_data_link(state));
        EXPECT_EQ(state.index(), 2u);
        return state;
    }
    sim::SerializerChip& serializer() { return headstage->serializer(); }
    sim::DeserializerChip& deserializer() { return board.deserializer(0); }
    Serializer ser() { return Serializer(iic); }
};

// ---- deserializer and serializer ------------------------------------------

TEST_F(LinkStates, DeserializerInitWritesItsRegistersInOrderThenChecksTheId) {
    ASSERT_TRUE(Deserializer::init(iic));
    const auto frames = take_frames();
    ASSERT_EQ(frames.size(), 7u);
    const std::vector<sim::Bytes> expected{bytes({0x79, 0x90, 0x04, 1, 0x07}), bytes({0x79, 0x90, 0x05, 1, 0x18}),
                                           bytes({0x79, 0x90, 0x07, 1, 0x00}), bytes({0x79, 0x90, 0x03, 1, 0x00}),
                                           bytes({0x79, 0x90, 0x02, 1, 0x1F}), bytes({0x79, 0x90, 0x08, 1, 0x00}),
                                           bytes({0x79, 0x91, 0x1E, 1})};
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(frames[i].frame, expected[i]) << i;

    deserializer().set_id(0x0B);
    EXPECT_EQ(DisconnectedSerDes::init(iic).error(), "Unexpected deserializer ID 11");
    board.nack(0, NackRule::chip(0x90).at(0x03));
    EXPECT_EQ(DisconnectedSerDes::init(iic).error(), "I2C::write ACK error");
}

TEST_F(LinkStates, SerializerDetectionWantsId9) {
    EXPECT_TRUE(ser().detect_device());
    serializer().set_id(7);
    EXPECT_EQ(ser().detect_device().error(), "Serializer device id does not match. got 7 != 9");
}

TEST_F(LinkStates, ForcingTheModeItAlreadyHasIsOneRead) {
    ASSERT_TRUE(try_force_link(ser(), true));  // power-on: data link
    EXPECT_EQ(take_frames(), (std::vector{FrameRecord{0, bytes({0x79, 0x81, 0x04, 1}), bytes({0xC3, 0x8C})}}));
    ASSERT_TRUE(try_force_link(ser(), false));
    EXPECT_EQ(serializer().peek(0x04), 0x43);
    ASSERT_TRUE(try_force_link(ser(), true));
    EXPECT_EQ(serializer().peek(0x04), 0x83);
}

TEST_F(LinkStates, AFailedReReadAfterForcingKeepsBothPrefixes) {
    // The first read (power-on: data link) answers, the one after the write does not.
    board.nack(0, NackRule::chip(0x80).at(0x04).reads_only().after_matches(1));
    EXPECT_EQ(try_force_link(ser(), false).error(),
              "Read error while switching link: Read error while checking link: I2C::read ACK error");
}

TEST_F(LinkStates, ForcingGivesUpAfterTenRefusedWritesAndReportsTheModeRead) {
    board.nack(0, NackRule::chip(0x80).at(0x04).writes_only());
    EXPECT_EQ(try_force_link(ser(), false).error(), "Failed to switch link");
    EXPECT_EQ(serializer().writes(0x04), 0u);
    EXPECT_EQ(take_frames().size(), 12u);  // read, 10 writes, read
}

// ---- EEPROM pass-through ----------------------------------------------------

TEST_F(LinkStates, EepromReadWithOneByteAddressGoesThroughRegisterMode) {
    eeprom->load(0x0A, bytes({'N', 'P', '1', 0}));
    ASSERT_TRUE(connect().index() == 1);
    take_frames();

    EXPECT_EQ(ser().eeprom_read(0xA4, uint8_t{0x0A}, 4), bytes({'N', 'P', '1', 0}));
    const auto frames = take_frames();
    ASSERT_EQ(frames.size(), 6u);
    EXPECT_EQ(frames[1].frame, bytes({0x79, 0x80, 0x05, 1, 0x80}));  // register mode on
    EXPECT_EQ(frames[2].frame, bytes({0x79, 0xA4, 0x00, 1, 0x0A}));
    EXPECT_EQ(frames[3].frame, bytes({0x79, 0xA5, 0x00, 4}));
    EXPECT_EQ(frames[5].frame, bytes({0x79, 0x80, 0x05, 1, 0x00}));  // and off again
    EXPECT_FALSE(serializer().register_mode());
}

TEST_F(LinkStates, EepromTwoByteAddressIsSentHighByteFirst) {
    auto wide = std::make_shared<sim::EepromChip>(2, 0x1000);
    headstage->bus().attach(0xA4, wide);
    connect();
    take_frames();

    ASSERT_TRUE(ser().eeprom_write(0xA4, uint16_t{0x0040}, {0x55}));
    EXPECT_EQ(wide->memory()[0x40], 0x55);
    EXPECT_EQ(ser().eeprom_read(0xA4, uint16_t{0x0040}, 1), bytes({0x55}));
    const auto frames = take_frames();
    ASSERT_EQ(frames.size(), 11u);
    EXPECT_EQ(frames[2].frame, bytes({0x79, 0xA4, 0x00, 3, 0x00, 0x40, 0x55}));
    EXPECT_EQ(frames[7].frame, bytes({0x79, 0xA4, 0x00, 2, 0x00, 0x40}));
}

TEST_F(LinkStates, EepromFailuresAndTheRegisterModePrecedence) {
    connect();
    board.nack(0, NackRule::chip(0x80).at(0x05).times(1));
    EXPECT_EQ(ser().eeprom_read(0xA4, uint8_t{0}, 1).error(), "Failed to set i2c register mode");

    board.nack(0, NackRule::chip(0xA6));
    EXPECT_EQ(ser().eeprom_read(0xA6, uint8_t{0}, 1).error(), "I2C::write ACK error");

    // The access fails and so does leaving register mode: the latter wins.
    board.nack(0, NackRule::chip(0x80).at(0x05).after_matches(2));
    EXPECT_EQ(ser().eeprom_read(0xA6, uint8_t{0}, 1).error(), "Failed to unset i2c register mode");
    board.clear_nacks(0);
    board.nack(0, NackRule::chip(0x80).at(0x05).after_matches(2));
    EXPECT_EQ(ser().eeprom_write(0xA4, uint8_t{0}, {1}).error(), "Failed to unset i2c register mode");
}

// While an EEPROM access has the serializer in register mode, frames to the
// chips behind it lose their register byte; a probe transaction of another
// thread must never go out inside that window.
TEST_F(LinkStates, ProbeTransactionsOfAnotherThreadStayOutOfTheRegisterModeWindow) {
    connect();
    auto probe_chip = std::make_shared<sim::RegisterFile>();
    headstage->bus().attach(0xE0, probe_chip);
    board.record_writes(true);
    board.record_frames(false);

    constexpr int EEPROM_READS = 150;
    std::atomic<bool> reading{true};
    std::atomic<int> probe_failures{0};
    std::atomic<int> probe_transactions{0};
    std::thread probe([&] {
        for (uint8_t value = 0; reading.load(); ++value) {
            if (!iic.write(0xE0, 0x10, {value})) probe_failures.fetch_add(1);
            probe_transactions.fetch_add(1);
        }
    });
    // The reads go on until the probe thread has also had turns among them
    // (a slow thread start or an unfair mutex must not leave the window
    // untested).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    const int probe_before = probe_transactions.load();
    int eeprom_failures = 0;
    for (int i = 0; i < EEPROM_READS || (probe_transactions.load() - probe_before < 10 &&
                                         std::chrono::steady_clock::now() < deadline);
         ++i) {
        if (!ser().eeprom_read(0xA4, uint8_t{0x0A}, 2)) ++eeprom_failures;
    }
    reading.store(false);
    probe.join();

    EXPECT_EQ(eeprom_failures, 0);
    EXPECT_EQ(probe_failures.load(), 0);
    std::size_t probe_writes = 0;
    for (const auto& write : board.writes()) {
        if (write.address != 0xE0) continue;
        ++probe_writes;
        EXPECT_EQ(write.reg, std::optional<uint8_t>(0x10)) << "a probe write went out in register mode";
    }
    EXPECT_GT(probe_writes, 0u);
}

// The reply to the register-mode write is lost although the write landed:
// the access fails, and the mode must not stay on for later frames.
TEST_F(LinkStates, AFailedRegisterModeSwitchDoesNotLeaveTheModeOn) {
    connect();
    auto probe_chip = std::make_shared<sim::RegisterFile>();
    headstage->bus().attach(0xE0, probe_chip);
    // eeprom_read: the set_bits read of 0x05 answers, its write's ACK comes late.
    board.set_uart_faults({.tx_stuck = false, .rx_bytes_per_reply = std::nullopt,
                           .late_reply = sim::LateReply{.on_time = 0, .skip = 1, .count = 1}});
    EXPECT_EQ(ser().eeprom_read(0xA4, uint8_t{0x0A}, 2).error(), "Failed to set i2c register mode");
    EXPECT_FALSE(serializer().register_mode());
    ASSERT_TRUE(iic.write(0xE0, 0x10, {0x33}));
    EXPECT_EQ(probe_chip->peek(0x10), 0x33);
}

// ---- transitions ---------------------------------------------------------

TEST_F(LinkStates, ConnectingConfiguresTheSerializerForTheConfigurationLink) {
    auto state = DisconnectedSerDes::init(iic).value();
    SerDesState link = state;
    ASSERT_TRUE(try_make_connected(link, Preemphasis{5}));
    ASSERT_TRUE(std::holds_alternative<ConfigLinkedSerDes>(link));
    EXPECT_EQ(serializer().peek(0x04), 0x43);
    EXPECT_EQ(serializer().peek(0x05), 0x00);
    EXPECT_EQ(serializer().peek(0x06), 0x85);
    EXPECT_EQ(serializer().reads(0x1E), 2u);

    take_frames();
    ASSERT_TRUE(try_make_connected(link, Preemphasis::None));
    EXPECT_TRUE(take_frames().empty());
}

TEST_F(LinkStates, ConnectingWithoutHeadstageStaysDisconnected) {
    board.unplug(0);
    SerDesState link = DisconnectedSerDes::init(iic).value();
    EXPECT_EQ(try_make_connected(link, Preemphasis::None).error(), "Failed to config serializer: I2C::read ACK error");
    EXPECT_TRUE(std::holds_alternative<DisconnectedSerDes>(link));
}

TEST_F(LinkStates, SecondDetectionFailingLeavesTheConfigLinkButFails) {
    board.nack(0, NackRule::chip(0x80).at(0x1E).after_matches(1));
    SerDesState link = DisconnectedSerDes::init(iic).value();
    EXPECT_EQ(try_make_connected(link, Preemphasis::None).error(), "Failed to detect serializer: I2C::read ACK error");
    EXPECT_TRUE(std::holds_alternative<ConfigLinkedSerDes>(link));
}

TEST_F(LinkStates, DataLinkOnLockAndBackToConfiguration) {
    auto link = connect();
    deserializer().set_lock_delay(2);
    deserializer().clear_counts();
    ASSERT_TRUE(switch_to_data_link(link));
    EXPECT_TRUE(std::holds_alternative<DataLinkedSerDes>(link));
    EXPECT_EQ(deserializer().reads(0x04), 3u);

    take_frames();
    ASSERT_TRUE(switch_to_data_link(link));
    EXPECT_TRUE(take_frames().empty());

    ASSERT_TRUE(switch_to_config_link(link));
    EXPECT_TRUE(std::holds_alternative<ConfigLinkedSerDes>(link));
    EXPECT_FALSE(serializer().data_link());
}

TEST_F(LinkStates, LockTimeoutAfterFivePolls) {
    auto link = connect();
    deserializer().set_never_lock(true);
    deserializer().clear_counts();
    EXPECT_EQ(switch_to_data_link(link).error(), "Timeout waiting for lock");
    EXPECT_EQ(deserializer().reads(0x04), 5u);
    EXPECT_TRUE(std::holds_alternative<ConfigLinkedSerDes>(link));

    board.nack(0, NackRule::chip(0x90).at(0x04).reads_only());
    EXPECT_EQ(switch_to_data_link(link).error(), "Read error while checking lock: I2C::read ACK error");
    EXPECT_TRUE(std::holds_alternative<ConfigLinkedSerDes>(link));
}

TEST_F(LinkStates, ModeThatDoesNotTakeKeepsTheStateWhileTheSerializerAnswers) {
    auto link = connect();
    serializer().ignore_writes(0x04);
    EXPECT_EQ(switch_to_data_link(link).error(), "Failed to switch link");
    EXPECT_TRUE(std::holds_alternative<ConfigLinkedSerDes>(link));
}

TEST_F(LinkStates, UnpluggedHeadstageFallsBackToDisconnected) {
    auto link = data_linked();
    board.unplug(0);
    EXPECT_FALSE(deserializer().locked());
    EXPECT_EQ(switch_to_config_link(link).error(), "I2C::read ACK error");
    EXPECT_TRUE(std::holds_alternative<DisconnectedSerDes>(link));
    EXPECT_EQ(switch_to_config_link(link).error(), "SerDes not connected");
    EXPECT_EQ(switch_to_data_link(link).error(), "SerDes not connected");

    board.plug(0, headstage);
    auto config = connect();
    board.unplug(0);
    EXPECT_EQ(switch_to_data_link(config).error(), "I2C::read ACK error");
    EXPECT_TRUE(std::holds_alternative<DisconnectedSerDes>(config));
}

// ---- EDC and input mode -----------------------------------------------------

TEST_F(LinkStates, EdcAlreadySetOnBothChipsIsTwoReads) {
    auto link = std::get<ConfigLinkedSerDes>(connect());
    take_frames();
    ASSERT_TRUE(link.set_edc(EDCMode::Off));
    const auto frames = take_frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].frame, bytes({0x79, 0x91, 0x07, 1}));
    EXPECT_EQ(frames[1].frame, bytes({0x79, 0x81, 0x07, 1}));
}

TEST_F(LinkStates, EdcIsWrittenAsAWholeByteToBothChips) {
    auto link = std::get<ConfigLinkedSerDes>(connect());
    deserializer().poke(0x07, 0x80);
    serializer().poke(0x07, 0x90);
    ASSERT_TRUE(link.set_edc(EDCMode::Mode2));
    EXPECT_EQ(deserializer().peek(0x07), 0x02);
    EXPECT_EQ(serializer().peek(0x07), 0x02);
}

TEST_F(LinkStates, EdcRetriesThreeTimesPerChip) {
    auto link = std::get<ConfigLinkedSerDes>(connect());
    deserializer().ignore_writes(0x07, 2);
    ASSERT_TRUE(link.set_edc(EDCMode::Mode1));
    EXPECT_EQ(deserializer().writes(0x07), 3u + 1u);  // one from init

    serializer().ignore_writes(0x07);
    serializer().clear_counts();
    EXPECT_EQ(link.set_edc(EDCMode::Mode2).error(), "Failed to set edc. Read reg7: 0x01");
    EXPECT_EQ(serializer().writes(0x07), 3u);

    deserializer().poke(0x07, 0x03);
    EXPECT_EQ(link.set_edc(EDCMode::Off).error(), "Invalid EDC mode 3");
}

TEST_F(LinkStates, EdcIgnoresAFailedSerializerModeRead) {
    auto link = std::get<ConfigLinkedSerDes>(connect());
    serializer().poke(0x07, 0x01);
    board.nack(0, NackRule::chip(0x80).at(0x07).reads_only().times(1));
    ASSERT_TRUE(link.set_edc(EDCMode::Mode1));
    EXPECT_EQ(serializer().writes(0x07), 1u);
}

TEST_F(LinkStates, InputModeOnBothChips) {
    auto link = std::get<ConfigLinkedSerDes>(connect());
    serializer().poke(0x07, 0x11);
    ASSERT_TRUE(link.set_input_mode(true));
    EXPECT_EQ(deserializer().peek(0x07), 0x80);
    EXPECT_EQ(serializer().peek(0x07), 0x91);
    board.nack(0, NackRule::chip(0x80).at(0x07));
    EXPECT_EQ(link.set_input_mode(false).error(), "Failed to set serializer input mode: I2C::read ACK error");
    board.nack(0, NackRule::chip(0x90).at(0x07));
    EXPECT_EQ(link.set_input_mode(false).error(), "Failed to set deserializer input mode: I2C::read ACK error");
}

// ---- PRBS --------------------------------------------------------------------

TEST_F(LinkStates, PrbsCountsTheCheckersErrors) {
    auto link = std::get<DataLinkedSerDes>(data_linked());
    deserializer().set_prbs_result({.errors = 1, .corrected = 2, .prbs_errors = 7});
    LogCapture log;
    ASSERT_TRUE(link.start_prbs(PRBS::Pattern2));
    EXPECT_EQ(serializer().prbs_pattern(), 2);
    EXPECT_TRUE(deserializer().prbs_checking());
    EXPECT_TRUE(serializer().prbs_generating());

    EXPECT_EQ(link.stop_prbs_and_get_error_count(), 7);
    EXPECT_FALSE(deserializer().prbs_checking());  // bit 5 cleared to stop
    EXPECT_FALSE(serializer().prbs_generating());
    EXPECT_TRUE(serializer().data_link());
    EXPECT_TRUE(log.contains(spdlog::level::debug, "Starting PRBS with mode 2"));
    EXPECT_TRUE(log.contains(spdlog::level::debug, "Stopping PRBS and getting error count"));
    EXPECT_TRUE(log.contains(spdlog::level::debug, "PRBS results: Errors: 01 Corrected: 02 PRBS Errors: 07 PRBSOK: 80"));
}

TEST_F(LinkStates, PrbsStopWithoutStartIsOneRead) {
    auto link = std::get<DataLinkedSerDes>(data_linked());
    take_frames();
    EXPECT_EQ(link.stop_prbs_and_get_error_count().error(), "PRBS not started");
    EXPECT_EQ(take_frames().size(), 1u);
}

TEST_F(LinkStates, PrbsCheckWithoutPatternIsNotCompleted) {
    auto link = std::get<DataLinkedSerDes>(data_linked());
    ASSERT_TRUE(iic.set_bits(0x90, 0x04, 0x20, 0x20));  // checker on, the generator never runs
    EXPECT_EQ(link.stop_prbs_and_get_error_count().error(), "PRBS test not completed");
}

TEST_F(LinkStates, PrbsStopFailuresNameTheirEnd) {
    auto link = std::get<DataLinkedSerDes>(data_linked());
    ASSERT_TRUE(link.start_prbs(PRBS::Pattern1));
    board.nack(0, NackRule::chip(0x80).at(0x04).writes_only().times(5));
    EXPECT_EQ(link.stop_prbs_and_get_error_count().error(), "Failed to stop PRBS at serializer");
    board.nack(0, NackRule::chip(0x90).at(0x04).writes_only().times(1));
    EXPECT_EQ(link.stop_prbs_and_get_error_count().error(), "Failed to stop PRBS at deserializer");
    board.nack(0, NackRule::chip(0x80).at(0x05));
    EXPECT_EQ(link.start_prbs(PRBS::Pattern1).error(), "Failed to set PRBS mode at serializer");
}

}  // namespace
}  // namespace pelionp::test
