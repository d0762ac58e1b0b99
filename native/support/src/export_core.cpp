// Plain C++ parts of the shared HTTP export queue; see export_core.hpp.
#include "orvane/export_core.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace orvane::exporting {

namespace {

bool ends_with(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_alnum(char c) { return is_digit(c) || is_alpha(c); }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

}  // namespace

// --- PendingQueue ----------------------------------------------------------------------------

void PendingQueue::push_back(void *item, bool preferred, bool terminal, bool compact) {
    q_.push_back(QueueEntry{item, preferred, terminal, true, compact});
    if (preferred)
        preferred_.push_back(base_ + q_.size() - 1);
    ++live_;
}

void PendingQueue::push_front(void *item, bool preferred, bool terminal, bool compact) {
    q_.push_front(QueueEntry{item, preferred, terminal, true, compact});
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

// Turns a live entry into a tombstone and restores the invariants; returns what it held.
QueueEntry PendingQueue::kill(QueueEntry &e) {
    QueueEntry out = e;
    e.alive = false;
    e.item = nullptr;
    --live_;
    trim();
    maybe_compact();
    out.alive = false;
    return out;
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
    return kill(*victim);
}

std::optional<QueueEntry> PendingQueue::pop_front() {
    if (live_ == 0)
        return std::nullopt;
    return kill(q_.front());
}

std::optional<QueueEntry> PendingQueue::pop_back() {
    if (live_ == 0)
        return std::nullopt;
    return kill(q_.back());  // the back is always live
}

std::optional<QueueEntry> PendingQueue::remove(const void *item) {
    for (QueueEntry &e : q_)
        if (e.alive && e.item == item)
            return kill(e);  // the preferred index skips tombstones lazily
    return std::nullopt;
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

// --- back-off and Retry-After ----------------------------------------------------------------

double backoff_delay(double base, double cap, int64_t failures) {
    int64_t exponent = failures > 1 ? failures - 1 : 0;
    // 2^2000 is infinite as a double already; larger exponents change nothing.
    double delay = std::ldexp(base, static_cast<int>(std::min<int64_t>(exponent, 2000)));
    if (std::isnan(delay))
        return cap;
    return std::min(delay, cap);
}

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

std::optional<int> number(std::string_view s, size_t min_digits, size_t max_digits) {
    if (s.size() < min_digits || s.size() > max_digits)
        return std::nullopt;
    int v = 0;
    for (char c : s) {
        if (!is_digit(c))
            return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

std::optional<int> month_of(std::string_view s) {
    static constexpr std::array<std::string_view, 12> names = {"jan", "feb", "mar", "apr", "may", "jun",
                                                               "jul", "aug", "sep", "oct", "nov", "dec"};
    for (size_t i = 0; i < names.size(); ++i)
        if (iequals(s, names[i]))
            return static_cast<int>(i) + 1;
    return std::nullopt;
}

// Days from 1970-01-01 to y-m-d in the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

std::optional<double> epoch_of(int year, int month, int day, std::string_view clock) {
    if (clock.size() != 8 || clock[2] != ':' || clock[5] != ':')
        return std::nullopt;
    auto h = number(clock.substr(0, 2), 2, 2), mi = number(clock.substr(3, 2), 2, 2),
         s = number(clock.substr(6, 2), 2, 2);
    if (!h || !mi || !s || *h > 23 || *mi > 59 || *s > 60 || day < 1 || day > 31)
        return std::nullopt;
    return static_cast<double>(days_from_civil(year, month, day)) * 86400.0 + *h * 3600.0 + *mi * 60.0 + *s;
}

}  // namespace

std::optional<double> parse_retry_after(std::string_view value, double now_epoch) {
    value = trim(value);
    if (value.empty())
        return std::nullopt;
    if (is_digit(value.front())) {
        // delay-seconds; a fraction is accepted, anything else after the digits is not.
        size_t i = 0;
        double seconds = 0;
        while (i < value.size() && is_digit(value[i]))
            seconds = seconds * 10 + (value[i++] - '0');
        if (i < value.size() && value[i] == '.') {
            double scale = 0.1;
            ++i;
            while (i < value.size() && is_digit(value[i])) {
                seconds += (value[i++] - '0') * scale;
                scale /= 10;
            }
        }
        if (i != value.size() || !std::isfinite(seconds))
            return std::nullopt;
        return seconds;
    }
    // HTTP-date: split on spaces and commas (and dashes in the RFC 850 form).
    std::vector<std::string_view> tokens;
    size_t start = 0;
    for (size_t i = 0; i <= value.size(); ++i) {
        if (i == value.size() || value[i] == ' ' || value[i] == ',' || value[i] == '-') {
            if (i > start)
                tokens.push_back(value.substr(start, i - start));
            start = i + 1;
        }
    }
    std::optional<double> at;
    if (tokens.size() == 6 && iequals(tokens[5], "GMT")) {
        // IMF-fixdate "Sun, 06 Nov 1994 08:49:37 GMT" or RFC 850 "Sunday, 06-Nov-94 08:49:37 GMT"
        auto day = number(tokens[1], 1, 2);
        auto month = month_of(tokens[2]);
        auto year = number(tokens[3], 2, 4);
        if (day && month && year && tokens[3].size() != 3) {
            int y = *year;
            if (tokens[3].size() == 2)
                y += y < 70 ? 2000 : 1900;
            at = epoch_of(y, *month, *day, tokens[4]);
        }
    } else if (tokens.size() == 5) {
        // asctime "Sun Nov  6 08:49:37 1994"
        auto month = month_of(tokens[1]);
        auto day = number(tokens[2], 1, 2);
        auto year = number(tokens[4], 4, 4);
        if (day && month && year)
            at = epoch_of(*year, *month, *day, tokens[3]);
    }
    if (!at)
        return std::nullopt;
    return std::max(0.0, *at - now_epoch);
}

double retry_delay(double backoff, std::optional<double> retry_after, double cap) {
    double delay = backoff;
    if (retry_after && *retry_after > delay)
        delay = *retry_after;
    if (std::isnan(delay))
        return cap;
    return std::min(delay, cap);
}

// --- answers ---------------------------------------------------------------------------------

Verdict upload_verdict(int status) {
    if (status >= 200 && status < 300)
        return Verdict::Delivered;
    if (status == 413 || status == 400 || status == 422)
        return Verdict::Split;
    return Verdict::Retry;
}

bool SplitPlan::split() {
    auto [begin, end] = stack_.back();
    if (end - begin < 2)
        return false;
    size_t mid = begin + (end - begin) / 2;
    stack_.pop_back();
    stack_.push_back({mid, end});
    stack_.push_back({begin, mid});
    return true;
}

// --- endpoint URLs ---------------------------------------------------------------------------

UrlParts split_url(std::string_view url) {
    UrlParts p;
    size_t scheme_end = url.find("://");
    size_t rest = 0;
    if (scheme_end != std::string_view::npos && url.find_first_of("/?#") >= scheme_end) {
        p.has_authority = true;
        p.scheme = url.substr(0, scheme_end);
        size_t start = scheme_end + 3;
        size_t end = url.find_first_of("/?#", start);
        if (end == std::string_view::npos)
            end = url.size();
        std::string_view authority = url.substr(start, end - start);
        size_t at = authority.rfind('@');
        std::string_view hostport = authority;
        if (at != std::string_view::npos) {
            p.has_userinfo = true;
            p.userinfo = authority.substr(0, at);
            hostport = authority.substr(at + 1);
        }
        size_t host_end = 0;
        if (!hostport.empty() && hostport.front() == '[') {
            size_t close = hostport.find(']');
            host_end = close == std::string_view::npos ? hostport.size() : close + 1;
        } else {
            host_end = hostport.find(':');
            if (host_end == std::string_view::npos)
                host_end = hostport.size();
        }
        p.host = hostport.substr(0, host_end);
        if (host_end < hostport.size() && hostport[host_end] == ':') {
            p.has_port = true;
            p.port = hostport.substr(host_end + 1);
        }
        rest = end;
    }
    std::string_view tail = url.substr(rest);
    size_t hash = tail.find('#');
    if (hash != std::string_view::npos) {
        p.fragment = tail.substr(hash + 1);
        tail = tail.substr(0, hash);
    }
    size_t q = tail.find('?');
    if (q != std::string_view::npos) {
        p.query = tail.substr(q + 1);
        tail = tail.substr(0, q);
    }
    p.path = tail;
    return p;
}

std::optional<long> url_port(std::string_view url) {
    UrlParts p = split_url(url);
    if (!p.has_port || p.port.empty())
        return std::nullopt;
    if (p.port.size() > 5)
        return -1;
    auto v = number(p.port, 1, 5);
    if (!v || *v < 1 || *v > 65535)
        return -1;
    return *v;
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

std::string_view url_userinfo(std::string_view url) {
    UrlParts p = split_url(url);
    return p.has_userinfo ? p.userinfo : std::string_view();
}

std::string url_without_userinfo(std::string_view url) {
    UrlParts p = split_url(url);
    if (!p.has_userinfo)
        return std::string(url);
    size_t start = static_cast<size_t>(p.userinfo.data() - url.data());
    std::string out(url.substr(0, start));
    out.append(url.substr(start + p.userinfo.size() + 1));
    return out;
}

std::string percent_decode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    auto hex = [](char c) { return is_digit(c) ? c - '0' : lower(c) - 'a' + 10; };
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && is_hex(text[i + 1]) && is_hex(text[i + 2])) {
            out.push_back(static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string percent_encode(std::string_view text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        if (is_alnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(c);
        } else {
            unsigned char u = static_cast<unsigned char>(c);
            out.push_back('%');
            out.push_back(digits[u >> 4]);
            out.push_back(digits[u & 15]);
        }
    }
    return out;
}

std::string base64_encode(std::string_view bytes) {
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t v = (uint32_t(uint8_t(bytes[i])) << 16) | (uint32_t(uint8_t(bytes[i + 1])) << 8) |
                     uint8_t(bytes[i + 2]);
        out.push_back(table[(v >> 18) & 63]);
        out.push_back(table[(v >> 12) & 63]);
        out.push_back(table[(v >> 6) & 63]);
        out.push_back(table[v & 63]);
    }
    if (size_t left = bytes.size() - i) {
        uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
        if (left == 2)
            v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        out.push_back(table[(v >> 18) & 63]);
        out.push_back(table[(v >> 12) & 63]);
        out.push_back(left == 2 ? table[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

std::string basic_authorization(std::string_view userinfo) {
    if (userinfo.empty())
        return {};
    size_t colon = userinfo.find(':');
    std::string user = percent_decode(userinfo.substr(0, colon));
    std::string password = colon == std::string_view::npos ? std::string() : percent_decode(userinfo.substr(colon + 1));
    return "Basic " + base64_encode(user + ":" + password);
}

namespace {

// The words of a name split on "_", "-", "." and lower-to-upper case changes, lower-cased.
std::vector<std::string> name_words(std::string_view name) {
    std::vector<std::string> words;
    std::string word;
    char prev = 0;
    for (char c : name) {
        if (c == '_' || c == '-' || c == '.' || c == ' ') {
            if (!word.empty())
                words.push_back(std::move(word));
            word.clear();
        } else {
            if (!word.empty() && c >= 'A' && c <= 'Z' && prev >= 'a' && prev <= 'z') {
                words.push_back(std::move(word));
                word.clear();
            }
            word.push_back(lower(c));
        }
        prev = c;
    }
    if (!word.empty())
        words.push_back(std::move(word));
    return words;
}

bool one_of(std::string_view word, std::initializer_list<std::string_view> list) {
    return std::find(list.begin(), list.end(), word) != list.end();
}

}  // namespace

bool is_secret_query_name(std::string_view raw_name) {
    std::string name = percent_decode(raw_name);
    std::vector<std::string> words = name_words(name);
    if (words.empty())
        return false;
    const std::string &last = words.back();
    if (words.size() == 1 && last == "code")
        return true;
    if (one_of(last, {"token", "secret", "password", "passwd", "pwd", "passphrase", "sig", "signature",
                      "credential", "credentials", "auth", "authorization", "apikey", "jwt", "sas",
                      "session", "sessionid", "cookie"}))
        return true;
    if (last == "key") {
        if (words.size() == 1)
            return true;
        return one_of(words[words.size() - 2], {"api", "private", "secret", "access", "auth", "client", "account",
                                                "subscription", "signing", "session", "master", "app",
                                                "application", "shared", "sas"});
    }
    return false;
}

namespace {

// Calls f(name, value_begin, value_end) (offsets into `params`) for each "name=value" pair of a
// query or fragment.
template <class F> void for_each_param(std::string_view params, size_t offset, F &&f) {
    size_t start = 0;
    while (start <= params.size()) {
        size_t end = params.find('&', start);
        if (end == std::string_view::npos)
            end = params.size();
        std::string_view pair = params.substr(start, end - start);
        size_t eq = pair.find('=');
        if (eq != std::string_view::npos)
            f(pair.substr(0, eq), offset + start + eq + 1, offset + end);
        start = end + 1;
    }
}

// Spans [begin, end) of the secret parameter values in `url` (query and fragment), ascending.
std::vector<std::pair<size_t, size_t>> secret_spans(std::string_view url) {
    std::vector<std::pair<size_t, size_t>> spans;
    UrlParts p = split_url(url);
    for (std::string_view part : {p.query, p.fragment}) {
        if (part.empty())
            continue;
        size_t offset = static_cast<size_t>(part.data() - url.data());
        for_each_param(part, offset, [&](std::string_view name, size_t b, size_t e) {
            if (e > b && is_secret_query_name(name))
                spans.push_back({b, e});
        });
    }
    return spans;
}

}  // namespace

std::string mask_query_secrets(std::string_view url, std::string_view mask) {
    std::string out;
    size_t at = 0;
    for (auto [b, e] : secret_spans(url)) {
        out.append(url.substr(at, b - at));
        out.append(mask);
        at = e;
    }
    out.append(url.substr(at));
    return out;
}

std::vector<std::string> query_secret_values(std::string_view url) {
    std::vector<std::string> out;
    for (auto [b, e] : secret_spans(url)) {
        std::string_view raw = url.substr(b, e - b);
        out.emplace_back(raw);
        std::string decoded = percent_decode(raw);
        if (decoded != raw)
            out.push_back(std::move(decoded));
    }
    return out;
}

std::string mask_query_secrets_in_text(std::string_view text, std::string_view mask) {
    auto name_char = [](char c) { return is_alnum(c) || c == '_' || c == '-' || c == '.' || c == '%'; };
    auto value_end = [](char c) {
        return c == '&' || c == '#' || c == '"' || c == '\'' || c == ' ' || c == '\t' || c == '\n' ||
               c == '\r' || c == '<' || c == '>' || c == ')';
    };
    std::string out;
    size_t at = 0, i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c != '?' && c != '&' && c != '#') {
            ++i;
            continue;
        }
        size_t n = i + 1;
        while (n < text.size() && name_char(text[n]))
            ++n;
        if (n == i + 1 || n >= text.size() || text[n] != '=' || !is_secret_query_name(text.substr(i + 1, n - i - 1))) {
            i = n > i + 1 ? n : i + 1;
            continue;
        }
        size_t v = n + 1, e = v;
        while (e < text.size() && !value_end(text[e]))
            ++e;
        if (e > v) {
            out.append(text.substr(at, v - at));
            out.append(mask);
            at = e;
        }
        i = e;
    }
    out.append(text.substr(at));
    return out;
}

std::string public_url(std::string_view url) { return mask_query_secrets(url_without_userinfo(url)); }

std::string redact(std::string text, std::vector<std::string> secrets) {
    std::sort(secrets.begin(), secrets.end(), [](const std::string &a, const std::string &b) {
        return a.size() > b.size();
    });
    secrets.erase(std::unique(secrets.begin(), secrets.end()), secrets.end());
    for (const std::string &secret : secrets) {
        if (secret.empty())
            continue;
        bool anywhere = secret.size() >= 8;
        std::string out;
        size_t at = 0, pos = 0;
        while ((pos = text.find(secret, pos)) != std::string::npos) {
            size_t end = pos + secret.size();
            bool whole = anywhere;
            if (!whole) {
                bool left = pos == 0 || !is_alnum(text[pos - 1]) ||
                            (pos >= 3 && text[pos - 3] == '%' && is_hex(text[pos - 2]) && is_hex(text[pos - 1]));
                bool right = end == text.size() || !is_alnum(text[end]);
                whole = left && right;
            }
            if (!whole) {
                ++pos;
                continue;
            }
            out.append(text, at, pos - at);
            out.append("***");
            at = pos = end;
        }
        if (at > 0) {
            out.append(text, at, std::string::npos);
            text = std::move(out);
        }
    }
    return text;
}

}  // namespace orvane::exporting
