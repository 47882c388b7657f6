// The bench host's line against a scripted line: what reaches the device
// after timeouts, broken, short and late answers, and write echoes.
#include <gtest/gtest.h>

#include "framework/control_codes.h"
#include "host/core/controller_requests.h"
#include "tests/host/line_rig.h"

namespace {

std::vector<unsigned char> register_area(const std::vector<unsigned char>& record) {
    return std::vector<unsigned char>(record.begin() + 4, record.begin() + 160);
}

void write_one(QV5810& device, std::uint16_t address, std::uint16_t value) { start_write(device, {address, value}); }

}  // namespace

TEST(LineRetries, FailedAttemptsAreRetriedAfterAFlushAndTheCycleCompletes) {
    for (LineFault fault : {LineFault::timeout, LineFault::crc, LineFault::short_refused}) {
        LineRig rig;
        rig.line.script = {LineFault::none, fault, fault};  // the second block fails twice
        const auto exchanges = rig.Cycle();
        ASSERT_EQ(exchanges.size(), 4u);
        EXPECT_EQ(exchanges[1].outcome, Exchange::answered);
        EXPECT_EQ(exchanges[1].attempts, 3);
        EXPECT_EQ(rig.line.requests.size(), 6u);
        // Every attempt starts on a flushed line.
        EXPECT_GE(rig.line.flushes, 6);
        ASSERT_EQ(rig.sink.published.size(), 1u);
        EXPECT_EQ(register_area(rig.sink.published[0].bytes), oracle::expected_register_area(rig.line.banks[1]));
    }
}

TEST(LineRetries, GiveUpAfterTheConfiguredRetries) {
    LineRig rig(1);
    rig.line.script = {LineFault::timeout, LineFault::timeout};
    const auto exchanges = rig.Cycle();
    ASSERT_EQ(exchanges.size(), 1u);
    EXPECT_EQ(exchanges[0].outcome, Exchange::timeout);
    EXPECT_EQ(exchanges[0].attempts, 2);
    EXPECT_FALSE(exchanges[0].delivered);
    EXPECT_TRUE(rig.sink.published.empty());
    // A flush before each attempt, and one more after the last: nothing it
    // left on the line waits for the next request.
    EXPECT_EQ(rig.line.flushes, 3);
    // The next cycle starts afresh.
    rig.Cycle();
    EXPECT_EQ(rig.sink.published.size(), 1u);
}

TEST(LineRetries, AnExceptionIsAnAnswerAndNotRetried) {
    LineRig rig;
    rig.line.script = {LineFault::exception};
    const auto exchanges = rig.Cycle();
    ASSERT_EQ(exchanges.size(), 1u);
    EXPECT_EQ(exchanges[0].outcome, Exchange::exception);
    EXPECT_EQ(exchanges[0].attempts, 1);
    EXPECT_TRUE(rig.sink.published.empty());
}

TEST(ShortAnswers, AreNeverDeliveredToTheDevice) {
    LineRig rig(0);
    rig.line.script = {LineFault::short_passed};
    const auto exchanges = rig.Cycle();
    ASSERT_EQ(exchanges.size(), 1u);
    EXPECT_EQ(exchanges[0].outcome, Exchange::bad_data);
    EXPECT_FALSE(exchanges[0].delivered);
    EXPECT_TRUE(rig.sink.published.empty());
}

TEST(ShortAnswers, AreRetriedIntoACompleteRecord) {
    LineRig rig;
    rig.line.script = {LineFault::none, LineFault::none, LineFault::short_passed};
    rig.Cycle();
    ASSERT_EQ(rig.sink.published.size(), 1u);
    EXPECT_EQ(register_area(rig.sink.published[0].bytes), oracle::expected_register_area(rig.line.banks[1]));
}

TEST(LateAnswers, AreNeverTakenForTheRetry) {
    LineRig rig;
    rig.line.script = {LineFault::late};
    rig.Cycle();
    ASSERT_EQ(rig.sink.published.size(), 1u);
    EXPECT_EQ(register_area(rig.sink.published[0].bytes), oracle::expected_register_area(rig.line.banks[1]));
}

TEST(LateAnswers, CostAtMostTheCycleTheyFallIn) {
    LineRig rig(0);
    rig.line.script = {LineFault::none, LineFault::late};
    rig.Cycle();
    EXPECT_TRUE(rig.sink.published.empty());
    rig.line.banks[1].FillDistinct(200);
    rig.Cycle();
    ASSERT_EQ(rig.sink.published.size(), 1u);
    EXPECT_EQ(register_area(rig.sink.published[0].bytes), oracle::expected_register_area(rig.line.banks[1]));
}

TEST(LateAnswers, AFrameLeftOnTheLineIsFlushedBeforeTheNextRequest) {
    LineRig rig;
    rig.line.script = {LineFault::stray_after, LineFault::none, LineFault::stray_after};
    rig.Cycle();
    ASSERT_EQ(rig.sink.published.size(), 1u);
    EXPECT_EQ(register_area(rig.sink.published[0].bytes), oracle::expected_register_area(rig.line.banks[1]));
}

TEST(WriteEcho, ConfirmedOnlyByTheMatchingEcho) {
    struct Case {
        std::deque<LineFault> script;
        std::int32_t status;
        int attempts;
    } cases[] = {
        {{}, write_outcome::kConfirmed, 1},
        {{LineFault::echo_of_other_address}, write_outcome::kConfirmed, 2},  // retried
        {{LineFault::echo_from_other_slave, LineFault::echo_from_other_slave, LineFault::echo_from_other_slave},
         write_outcome::kNone, 3},
        {{LineFault::echo_of_other_address, LineFault::echo_of_other_address, LineFault::echo_of_other_address},
         write_outcome::kNone, 3},
        {{LineFault::exception}, write_outcome::kNotConfirmed, 1},
    };
    for (const Case& c : cases) {
        LineRig rig;
        rig.line.script = c.script;
        write_one(rig.device, 256, 0x1234);
        const auto exchanges = rig.RunAll();
        ASSERT_EQ(exchanges.size(), 1u);
        EXPECT_EQ(exchanges[0].attempts, c.attempts);
        EXPECT_EQ(write_status(rig.device), c.status) << c.script.size();
    }
}

TEST(WriteEcho, ARefusalNeverConfirmsWhateverValueWasWritten) {
    // 0x86 is what a refused function 6 carries where the echo's value would be.
    for (std::uint16_t value : {std::uint16_t{0x86}, std::uint16_t{0x8600}, std::uint16_t{0}}) {
        LineRig rig;
        rig.line.script = {LineFault::exception};
        write_one(rig.device, 256, value);
        rig.RunAll();
        EXPECT_EQ(write_status(rig.device), write_outcome::kNotConfirmed) << value;
    }
}

TEST(Interruption, AStopRequestEndsTheRetries) {
    LineRig rig(5);
    rig.line.script = {LineFault::timeout};
    rig.stop.Request();
    const auto exchanges = rig.Cycle();
    ASSERT_EQ(exchanges.size(), 1u);
    EXPECT_EQ(exchanges[0].outcome, Exchange::interrupted);
    EXPECT_TRUE(rig.line.requests.empty());
}

TEST(GatewayAnswers, AMeterThatDidNotAnswerTheGatewayIsAskedAgainLikeAfterATimeout) {
    LineRig rig;
    rig.line.script = {LineFault::gateway_silent, LineFault::gateway_silent};
    const auto exchanges = rig.Cycle();
    ASSERT_EQ(exchanges.size(), 4u);
    EXPECT_EQ(exchanges[0].outcome, Exchange::answered);
    EXPECT_EQ(exchanges[0].attempts, 3);
    ASSERT_EQ(rig.sink.published.size(), 1u);
    EXPECT_EQ(register_area(rig.sink.published[0].bytes), oracle::expected_register_area(rig.line.banks[1]));
    // Given up, it counts as no answer, not as the meter's refusal.
    LineRig silent(1);
    silent.line.script = {LineFault::gateway_silent, LineFault::gateway_silent};
    EXPECT_EQ(silent.Cycle().at(0).outcome, Exchange::timeout);
}

TEST(GatewayAnswers, AWriteTheMeterDidNotAnswerIsSentAgain) {
    LineRig rig;
    rig.line.script = {LineFault::gateway_silent};
    write_one(rig.device, 256, 0x1234);
    const auto exchanges = rig.RunAll();
    ASSERT_EQ(exchanges.size(), 1u);
    EXPECT_EQ(exchanges[0].attempts, 2);
    EXPECT_EQ(write_status(rig.device), write_outcome::kConfirmed);
    LineRig unanswered(0);
    unanswered.line.script = {LineFault::gateway_silent};
    write_one(unanswered.device, 256, 0x1234);
    unanswered.RunAll();
    EXPECT_EQ(write_status(unanswered.device), write_outcome::kNone);  // no answer, not "not confirmed"
}
