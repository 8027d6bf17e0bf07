// The rules for senders that the request loop applies before it answers:
// the networks it answers at all, the limit that breaks answer loops with
// another server, and the memory of recent answers that drops our own
// answer coming back (an echo).
#ifndef ULVANE_SENDER_RULES_H
#define ULVANE_SENDER_RULES_H

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "error.h"
#include "platform_network.h"

// Whom the server answers (-allow=): networks in CIDR form ("10.1.0.0/16";
// host bits are ignored, as firewalls do) or single addresses, at most
// `most`; every address while none is given. Loopback and the host's own
// addresses are not special. A datagram from any other address is dropped
// before its lookup; a WRN line says so at most once a minute per address
// (two addresses that meet in one slot of the table share their minute).
class Allowed_senders {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t most = 64;

    // Reads a comma-separated list; "any" or an empty one allows every
    // address. False, with `error` naming the entry and why, for an entry
    // that is no network and for more than `most`.
    bool read(std::string_view list, Error& error);
    // True when datagrams from `from` are answered; for one that is not,
    // the WRN line when it is due at `arrived`. Without a list, a test.
    bool admit(const Ipv4_endpoint& from, Clock::time_point arrived)
    {
        return my_count == 0 || admit_listed(from, arrived);
    }
    // The networks, "10.1.0.0/16, 192.168.10.7"; "every address" for none.
    std::string text() const;

private:
    bool admit_listed(const Ipv4_endpoint& from, Clock::time_point arrived);

    struct Network {
        std::uint32_t address; // its host bits zero
        std::uint32_t mask;
    };
    struct Warned {
        std::uint32_t address = 0;
        bool warned = false;
        Clock::time_point warned_at{};
    };
    std::array<Network, most> my_networks{};
    std::size_t my_count = 0;
    std::array<Warned, 256> my_warned{};
};

// Breaks answer loops with another server. Answers go to the sender's
// address at our own port, so another server there takes them for requests
// and answers them, and so on for ever. Only datagrams whose source port is
// the port we answer to can be part of such a loop; for those, admit allows
// per source address a burst of `burst` answers and then `per_second` a
// second (a person scanning, and a terminal's retries, stay far below), so a
// loop ends at its first unanswered datagram. Each address is limited by its
// own datagrams only. The table holds `slots` addresses in groups of `ways`;
// when an address finds its group full, one that owes nothing (its burst
// whole again; the one idle longest) is forgotten and starts afresh when it
// comes back. An address that owes anything is never forgotten, and a loop
// faster than `per_second` always owes: so whatever others send, forged
// addresses among them, a loop of r exchanges a second gets at most
// burst * r / (r - per_second) answers before its refusal, as if alone.
// When every address of the group owes, the newcomer shares one more limit
// with all others that found no room (and takes on what that limit owes
// when it finds room later), so that no sender goes unlimited, and memory
// stays bounded.
class Answer_limit {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int burst = 32;
    static constexpr int per_second = 50;
    static constexpr std::size_t slots = 4096;
    static constexpr std::size_t ways = 8;

    // True when the datagram from `from` (at our own port) that arrived at
    // `arrived` may be answered. A dropped datagram gives a WRN line naming
    // the sender and its rate, at most one a minute per address (for those
    // that found no room, one a minute for all of them).
    bool admit(const Ipv4_endpoint& from, Clock::time_point arrived);
    // Which group of the table an address falls into.
    static std::size_t group_of(std::uint32_t address);

private:
    struct Slot {
        std::uint32_t address = 0;
        bool used = false;
        bool warned = false;
        int seen = 0; // datagrams since `second_began`
        Clock::time_point second_began{};
        Clock::time_point next_due{}; // when the next answer is due at the steady rate
        Clock::time_point warned_at{};
    };
    static constexpr Clock::duration interval = std::chrono::nanoseconds(std::chrono::seconds(1)) / per_second;
    static bool is_spared(const Slot& slot, Clock::time_point now);
    // The address's slot; the shared one when its group has no room.
    Slot& slot_of(std::uint32_t address, Clock::time_point now);

    std::array<Slot, slots> my_slots{};
    Slot my_no_room; // shared by the addresses that found no room
};

// Ends loops through a third party that returns what it receives from
// another port (an echo service, a NAT): a datagram that holds exactly the
// bytes we answered to its address within the last second is our own answer
// coming back, whatever its port. A terminal may scan the very code an
// answer showed it (a shelf label's answer showing the article's code, then
// the article), so for a barcode of ours the first such datagram a second
// is answered; a loop, which returns every answer, still ends at the second.
// Remembers the last answer to each of `slots` addresses (two that meet in
// one slot forget each other's, which lets at most one more echo through).
class Recent_answers {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t slots = 1024;

    // Remembers `answer`, sent to `address` at `now`.
    void sent(std::uint32_t address, std::string_view answer, Clock::time_point now);
    // True when `datagram` from `from`, arrived at `arrived`, is the answer
    // last sent there within the last second.
    bool holds_last_answer(const Ipv4_endpoint& from, std::string_view datagram, Clock::time_point arrived) const;
    // True when it is, and not the first such a second for a barcode of
    // ours; says so in a WRN line, at most one a minute per address.
    bool is_echo(const Ipv4_endpoint& from, std::string_view datagram, Clock::time_point arrived, bool ours = false);

private:
    struct Slot {
        std::uint32_t address = 0;
        bool used = false;
        bool warned = false;
        bool look_alike = false; // one was answered at `look_alike_at`
        std::size_t size = 0;
        std::size_t hash = 0;
        Clock::time_point sent_at{};
        Clock::time_point warned_at{};
        Clock::time_point look_alike_at{};
    };
    static std::size_t slot_index(std::uint32_t address) { return address * 2654435761u >> 22; }
    std::array<Slot, slots> my_slots{};
};

#endif
