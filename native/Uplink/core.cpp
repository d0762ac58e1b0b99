#include "core.hpp"

#include <algorithm>
#include <cmath>

namespace orvane::uplink {

namespace {

bool ends_with(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool contains(std::string_view s, std::string_view needle) {
    return s.find(needle) != std::string_view::npos;
}

}  // namespace

bool is_terminal_event_type(std::string_view t) {
    if (ends_with(t, ".completed") || ends_with(t, ".failed") || ends_with(t, ".error"))
        return true;
    return t == "agent_task.blocked" || t == "agent_task.action.started" ||
           t == "agent_task.action.completed" || t == "agent_task.action.failed" ||
           t == "agent_task.action.error";
}

bool is_terminal_stream(std::string_view path, std::string_view status) {
    if (contains(path, "agent_task.completed") || contains(path, "agent_task.blocked") ||
        contains(path, "result.completed") || contains(path, "result.blocked"))
        return true;
    return status == "completed" || status == "blocked" || status == "failed" || status == "error";
}

bool is_high_frequency_type(std::string_view t) {
    return contains(t, "stream.delta") || contains(t, "streaming") || contains(t, "heartbeat");
}

bool ascii_mentions_heartbeat(std::string_view text) {
    static constexpr std::string_view needle = "heartbeat";
    if (text.size() < needle.size())
        return false;
    for (size_t i = 0; i + needle.size() <= text.size(); ++i) {
        size_t j = 0;
        for (; j < needle.size(); ++j) {
            char c = text[i + j];
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
            if (c != needle[j])
                break;
        }
        if (j == needle.size())
            return true;
    }
    return false;
}

double backoff_delay(double base, double cap, int64_t failures) {
    int64_t exponent = failures > 1 ? failures - 1 : 0;
    // 2^2000 is infinite as a double already; larger exponents change nothing.
    double delay = std::ldexp(base, static_cast<int>(std::min<int64_t>(exponent, 2000)));
    if (std::isnan(delay))
        return cap;
    return std::min(delay, cap);
}

std::string route_prefix_for(std::string_view path) {
    if (path.empty())
        path = "/observation/ingest";
    if (ends_with(path, "/ingest"))
        return std::string(path.substr(0, path.size() - 7));
    size_t end = path.size();
    while (end > 0 && path[end - 1] == '/')
        --end;
    return std::string(path.substr(0, end));
}

namespace {

// [start, end) of the network location of an absolute URL, or npos when there is none.
std::pair<size_t, size_t> netloc_span(std::string_view url) {
    size_t scheme_end = url.find("://");
    if (scheme_end == std::string_view::npos)
        return {std::string_view::npos, std::string_view::npos};
    size_t start = scheme_end + 3;
    size_t end = url.find_first_of("/?#", start);
    if (end == std::string_view::npos)
        end = url.size();
    return {start, end};
}

}  // namespace

std::string_view url_userinfo(std::string_view url) {
    auto [start, end] = netloc_span(url);
    if (start == std::string_view::npos)
        return {};
    std::string_view netloc = url.substr(start, end - start);
    size_t at = netloc.rfind('@');
    if (at == std::string_view::npos)
        return {};
    return netloc.substr(0, at);
}

std::string url_without_userinfo(std::string_view url) {
    auto [start, end] = netloc_span(url);
    if (start == std::string_view::npos)
        return std::string(url);
    std::string_view netloc = url.substr(start, end - start);
    size_t at = netloc.rfind('@');
    if (at == std::string_view::npos)
        return std::string(url);
    std::string out(url.substr(0, start));
    out.append(netloc.substr(at + 1));
    out.append(url.substr(end));
    return out;
}

std::string redact(std::string text, const std::vector<std::string> &secrets) {
    for (const std::string &secret : secrets) {
        if (secret.empty())
            continue;
        size_t pos = 0;
        while ((pos = text.find(secret, pos)) != std::string::npos) {
            text.replace(pos, secret.size(), "***");
            pos += 3;
        }
    }
    return text;
}

// --- PendingQueue ----------------------------------------------------------------------------

void PendingQueue::push_back(void *item, bool preferred, bool terminal, bool captured) {
    q_.push_back(QueueEntry{item, preferred, terminal, true, captured});
    if (preferred)
        preferred_.push_back(base_ + q_.size() - 1);
    ++live_;
}

void PendingQueue::push_front(void *item, bool preferred, bool terminal) {
    q_.push_front(QueueEntry{item, preferred, terminal, true});
    --base_;
    if (preferred)
        preferred_.push_front(base_);
    ++live_;
}

void PendingQueue::trim() {
    while (!q_.empty() && !q_.front().alive) {
        q_.pop_front();
        ++base_;
    }
    while (!q_.empty() && !q_.back().alive)
        q_.pop_back();
    while (!preferred_.empty() && preferred_.back() >= base_ + q_.size())
        preferred_.pop_back();
    while (!preferred_.empty() && preferred_.front() < base_)
        preferred_.pop_front();
}

void PendingQueue::rebuild_index() {
    preferred_.clear();
    for (size_t i = 0; i < q_.size(); ++i)
        if (q_[i].alive && q_[i].preferred)
            preferred_.push_back(base_ + i);
}

void PendingQueue::maybe_compact() {
    if (q_.size() <= 64 || q_.size() <= 2 * live_)
        return;
    std::deque<QueueEntry> kept;
    for (const QueueEntry &e : q_)
        if (e.alive)
            kept.push_back(e);
    q_.swap(kept);
    rebuild_index();
}

std::optional<QueueEntry> PendingQueue::drop_one() {
    if (live_ == 0)
        return std::nullopt;
    QueueEntry *victim = nullptr;
    while (!preferred_.empty()) {
        uint64_t seq = preferred_.front();
        preferred_.pop_front();
        if (seq < base_ || seq >= base_ + q_.size())
            continue;
        QueueEntry &e = q_[seq - base_];
        if (e.alive && e.preferred) {
            victim = &e;
            break;
        }
    }
    if (victim == nullptr)
        victim = &q_.front();  // the front is always live
    QueueEntry out = *victim;
    victim->alive = false;
    victim->item = nullptr;
    --live_;
    trim();
    maybe_compact();
    out.alive = false;
    return out;
}

std::optional<QueueEntry> PendingQueue::pop_front() {
    if (live_ == 0)
        return std::nullopt;
    QueueEntry out = q_.front();
    q_.front().alive = false;
    --live_;
    trim();
    maybe_compact();
    out.alive = false;
    return out;
}

std::optional<QueueEntry> PendingQueue::pop_back() {
    if (live_ == 0)
        return std::nullopt;
    QueueEntry out = q_.back();  // the back is always live
    q_.back().alive = false;
    --live_;
    trim();
    maybe_compact();
    out.alive = false;
    return out;
}

std::vector<QueueEntry> PendingQueue::take_all() {
    std::vector<QueueEntry> out;
    out.reserve(live_);
    for (const QueueEntry &e : q_)
        if (e.alive)
            out.push_back(e);
    q_.clear();
    preferred_.clear();
    live_ = 0;
    return out;
}

}  // namespace orvane::uplink
