// Transactions for many connections gathered while nothing else is sent, then handed to each
// connection as one numbered block: a run of chat lines to thousands of clients costs each
// recipient one queue entry, and one copy when it is written, instead of one entry per line.
//
// Add() appends a transaction to the pending run for an audience. The recipients are asked for
// when a run begins and receive every transaction added to it. The run is handed over (each
// recipient numbers its transactions from its own counter) before anything else is sent,
// established, disconnected or destroyed on any connection, when the audience changes, when the
// run is full, and by the owner whenever something other than a run's transaction may have
// changed who should receive it. So every connection receives the same bytes, in the same order
// and under the same IDs, as if each transaction had been sent to it on its own.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "protocol/field_data.h"

namespace kx {

class TTransactObj;

class TTransactFanOut {
public:
    using TAudience = std::function<void(std::vector<TTransactObj*>&)>;
    // The most bytes a run gathers before it is handed over (one larger transaction is a run of
    // its own).
    static constexpr std::uint32_t kMaxRunBytes = 32 * 1024;

    // Adds a request of `type` with `data` for the audience `key` (any address that names it);
    // `audience` fills the recipients when a run begins.
    static void Add(const void* key, std::uint16_t type, TFieldDataObj data, const TAudience& audience);
    // Hands the pending run, if any, to its recipients.
    static void HandOver() {
        if (sPending) HandOverRun();
    }
    static bool Pending() { return sPending; }

private:
    static void HandOverRun();
    static bool sPending;
};

}  // namespace kx
