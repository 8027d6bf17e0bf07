#include "sender_rules.h"

#include <algorithm>

#include "command_line.h"
#include "escapes.h"
#include "log.h"

namespace {

// A line about one address at most once a minute: true, and the time
// noted, when one is due at `now`.
bool due_for_a_line(bool& warned, std::chrono::steady_clock::time_point& warned_at,
                    std::chrono::steady_clock::time_point now)
{
    if (warned && now - warned_at < std::chrono::minutes(1)) return false;
    warned = true;
    warned_at = now;
    return true;
}

} // namespace

std::size_t Answer_limit::group_of(std::uint32_t address)
{
    // Addresses of one subnet, which differ in their low bits, fall into
    // groups of their own.
    const std::uint32_t hash = (address ^ (address >> 16)) * 2654435761u;
    return (hash >> 8) % (slots / ways);
}

// A loop's peer must reach its refusal whatever newcomers its group sees:
// an address that owes anything (its next answer due ahead of now) is never
// the one forgotten, since forgetting it would hand it a whole new burst. A
// loop faster than the steady rate always owes: each exchange adds a whole
// interval to its debt, and less than that passes before the next one.
bool Answer_limit::is_spared(const Slot& slot, Clock::time_point now)
{
    return slot.next_due > now;
}

Answer_limit::Slot& Answer_limit::slot_of(std::uint32_t address, Clock::time_point now)
{
    Slot* const group = &my_slots[group_of(address) * ways];
    Slot* forget = nullptr;
    for (Slot* slot = group; slot != group + ways; ++slot) {
        if (slot->used && slot->address == address) return *slot;
        if (slot->used && is_spared(*slot, now)) continue;
        if (forget == nullptr || !slot->used || (forget->used && slot->next_due < forget->next_due)) forget = slot;
    }
    if (forget == nullptr) {
        if (!my_no_room.used) {
            my_no_room.used = true;
            my_no_room.second_began = now;
            my_no_room.next_due = now;
        }
        my_no_room.address = address; // the latest, for its line
        return my_no_room;
    }
    // A newcomer takes on what those that found no room owe: one of them
    // (a loop's peer, say) gets no fresh burst by finding room at last.
    *forget = Slot{};
    forget->address = address;
    forget->used = true;
    forget->second_began = now;
    forget->next_due = std::max(now, my_no_room.next_due);
    return *forget;
}

bool Answer_limit::admit(const Ipv4_endpoint& from, Clock::time_point arrived)
{
    // A token bucket kept as the time the next answer is due: a burst may
    // run that far ahead of the clock, and no further.
    const Clock::duration ahead = (burst - 1) * interval;
    Slot& slot = slot_of(from.address, arrived);
    if (arrived - slot.second_began >= std::chrono::seconds(1)) {
        slot.second_began = arrived;
        slot.seen = 0;
    }
    ++slot.seen;
    const Clock::time_point due = std::max(slot.next_due, arrived);
    if (due - arrived <= ahead) {
        slot.next_due = due + interval;
        return true;
    }
    if (!due_for_a_line(slot.warned, slot.warned_at, arrived)) return false;
    if (&slot == &my_no_room) {
        LOG_WRN("Too many messages at our port from addresses that the limit has no room to remember (the latest from "
                << address_text(from.address) << "." << from.port << "): " << slot.seen
                << " within a second, not answered (likely many senders at our port over their limit, forged ones"
                   " among them). Further drops of these are logged at most once a minute.");
    } else {
        LOG_WRN("Too many messages from " << address_text(from.address) << "." << from.port << ": " << slot.seen
                                          << " within a second from this address at our port, not answered"
                                             " (likely another server there answering our answers, or a sender"
                                             " at our port sending too fast). Further drops from this address"
                                             " are logged at most once a minute.");
    }
    return false;
}

static_assert(Recent_answers::slots == 1024, "the slot is the top 10 bits of the address's hash");

void Recent_answers::sent(std::uint32_t address, std::string_view answer, Clock::time_point now)
{
    Slot& slot = my_slots[slot_index(address)];
    if (!slot.used || slot.address != address) slot = Slot{};
    slot.address = address;
    slot.used = true;
    slot.size = answer.size();
    slot.hash = std::hash<std::string_view>()(answer);
    slot.sent_at = now;
}

bool Recent_answers::holds_last_answer(const Ipv4_endpoint& from, std::string_view datagram,
                                      Clock::time_point arrived) const
{
    const Slot& slot = my_slots[slot_index(from.address)];
    return slot.used && slot.address == from.address && slot.size == datagram.size() &&
           arrived - slot.sent_at <= std::chrono::seconds(1) && slot.hash == std::hash<std::string_view>()(datagram);
}

bool Recent_answers::is_echo(const Ipv4_endpoint& from, std::string_view datagram, Clock::time_point arrived,
                             bool ours)
{
    if (!holds_last_answer(from, datagram, arrived)) return false;
    Slot& slot = my_slots[slot_index(from.address)];
    if (ours && !(slot.look_alike && arrived - slot.look_alike_at < std::chrono::seconds(1))) {
        slot.look_alike = true;
        slot.look_alike_at = arrived;
        return false;
    }
    if (due_for_a_line(slot.warned, slot.warned_at, arrived)) {
        LOG_WRN("Message from " << address_text(from.address) << "." << from.port
                                << " holds our last answer to that address: not answered (likely a service there"
                                   " that returns what it receives). Further ones from this address are logged"
                                   " at most once a minute.");
    }
    return true;
}

bool Allowed_senders::read(std::string_view list, Error& error)
{
    my_count = 0;
    if (list == "any") return true;
    while (!list.empty()) {
        const std::string entry = next_list_entry(list);
        const std::size_t slash = entry.find('/');
        std::uint32_t address = 0;
        int bits = 32;
        const std::string prefix = slash == std::string::npos ? "" : entry.substr(slash + 1);
        const bool prefix_right = slash == std::string::npos ||
                                  (!prefix.empty() && prefix.size() <= 2 &&
                                   prefix.find_first_not_of("0123456789") == std::string::npos &&
                                   (bits = std::stoi(prefix)) <= 32);
        if (!address_from_text(entry.substr(0, slash), address) || !prefix_right) {
            error = {0, "\"" + entry + "\" is no network: write an address (192.168.10.7) or a network in CIDR form "
                        "(192.168.10.0/24)"};
            return false;
        }
        if (my_count == most) {
            error = {0, "more than " + std::to_string(most) + " networks"};
            return false;
        }
        const std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t(0) << (32 - bits);
        my_networks[my_count++] = {address & mask, mask};
    }
    return true;
}

bool Allowed_senders::admit_listed(const Ipv4_endpoint& from, Clock::time_point arrived)
{
    for (std::size_t i = 0; i < my_count; ++i)
        if ((from.address & my_networks[i].mask) == my_networks[i].address) return true;
    // Forged addresses cannot make a line each: one that meets another's
    // fresh line in its slot shares that line's minute.
    Warned& slot = my_warned[(from.address * 2654435761u) >> 24];
    if (slot.address != from.address && !(slot.warned && arrived - slot.warned_at < std::chrono::minutes(1))) {
        slot.address = from.address;
        slot.warned = false;
    }
    if (slot.address == from.address && due_for_a_line(slot.warned, slot.warned_at, arrived))
        LOG_WRN("Message from " << address_text(from.address) << "." << from.port
                                << " comes from outside the networks answered (-allow): not answered. "
                                   "Said once a minute for each address.");
    return false;
}

std::string Allowed_senders::text() const
{
    if (my_count == 0) return "every address";
    std::string text;
    for (std::size_t i = 0; i < my_count; ++i) {
        const Network& n = my_networks[i];
        int bits = 0;
        while (bits < 32 && (n.mask & (0x80000000u >> bits)) != 0) ++bits;
        text += (i == 0 ? "" : ", ") + address_text(n.address) + (bits == 32 ? "" : "/" + std::to_string(bits));
    }
    return text;
}
