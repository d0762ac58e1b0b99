#include "core.hpp"


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

}  // namespace orvane::uplink
