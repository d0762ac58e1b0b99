#include "core.hpp"

#include <algorithm>
#include <cstring>


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
    // Candidates start at an 'h' or 'H', found with memchr (long messages are common, the word
    // is rare); each is compared case-insensitively with the rest of the word.
    static constexpr std::string_view rest = "eartbeat";
    if (text.size() < rest.size() + 1)
        return false;
    const char *begin = text.data();
    const char *last = begin + text.size() - rest.size();  // a candidate must start before this
    auto find = [&](const char *from, char c) -> const char * {
        if (from >= last)
            return last;
        const void *hit = std::memchr(from, c, static_cast<size_t>(last - from));
        return hit ? static_cast<const char *>(hit) : last;
    };
    const char *lower_h = find(begin, 'h'), *upper_h = find(begin, 'H');
    while (lower_h < last || upper_h < last) {
        const char *at = std::min(lower_h, upper_h);
        size_t j = 0;
        for (; j < rest.size(); ++j) {
            char c = at[1 + j];
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
            if (c != rest[j])
                break;
        }
        if (j == rest.size())
            return true;
        if (at == lower_h)
            lower_h = find(at + 1, 'h');
        else
            upper_h = find(at + 1, 'H');
    }
    return false;
}

}  // namespace orvane::uplink
