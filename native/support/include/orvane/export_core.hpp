// Plain C++ parts of the HTTP export queue shared by the exporters (the upload backend, the
// OTLP exporter): the pending queue with its drop index, the back-off arithmetic, Retry-After,
// the answer verdicts and the batch splitting they lead to, and endpoint URL helpers (parsing,
// credentials, masking of secrets for display). Nothing here touches Python; the Python-facing
// half is export_queue.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvane::exporting {

// --- pending queue ---------------------------------------------------------------------------

struct QueueEntry {
    void *item = nullptr;    // a strong reference owned by the queue's holder
    bool preferred = false;  // the drop rule takes these first (oldest first)
    bool terminal = false;   // counted apart when dropped (never preferred)
    bool alive = true;
    bool compact = false;    // exporter-defined: the item is a compact capture, not the final object
};

// FIFO of entries with an index of the preferred-drop entries, so that the drop rule (the
// oldest preferred entry, else the oldest entry) picks its victim in O(1) amortised time.
// Removed entries in the middle become tombstones; the front and the back are always live
// entries, and the storage is compacted once tombstones outnumber live entries.
class PendingQueue {
public:
    size_t size() const { return live_; }
    bool empty() const { return live_ == 0; }

    void push_back(void *item, bool preferred, bool terminal, bool compact = false);
    void push_front(void *item, bool preferred, bool terminal, bool compact = false);

    // Removes and returns the entry the drop rule chooses; nullopt when empty.
    std::optional<QueueEntry> drop_one();
    std::optional<QueueEntry> pop_front();
    std::optional<QueueEntry> pop_back();
    // Removes the live entry holding `item` (the one nearest the front); nullopt when absent.
    std::optional<QueueEntry> remove(const void *item);
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
    QueueEntry kill(QueueEntry &e);
    void trim();
    void maybe_compact();
    void rebuild_index();

    std::deque<QueueEntry> q_;
    std::deque<uint64_t> preferred_;  // sequence numbers of preferred entries, ascending
    uint64_t base_ = uint64_t(1) << 62;  // sequence number of q_.front()
    size_t live_ = 0;
};

// --- back-off and Retry-After ----------------------------------------------------------------

// min(base * 2^max(failures - 1, 0), cap), for any number of failures: never overflows or
// raises; a huge exponent simply reaches the cap.
double backoff_delay(double base, double cap, int64_t failures);

// The delay an HTTP Retry-After value asks for, in seconds from `now_epoch` (wall-clock seconds
// since the epoch): delay-seconds ("120", fractions accepted) or an HTTP-date (IMF-fixdate
// "Sun, 06 Nov 1994 08:49:37 GMT", RFC 850 "Sunday, 06-Nov-94 08:49:37 GMT" or asctime
// "Sun Nov  6 08:49:37 1994"). A date in the past gives 0. nullopt for anything else.
std::optional<double> parse_retry_after(std::string_view value, double now_epoch);

// The wait before the next attempt: the back-off delay, lengthened to what the server asked
// for, never beyond `cap`.
double retry_delay(double backoff, std::optional<double> retry_after, double cap);

// --- answers -----------------------------------------------------------------------------------

// What one answer to an export request means for the items it carried.
enum class Verdict : unsigned char {
    Delivered,  // accepted: the items leave the queue
    Retry,      // not now (unreachable, 429, 5xx, 401/403 ...): items stay, back off
    Split,      // the request as a whole was refused (too large, some item malformed): send the
                // halves; a single item refused this way is set aside
    Drop,       // final for the whole request: its items leave the queue, counted, never retried
};

// Verdict of the upload backend for an HTTP status: 2xx delivered; 413, 400 and 422 split;
// everything else (401/403 included: the key may be fixed) retried with back-off.
Verdict upload_verdict(int status);

// Ranges [begin, end) of one batch still to send, left to right. A refused range is split in
// two halves that take its place, so ranges leave in queue order.
class SplitPlan {
public:
    explicit SplitPlan(size_t count) {
        if (count > 0)
            stack_.push_back({0, count});
    }
    bool empty() const { return stack_.empty(); }
    std::pair<size_t, size_t> next() const { return stack_.back(); }
    void done() { stack_.pop_back(); }
    // Replaces the current range by its halves; false (nothing changed) for a single item.
    bool split();

private:
    std::vector<std::pair<size_t, size_t>> stack_;  // the next range is at the back
};

// --- endpoint URLs ---------------------------------------------------------------------------

// The parts of an absolute URL "scheme://userinfo@host:port/path?query#fragment"; views into
// the given text. `has_authority` is false when there is no "://".
struct UrlParts {
    bool has_authority = false;
    std::string_view scheme, userinfo, host, port, path, query, fragment;
    bool has_userinfo = false, has_port = false;
};
UrlParts split_url(std::string_view url);

// The port of `url` as written: nullopt when there is none; -1 when it is not a number in
// 1..65535.
std::optional<long> url_port(std::string_view url);

// Route prefix of a local listener for the URL path `path`: "/observation" for an empty path,
// the path without a trailing "/ingest", else the path without trailing slashes.
std::string route_prefix_for(std::string_view path);

// The user-info part ("user:password") of an absolute URL, or empty when there is none.
std::string_view url_userinfo(std::string_view url);

// The URL without its user-info ("http://u:p@h:1/x" -> "http://h:1/x"); unchanged otherwise.
std::string url_without_userinfo(std::string_view url);

// True for a query parameter name whose value is a secret: compared case-insensitively with
// "-" and "_" alike, its last word (split on "_", "-", "." and lower-to-upper case changes) is
// token, secret, password, passwd, pwd, passphrase, sig, signature, credential(s), auth,
// authorization, apikey, jwt, sas, session, sessionid or cookie; or it is "key" alone or after
// api/private/secret/access/auth/client/account/subscription/signing/session/master; or it is
// "code". Counts and other words stay visible ("max_tokens", "token_count", "keyboard").
bool is_secret_query_name(std::string_view name);

// The URL with the value of every secret-looking query parameter replaced by `mask`.
std::string mask_query_secrets(std::string_view url, std::string_view mask = "***");

// In any text (an error message, a log line): the value after "?name=" or "&name=" for a
// secret-looking name is replaced by `mask`, up to the next "&", "#", quote or white space.
std::string mask_query_secrets_in_text(std::string_view text, std::string_view mask = "***");

// The values of the secret-looking query parameters of `url` (as written and percent-decoded).
std::vector<std::string> query_secret_values(std::string_view url);

// The URL as it may be shown: without user-info, secret query values masked.
std::string public_url(std::string_view url);

// RFC 3986 percent-decoding ("%41" -> "A"); malformed escapes are kept as written.
std::string percent_decode(std::string_view text);
// Percent-encoding of everything but the unreserved characters.
std::string percent_encode(std::string_view text);
std::string base64_encode(std::string_view bytes);

// "Basic <base64(user:password)>" for the user-info of a URL, its parts percent-decoded, as an
// HTTP client sends credentials written into the URL; empty when there is no user-info.
std::string basic_authorization(std::string_view userinfo);

// Replaces each secret in `text` by "***". A secret of 8 or more characters is replaced wherever
// it occurs. A shorter one only where it stands as a whole token: no ASCII letter or digit right
// before or after it (a percent escape before it counts as a boundary), so that a short key does
// not garble ordinary words ("check", "unknown") while "key=k" or "Bearer k" are still masked.
// Secrets are tried longest first.
std::string redact(std::string text, std::vector<std::string> secrets);

}  // namespace orvane::exporting
