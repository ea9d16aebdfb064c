#pragma once
// Every wait of the client on the network, with its default, in one place.
// The connection and the search window take their times from here; a test
// may pass shorter ones.

#include <chrono>

namespace velmario::lookup {

struct Timing {
    using ms = std::chrono::milliseconds;

    // Longest wait for the name server to give a host's addresses; the
    // connecting that follows has its own times.
    ms resolve{10000};
    // An attempt that has not connected by then is joined by one to the next
    // address (RFC 8305's Connection Attempt Delay); a failed attempt hands
    // over at once.
    ms attemptDelay{250};
    // Longest wait for one address to accept.
    ms connect{10000};
    // A lookup still unanswered after this is said to be under way; a quick
    // answer is not preceded by a status line that only flickers.
    ms lookingUp{150};
    // A lookup still unanswered after this is said to have had no answer
    // yet; the connection stays, and a later reply is still shown.
    ms replyOverdue{5000};
};

} // namespace velmario::lookup
