#include "sender_rules.h"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

// Regression: an echo service from another port returned our answers, and
// we answered them again, for ever. The answer last sent to an address,
// coming back from it within a second, is not answered.
TEST(RecentAnswers, OurAnswerComingBackIsAnEcho)
{
    using std::chrono::milliseconds;
    const auto t0 = Recent_answers::Clock::time_point{} + std::chrono::hours(1);
    const std::uint32_t a = 0x0a000002, b = 0x0a000003;
    const struct {
        std::uint32_t from;
        std::string datagram;
        int after_ms;
        bool echo;
    } cases[] = {
        {a, "Pen\nPrice: 1.99", 5, true},     {a, "Pen\nPrice: 1.99", 1000, true},
        {a, "Pen\nPrice: 1.99", 1001, false}, {b, "Pen\nPrice: 1.99", 5, false},
        {a, "Pen\nPrice: 1.98", 5, false},    {a, "Pen\nPrice: 1.9", 5, false},
        {a, "12345", 5, false},
    };
    for (const auto& c : cases) {
        Recent_answers recent;
        recent.sent(a, "Pen\nPrice: 1.99", t0);
        EXPECT_EQ(recent.is_echo({c.from, 5000}, c.datagram, t0 + milliseconds(c.after_ms)), c.echo)
            << c.datagram << " after " << c.after_ms;
    }
    // Only the last answer to an address counts; one line a minute.
    Recent_answers recent;
    Log_capture capture;
    recent.sent(a, "first", t0);
    recent.sent(a, "second", t0);
    EXPECT_FALSE(recent.is_echo({a, 5000}, "first", t0));
    for (int s : {0, 1, 2, 59, 60}) {
        recent.sent(a, "second", t0 + std::chrono::seconds(s));
        EXPECT_TRUE(recent.is_echo({a, 5000}, "second", t0 + std::chrono::seconds(s)));
    }
    EXPECT_EQ(capture.lines().size(), 2u);
}

// Whom the server answers: the networks listed, host bits ignored; a line
// for a dropped sender once a minute per address, and forged addresses
// that meet in one slot share its minute.
TEST(AllowedSenders, OnlyTheNetworksListedAndOneLineAMinuteASender)
{
    using std::chrono::seconds;
    const auto t0 = Allowed_senders::Clock::time_point{} + std::chrono::hours(1);
    Allowed_senders allowed;
    Error error;
    ASSERT_TRUE(allowed.read("10.1.2.3/16,192.168.10.7,0.0.0.0/32", error)) << error.text;
    EXPECT_EQ(allowed.text(), "10.1.0.0/16, 192.168.10.7, 0.0.0.0");
    const struct {
        std::uint32_t from;
        int at_s;
        bool admitted;
        std::size_t lines; // WRN lines so far
    } steps[] = {
        {0x0a01ffff, 0, true, 0},  {0x0a020001, 0, false, 1},  {0x0a020001, 59, false, 1}, {0xc0a80a07, 59, true, 1},
        {0xc0a80a08, 59, false, 2}, {0x0a020001, 60, false, 3}, {0x7f000001, 60, false, 4},
        {0x0a02017a, 61, false, 4}, // 10.2.1.122 meets 10.2.0.1's fresh line in its slot
        {0x0a02017a, 120, false, 5},
    };
    Log_capture capture;
    for (const auto& s : steps) {
        EXPECT_EQ(allowed.admit({s.from, 9000}, t0 + seconds(s.at_s)), s.admitted) << address_text(s.from);
        EXPECT_EQ(capture.lines().size(), s.lines) << address_text(s.from) << " at " << s.at_s;
    }
    Allowed_senders any;
    ASSERT_TRUE(any.read("any", error));
    EXPECT_TRUE(any.admit({0x01020304, 1}, t0));
    EXPECT_EQ(any.text(), "every address");
}

// Regression: two servers at one port answered each other's answers for
// ever. Senders at our port are limited per address.
TEST(AnswerLimit, BurstThenSteadyRatePerAddress)
{
    const std::uint32_t a = 0x0a000002, b = 0x0a000003, c = 0x0b000002; // c shares a's low bits
    const struct {
        std::uint32_t address;
        int at_ms;
        int sent;
        int admitted;
    } steps[] = {
        {a, 0, 40, Answer_limit::burst}, // a burst, then nothing
        {a, 10, 1, 0},
        {a, 20, 2, 1}, // one more every 1000 / per_second ms
        {a, 40, 2, 1},
        {b, 40, 40, Answer_limit::burst}, // every address on its own
        {c, 40, 40, Answer_limit::burst},
        {a, 40000, 40, Answer_limit::burst}, // after a pause the whole burst again
        {a, 70000, 40, Answer_limit::burst}, // a minute after its line: a new one
    };
    Answer_limit limit;
    Log_capture capture;
    for (const auto& s : steps) {
        const auto now = Answer_limit::Clock::time_point{} + std::chrono::milliseconds(s.at_ms);
        int admitted = 0;
        for (int i = 0; i < s.sent; ++i) admitted += limit.admit({s.address, 9000}, now);
        EXPECT_EQ(admitted, s.admitted) << s.address << " at " << s.at_ms;
    }
    // One line per address and minute: a's drops at 0 to 40000 ms make one,
    // those at 70000 ms another, each with what came within its second.
    const std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].find("WRN Too many messages from 10.0.0.2.9000: 33 within a second"), 0u) << lines[0];
    EXPECT_EQ(lines[3].find("WRN Too many messages from 10.0.0.2.9000: 33 within a second"), 0u) << lines[3];
}

// Regression: addresses that met in one slot shared its limit, so flooders
// silenced terminals. Each address is limited by its own datagrams only,
// whatever thousands of others do, and a loop stays limited among them.
TEST(AnswerLimit, FloodersNeitherSilenceATerminalNorFreeALoop)
{
    using std::chrono::milliseconds;
    const auto start = Answer_limit::Clock::time_point{} + std::chrono::hours(1);
    Answer_limit limit;
    Log_capture capture;
    int terminal = 0, loop = 0;
    for (int ms = 0; ms < 10000; ms += 5) {
        const auto now = start + milliseconds(ms);
        if (ms % 1000 == 0) // 3,000 flooders, a burst over the limit each a second
            for (std::uint32_t f = 0; f < 3000; ++f)
                for (int k = 0; k < Answer_limit::burst + 2; ++k) limit.admit({0xc0a80000u + f * 256, 9000}, now);
        loop += limit.admit({0x0a000009, 9000}, now); // 200 a second
        if (ms % 500 == 0) terminal += limit.admit({0x0a000002, 9000}, now);
    }
    EXPECT_EQ(terminal, 20);
    EXPECT_LE(loop, Answer_limit::burst + 10 * Answer_limit::per_second + 1);
    EXPECT_GE(loop, 10 * Answer_limit::per_second);
}

// Regression: forged addresses filled the looping peer's group until the
// peer was forgotten and came back with a whole new burst, again and again.
// A loop of r exchanges a second, which ends at its first unanswered
// datagram, gets at most burst * r / (r - per_second) answers whatever
// fresh addresses come, however often (every 1 to 100 exchanges), with
// however many datagrams each, and whatever fills the table first.
TEST(AnswerLimit, ALoopEndsWhateverIsForged)
{
    using std::chrono::nanoseconds;
    const auto start = Answer_limit::Clock::time_point{} + std::chrono::hours(1);
    const std::uint32_t peer = 0x0a000009;
    const int over = Answer_limit::burst + 2; // a forged address refused at once
    const long lan = 10000, fast = 1000000, slow = 1000000000 / 60; // nanoseconds between exchanges
    const struct {
        const char* what;
        long period;
        bool in_peers_group; // else all over the table
        bool table_full_first; // a second of forged addresses bursting over their limit before the loop
        int each;              // datagrams from each forged address
        int flooders;          // addresses of the peer's group that send 100 a second throughout
    } cases[] = {
        {"at LAN speed, one datagram each", lan, true, false, 1, 0},
        {"at LAN speed, refused at once each", lan, true, false, over, 0},
        {"every millisecond, one datagram each", fast, true, false, 1, 0},
        {"every millisecond, refused at once each", fast, true, false, over, 0},
        {"60 a second, one datagram each", slow, true, false, 1, 0},
        {"60 a second, refused at once each", slow, true, false, over, 0},
        {"the peer's group full of refused addresses first", fast, true, true, over, 0},
        {"forged addresses all over", fast, false, false, over, 0},
        {"every group full of refused addresses first", fast, false, true, over, 0},
        {"in a group of flooders", slow, true, true, 1, Answer_limit::ways - 1},
    };
    for (const auto& c : cases) {
        const double rate = 1e9 / c.period;
        const int bound = static_cast<int>(Answer_limit::burst * rate / (rate - Answer_limit::per_second));
        for (int every = 1; every <= 100; ++every) {
            Answer_limit limit;
            Log_capture capture;
            std::vector<std::uint32_t> flooders;
            for (std::uint32_t a = 0x0b000000u; flooders.size() < static_cast<std::size_t>(c.flooders); ++a)
                if (Answer_limit::group_of(a) == Answer_limit::group_of(peer)) flooders.push_back(a);
            std::uint32_t forged = 0xc0000000u;
            const long before = c.table_full_first ? 1000000000 / c.period : 0;
            const long flood_every = std::max(1L, 10000000 / c.period); // 100 a second, or each exchange
            int answers = 0;
            for (long k = -before; k < 200000; ++k) {
                const auto now = start + nanoseconds(c.period * k);
                if (k == -before || k % flood_every == 0) // a burst first, then on: refused all along
                    for (std::uint32_t f : flooders)
                        for (int j = 0; j < (k == -before ? over : 1); ++j) limit.admit({f, 9000}, now);
                if (k % every == 0) {
                    while (c.in_peers_group && Answer_limit::group_of(++forged) != Answer_limit::group_of(peer)) {
                    }
                    for (int j = 0; j < c.each; ++j) limit.admit({forged, 9000}, now);
                    forged += !c.in_peers_group;
                }
                if (k < 0) continue;
                if (!limit.admit({peer, 9000}, now)) break; // the loop ends
                ++answers;
            }
            EXPECT_LE(answers, bound) << c.what << ", a fresh address every " << every << " exchanges";
        }
    }
}

// A newcomer to a full group takes the slot of an address that owes
// nothing, never the looping peer's, wherever in the group the peer sits.
TEST(AnswerLimit, AFullGroupForgetsOnlyAnAddressThatOwesNothing)
{
    using std::chrono::milliseconds;
    const auto start = Answer_limit::Clock::time_point{} + std::chrono::hours(1);
    std::vector<std::uint32_t> group; // ways + 1 addresses of one group
    for (std::uint32_t a = 0x0a000001; group.size() < Answer_limit::ways + 1; ++a)
        if (Answer_limit::group_of(a) == Answer_limit::group_of(0x0a000001)) group.push_back(a);
    auto send = [](Answer_limit& limit, std::uint32_t address, int count, Answer_limit::Clock::time_point at) {
        int admitted = 0;
        for (int k = 0; k < count; ++k) admitted += limit.admit({address, 9000}, at);
        return admitted;
    };
    for (std::size_t peer = 0; peer < Answer_limit::ways; ++peer) {
        Answer_limit limit;
        Log_capture capture;
        for (std::size_t i = 0; i < Answer_limit::ways; ++i) // one each, the peer over its limit
            send(limit, group[i], i == peer ? Answer_limit::burst + 2 : 1, start + milliseconds(i));
        const auto later = start + milliseconds(100); // all but the peer owe nothing by then
        EXPECT_EQ(send(limit, group[Answer_limit::ways], Answer_limit::burst, later), Answer_limit::burst) << peer;
        // The peer is remembered: what 100 ms at the steady rate allow, no new burst.
        EXPECT_LE(send(limit, group[peer], Answer_limit::burst, later), 100 * Answer_limit::per_second / 1000 + 1) << peer;
    }
    // When every address of the group owes, a newcomer shares the limit of
    // those that found no room, and takes on what it owes when it finds
    // room later: no second burst.
    Answer_limit limit;
    Log_capture capture;
    for (std::size_t i = 0; i < Answer_limit::ways; ++i) send(limit, group[i], Answer_limit::burst + 2, start);
    EXPECT_EQ(send(limit, group[Answer_limit::ways], Answer_limit::burst + 2, start + milliseconds(500)), Answer_limit::burst);
    // At 700 ms the group owes nothing; the shared limit owes until 1,140 ms.
    EXPECT_LE(send(limit, group[Answer_limit::ways], Answer_limit::burst, start + milliseconds(700)), Answer_limit::burst / 2);
}

TEST(AnswerLimit, TerminalsPassAndFloodsStayBounded)
{
    using std::chrono::milliseconds;
    const auto start = Answer_limit::Clock::time_point{} + std::chrono::hours(1);
    const int most = Answer_limit::burst + 10 * Answer_limit::per_second;
    const struct {
        int per_second;
        int at_least, at_most; // of ten seconds
    } rates[] = {
        {5, 50, 50}, {20, 200, 200}, {45, 450, 450}, // a person, a fast terminal with retries
        {100, most - 1, most}, // no other address takes any of its share
    };
    for (const auto& r : rates) {
        Answer_limit limit;
        Log_capture capture;
        int admitted = 0;
        for (int i = 0; i < 10 * r.per_second; ++i) {
            const auto now = start + milliseconds(i * 1000 / r.per_second);
            // A flood from forged addresses between the terminal's requests
            // neither blocks it nor resets its limit.
            for (std::uint32_t f = 0; f < 50; ++f) limit.admit({0xc0000000u + i * 50 + f, 9000}, now);
            admitted += limit.admit({0x0a000002, 9000}, now);
        }
        EXPECT_GE(admitted, r.at_least) << r.per_second << " a second";
        EXPECT_LE(admitted, r.at_most) << r.per_second << " a second";
    }
}

} // namespace
