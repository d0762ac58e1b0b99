// Plain C++ parts of the remote upload backend: event classification on texts, the back-off
// arithmetic, endpoint URL helpers and the pending queue with its drop index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::uplink {

// --- classification ------------------------------------------------------------------------

// True for an event type that marks a terminal or result event by itself: a ".completed",
// ".failed" or ".error" suffix, or one of the blocked / action types.
bool is_terminal_event_type(std::string_view event_type);

// The stream rule: a path naming a completed/blocked task or result, or a final status.
// `status` must already be trimmed and lower-cased.
bool is_terminal_stream(std::string_view path, std::string_view status);

// True when the event type names a high-frequency kind (deltas, streaming, heartbeats).
bool is_high_frequency_type(std::string_view event_type);

// Case-insensitive (ASCII) search for "heartbeat"; only valid for ASCII text.
bool ascii_mentions_heartbeat(std::string_view text);

// --- back-off ------------------------------------------------------------------------------

// min(base * 2^max(failures - 1, 0), cap), for any number of failures: never overflows or
// raises; a huge exponent simply reaches the cap.
double backoff_delay(double base, double cap, int64_t failures);

// --- endpoint URLs -------------------------------------------------------------------------

// Route prefix of a local listener for the URL path `path`: "/observation" for an empty path,
// the path without a trailing "/ingest", else the path without trailing slashes.
std::string route_prefix_for(std::string_view path);

// The user-info part ("user:password") of an absolute URL, or empty when there is none.
std::string_view url_userinfo(std::string_view url);

// The URL without its user-info ("http://u:p@h:1/x" -> "http://h:1/x"); unchanged otherwise.
std::string url_without_userinfo(std::string_view url);

// Replaces every occurrence of each non-empty secret in `text` with "***".
std::string redact(std::string text, const std::vector<std::string> &secrets);

// --- pending queue -------------------------------------------------------------------------

struct QueueEntry {
    void *item = nullptr;  // owned by the caller's bookkeeping (a strong reference)
    bool preferred = false;
    bool terminal = false;
    bool alive = true;
    bool captured = false;  // item is a capture (see sink.hpp), not the snapshot itself
};

// FIFO of entries with an index of the preferred-drop entries, so that the drop rule (the
// oldest preferred entry, else the oldest entry) picks its victim in O(1) amortised time.
// Removed entries in the middle become tombstones; the front is always a live entry, and the
// storage is compacted once tombstones outnumber live entries.
class PendingQueue {
public:
    size_t size() const { return live_; }
    bool empty() const { return live_ == 0; }

    void push_back(void *item, bool preferred, bool terminal, bool captured = false);
    void push_front(void *item, bool preferred, bool terminal);

    // Removes and returns the entry the drop rule chooses; nullopt when empty.
    std::optional<QueueEntry> drop_one();
    std::optional<QueueEntry> pop_front();
    std::optional<QueueEntry> pop_back();
    const QueueEntry *front() const { return live_ ? &q_.front() : nullptr; }

    // Calls f(entry) for live entries, oldest first, while f returns true.
    template <class F> void for_each(F &&f) const {
        for (const QueueEntry &e : q_)
            if (e.alive && !f(e))
                return;
    }

    // Removes everything, returning the live entries oldest first.
    std::vector<QueueEntry> take_all();

private:
    void trim();
    void maybe_compact();
    void rebuild_index();

    std::deque<QueueEntry> q_;
    std::deque<uint64_t> preferred_;  // sequence numbers of preferred entries, ascending
    uint64_t base_ = uint64_t(1) << 62;  // sequence number of q_.front()
    size_t live_ = 0;
};

}  // namespace orvane::uplink
